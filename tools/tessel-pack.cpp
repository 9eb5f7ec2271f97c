// tessel-pack: builds, inspects and takes apart update packages appended to
// tessel-updater.exe. It reads packages with the tool's own package and INI
// code (the parts of it that work on bytes), so what it reports is what the
// tool will see.
#include "image_info.h"
#include "pack_checks.h"
#include "package/ini_text.h"
#include "package/package_parse.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace {

// Files by UTF-8 paths. Windows opens them by their UTF-16 names (its
// byte-string calls take the ANSI code page); every file is binary.
#ifdef _WIN32
std::wstring wide(const std::string& path)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? size_t(n) : 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, &w[0], n);
    w.resize(wcslen(w.c_str()));
    return w;
}

FILE* open_file(const std::string& path, const char* mode)
{
    return _wfopen(wide(path).c_str(), wide(mode).c_str());
}

bool is_regular_file(const std::string& path, std::string& why)
{
    DWORD a = GetFileAttributesW(wide(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        why = "no such file";
        return false;
    }
    if (a & FILE_ATTRIBUTE_DIRECTORY) {
        why = "not a regular file";
        return false;
    }
    return true;
}

// A new file of a name no other file has, open for writing.
FILE* create_new(const std::string& templ, std::string& path)
{
    for (unsigned n = 0; n < 1000; n++) {
        path = templ.substr(0, templ.size() - 6) + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(n);
        int fd = _wopen(wide(path).c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0)
            return _fdopen(fd, "wb");
        if (errno != EEXIST)
            return nullptr;
    }
    return nullptr;
}

bool replace_file(const std::string& from, const std::string& to)
{
    if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return false;
}

void remove_file(const std::string& path)
{
    _wunlink(wide(path).c_str());
}

bool make_folder(const std::string& path)
{
    return _wmkdir(wide(path).c_str()) == 0 || errno == EEXIST;
}
#else
FILE* open_file(const std::string& path, const char* mode)
{
    return fopen(path.c_str(), mode);
}

bool is_regular_file(const std::string& path, std::string& why)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        why = strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return false;
    }
    return true;
}

// A new file of a name no other file has (`templ` ends in XXXXXX), open for
// writing; executable, as the programs written are.
FILE* create_new(const std::string& templ, std::string& path)
{
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0)
        return nullptr;
    path = name.data();
    fchmod(fd, 0755);
    return fdopen(fd, "wb");
}

bool replace_file(const std::string& from, const std::string& to)
{
    return rename(from.c_str(), to.c_str()) == 0;
}

void remove_file(const std::string& path)
{
    unlink(path.c_str());
}

bool make_folder(const std::string& path)
{
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}
#endif

const char* const kHelp =
    "usage:\n"
    "  tessel-pack build --exe BARE.exe --ini package.ini --bt bt.bin --usb usb.bin -o OUT.exe\n"
    "                    [--force] [--flash-size BYTES]\n"
    "      Appends the INI text, the Bluetooth image and the USB image to a copy of BARE.exe.\n"
    "      Always refused: BARE.exe that is not a PE32+ program with nothing behind its last\n"
    "      section, or that Windows would not start or the tool's section walk would misread\n"
    "      (the program checks of lint); an INI text that does not end with the line\n"
    "      S__=END_OF_FILE (and its line end) or holds an earlier such line; a Bluetooth image\n"
    "      of other than exactly 32768 bytes (a shorter one is refused, not padded). Up to 7 CR\n"
    "      bytes are added before the LF of the end-marker line so that OUT.exe is a multiple\n"
    "      of 8 bytes long and an Authenticode signature needs no padding (both the marker scan\n"
    "      and the INI reader ignore CR). The result is read back with the tool's own loader\n"
    "      and checked; each problem is one line on stderr, \"error: FIELD: WHAT\" or\n"
    "      \"warning: FIELD: WHAT\", and a refusal ends with the line \"build: N errors\".\n"
    "      Errors refuse the build; --force builds anyway and prints them as warnings.\n"
    "      Errors:\n"
    "        USB image: empty; a DFU suffix (\"UFD\" signature) whose CRC is wrong, whose\n"
    "          bLength is not 16, or whose idVendor:idProduct is neither INI_DFU_VID1:PID1\n"
    "          nor INI_DFU_VID2:PID2 (0xFFFF matches any);\n"
    "        Bluetooth image: empty or not 32768 bytes (lint);\n"
    "        [MAIN] INI_VER_NXP, INI_VER_BT: missing, or not exactly four hexadecimal digits;\n"
    "        [MAIN] INI_ALLOW_DOWNGRADE: not one or two hexadecimal digits;\n"
    "        [DFU] INI_DFU_TRANSFER_SIZE not 1..4096, INI_DFU_INTERFACE not 0..255,\n"
    "          INI_DFU_DETACH_DELAY not 0..65535 (decimal digits only); INI_DFU_GUID not of the\n"
    "          form xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx; INI_DFU_VID1/PID1/VID2/PID2 not 1 to 4\n"
    "          hexadecimal digits (missing DFU keys take the tool's defaults);\n"
    "        [LANGnn] Snn: not valid UTF-8, or longer than the 255 bytes the tool shows;\n"
    "        [LANG00]: any of S01..S16 missing or empty (English is the last fallback);\n"
    "        [SECTION] KEY: a second value that differs from the first (the tool reads the first);\n"
    "        a UTF-8 byte order mark (EF BB BF) before a section header or a key the tool reads;\n"
    "        USB image: more bytes to download than --flash-size BYTES, when given.\n"
    "      Warnings:\n"
    "        USB image of more than 65536 bytes to download: no keyboard of this family has more\n"
    "          USB flash (64 KiB);\n"
    "        a byte order mark elsewhere, which the tool reads as text;\n"
    "        USB image without DFU suffix: the tool then downloads the whole image, which is\n"
    "          how the sample package ships, so it is allowed; but nothing ties the image to\n"
    "          a device;\n"
    "        languages LANG01..LANG30 that lack messages (named, with what falls back to English);\n"
    "        sections and keys the tool never reads, second sections of a name and second\n"
    "          equal values of a key, which it never reaches.\n"
    "      OUT.exe is written to a temporary file beside it and renamed only when accepted;\n"
    "      on any refusal OUT.exe is left untouched.\n"
    "  tessel-pack lint PACKAGED.exe [--flash-size BYTES]\n"
    "      The checks of build on a packaged (or signed) program, after those of the program\n"
    "      itself: the MZ header; the PE signature at e_lfanew (inside the file, below 3832);\n"
    "      a PE32+ optional header of 240 bytes (SizeOfOptionalHeader), which the tool's section\n"
    "      walk assumes; sections, their table inside the file; an entry point inside a section;\n"
    "      the last section's raw data ending where the walk puts the package. Each error is\n"
    "      one line, and a refusal ends with the line \"lint: N errors\"; exit status 1.\n"
    "  tessel-pack sign PACKAGED.exe --cert CERT.pem --key KEY.pem [-o OUT.exe] [--timestamp URL]\n"
    "      Signs with osslsigncode (Authenticode, SHA-256; with --timestamp, an RFC 3161\n"
    "      timestamp from the time-stamping authority at URL, so that the signature keeps\n"
    "      verifying after the signing certificate has expired), into OUT.exe or in\n"
    "      place, and reads the signed program back as the tool does: its images must be\n"
    "      byte-identical to the unsigned program's, else nothing is written. PACKAGED.exe\n"
    "      must be unsigned and a multiple of 8 bytes long (as build makes it).\n"
    "  tessel-pack verify SIGNED.exe [--ca CA.pem]\n"
    "      Checks the signature with osslsigncode verify (against CA.pem, for the signing and\n"
    "      the timestamp's certificates, else the system's certificates) and shows its timestamp\n"
    "      (time and authority), then that the package ends where the certificate table begins\n"
    "      and passes the checks of build.\n"
    "  tessel-pack inspect OUT.exe [--messages]\n"
    "      Shows the package as the tool reads it: package start (and end, when signed), INI\n"
    "      end, the Bluetooth length (rounded) and sum, the USB length and DFU suffix length,\n"
    "      every configuration value as converted, and which of S01..S16 each of the sections\n"
    "      LANG00..LANG30 supplies (--messages also prints the texts).\n"
    "  tessel-pack extract OUT.exe DIR\n"
    "      Writes DIR/package.ini, DIR/bt.bin and DIR/usb.bin as they lie in the package.\n"
    "  tessel-pack stub -o BARE.exe\n"
    "      Writes a minimal PE32+ image (DOS header, PE header, 240-byte optional header,\n"
    "      sections .text and .rdata with raw data; 1536 bytes, package start 0x600). It\n"
    "      stands in for the real program in host builds, which cannot link a Windows\n"
    "      executable; it is not meant to run.\n"
    "  tessel-pack --version\n"
    "Exit status: 0 on success, 1 when refused or failed, 2 for usage.\n";

// Errors said so far; a refused build or lint ends with their count.
unsigned g_errors = 0;

int fail(const char* fmt, ...)
{
    g_errors++;
    va_list ap;
    va_start(ap, fmt);
    fputs("tessel-pack: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    return 1;
}

int usage(const char* what)
{
    fprintf(stderr, "tessel-pack: %s (see tessel-pack --help)\n", what);
    return 2;
}

bool read_file(const std::string& path, std::vector<uint8_t>& out, std::string& why)
{
    if (!is_regular_file(path, why))
        return false;
    FILE* f = open_file(path, "rb");
    if (!f) {
        why = strerror(errno);
        return false;
    }
    out.clear();
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        out.insert(out.end(), chunk, chunk + n);
    bool bad = ferror(f) != 0;
    fclose(f);
    if (bad) {
        why = "read error";
        return false;
    }
    return true;
}

// Writes `data` to a temporary file in OUT's folder and renames it to OUT,
// so that OUT is either complete or untouched.
bool write_atomically(const std::string& out, const std::vector<uint8_t>& data, std::string& tmp_path,
                      std::string& why, bool keep_temp = false)
{
    FILE* f = create_new(out + ".tmp-XXXXXX", tmp_path);
    if (!f) {
        why = std::string("cannot create a temporary file beside ") + out + ": " + strerror(errno);
        return false;
    }
    bool written = fwrite(data.data(), 1, data.size(), f) == data.size();
    if (fclose(f) != 0 || !written) {
        why = std::string("cannot write ") + tmp_path + ": " + strerror(errno);
        remove_file(tmp_path);
        return false;
    }
    if (keep_temp)
        return true;
    if (!replace_file(tmp_path, out)) {
        why = std::string("cannot rename to ") + out + ": " + strerror(errno);
        remove_file(tmp_path);
        return false;
    }
    return true;
}

// Prints one line per finding on stderr; false when an error refuses the
// work (unless forced, which prints errors as warnings).
bool report(const std::vector<Finding>& findings, bool force)
{
    bool refused = false;
    for (const Finding& f : findings) {
        fprintf(stderr, "%s\n", finding_line(f, force).c_str());
        refused = refused || (f.error && !force);
        g_errors += f.error && !force;
    }
    return !refused;
}

// A --flash-size value: decimal bytes, 1 or more; false when it is none.
bool flash_size_of(const char* text, uint32_t* bytes)
{
    char* end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(text, &end, 10);
    if (!*text || *end || errno || n == 0 || n > 0xFFFFFFFFull || !isdigit((unsigned char)text[0]))
        return false;
    *bytes = uint32_t(n);
    return true;
}

int cmd_build(int argc, char** argv)
{
    std::string exe_path, ini_path, bt_path, usb_path, out_path;
    bool force = false;
    uint32_t flash_size = 0;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        std::string* slot = nullptr;
        if (a == "--force") {
            force = true;
            continue;
        }
        if (a == "--flash-size") {
            if (i + 1 >= argc || !flash_size_of(argv[i + 1], &flash_size))
                return usage("build: --flash-size needs a number of bytes");
            i++;
            continue;
        }
        if (a == "--exe")
            slot = &exe_path;
        else if (a == "--ini")
            slot = &ini_path;
        else if (a == "--bt")
            slot = &bt_path;
        else if (a == "--usb")
            slot = &usb_path;
        else if (a == "-o")
            slot = &out_path;
        else
            return usage(("build: unknown argument " + a).c_str());
        if (i + 1 >= argc)
            return usage(("build: " + a + " needs a value").c_str());
        *slot = argv[++i];
    }
    if (exe_path.empty() || ini_path.empty() || bt_path.empty() || usb_path.empty() || out_path.empty())
        return usage("build needs --exe, --ini, --bt, --usb and -o");

    std::vector<uint8_t> exe, ini, bt, usb;
    std::string why;
    if (!read_file(exe_path, exe, why))
        return fail("cannot read %s: %s", exe_path.c_str(), why.c_str());
    if (!read_file(ini_path, ini, why))
        return fail("cannot read %s: %s", ini_path.c_str(), why.c_str());
    if (!read_file(bt_path, bt, why))
        return fail("cannot read %s: %s", bt_path.c_str(), why.c_str());
    if (!read_file(usb_path, usb, why))
        return fail("cannot read %s: %s", usb_path.c_str(), why.c_str());

    // The program must start and its package be found where build puts it:
    // these are never forced.
    if (!report(check_program(exe.data(), exe.size()), false))
        return 1;
    PackageParts bare;
    parse_package(exe.data(), exe.size(), &bare);
    if (bare.start != bare.file_size)
        return fail("%s already carries data behind its last section (sections end at %u, file has %u bytes)",
                    exe_path.c_str(), bare.start, bare.file_size);

    MarkerScan scan;
    marker_scan_reset(&scan);
    size_t marker_end = 0;
    for (size_t i = 0; i < ini.size(); i++) {
        if (marker_scan_byte(&scan, ini[i])) {
            marker_end = i + 1;
            break;
        }
    }
    if (marker_end == 0)
        return fail("%s does not end with the line " PACKAGE_END_MARKER " and a line end", ini_path.c_str());
    if (marker_end != ini.size())
        return fail("%s holds the line " PACKAGE_END_MARKER " before its end (it ends at byte %zu of %zu); "
                    "it must be the last line",
                    ini_path.c_str(), marker_end, ini.size());

    if (bt.size() != BT_IMAGE_MAX)
        return fail("%s has %zu bytes; the Bluetooth image must have exactly %u", bt_path.c_str(), bt.size(),
                    (unsigned)BT_IMAGE_MAX);

    // Authenticode places its certificate table at a multiple of 8 bytes and
    // pads the file with zeros to get there; the tool would read that padding
    // as part of the USB image. CR bytes before the LF of the end-marker line,
    // which the marker scan and the INI reader both ignore, make the packaged
    // file a multiple of 8 bytes long, so a signature needs no padding.
    size_t pad = (8 - (exe.size() + ini.size() + bt.size() + usb.size()) % 8) % 8;
    ini.insert(ini.end() - 1, pad, 0x0D);

    uint64_t total = uint64_t(exe.size()) + ini.size() + bt.size() + usb.size();
    if (total > 0x7FFFFFFFu)
        return fail("the packaged program would have %llu bytes; at most 2 GiB - 1 is supported",
                    (unsigned long long)total);

    std::vector<uint8_t> packaged;
    packaged.reserve(size_t(total));
    packaged.insert(packaged.end(), exe.begin(), exe.end());
    packaged.insert(packaged.end(), ini.begin(), ini.end());
    packaged.insert(packaged.end(), bt.begin(), bt.end());
    packaged.insert(packaged.end(), usb.begin(), usb.end());

    std::string tmp;
    if (!write_atomically(out_path, packaged, tmp, why, true))
        return fail("%s", why.c_str());
    // Read the result back with the tool's own loader before it takes OUT's name.
    std::vector<uint8_t> written;
    PackageParts parts;
    bool agrees = read_file(tmp, written, why) &&
                  parse_package(written.data(), written.size(), &parts) == PACKAGE_LOADED &&
                  parts.start == exe.size() && parts.ini_end == exe.size() + ini.size() &&
                  parts.usb_length == usb.size() &&
                  (usb.empty() || memcmp(parts.usb, usb.data(), usb.size()) == 0) &&
                  parts.bt_read == bt.size() && memcmp(parts.bt, bt.data(), bt.size()) == 0;
    if (!agrees) {
        remove_file(tmp);
        return fail("the tool's loader does not read the built package back as it was written");
    }
    // The package's checks, on the values as the tool reads them from it.
    IniText text = {written.data(), written.size(), parts.start, parts.ini_end};
    if (!report(check_package({ini, bt, usb}, text, flash_size), force)) {
        remove_file(tmp);
        return 1;
    }
    if (!replace_file(tmp, out_path)) {
        int e = errno;
        remove_file(tmp);
        return fail("cannot rename to %s: %s", out_path.c_str(), strerror(e));
    }
    printf("%s: %zu bytes (program %zu, INI %zu with %zu CR bytes of alignment, Bluetooth %zu, USB %zu)\n",
           out_path.c_str(), packaged.size(), exe.size(), ini.size(), pad, bt.size(), usb.size());
    return 0;
}

std::string guid_text(const IniGuid& g)
{
    char s[64];
    snprintf(s, sizeof s, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", g.data1, g.data2, g.data3,
             g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
    return s;
}

// A program file as the tool reads it.
struct Loaded {
    std::vector<uint8_t> file;
    uint32_t size = 0;    // the file's size
    uint32_t start = 0;   // package start
    uint32_t end = 0;     // package end: the file's end or a certificate table's start
    bool marker = false;  // the INI text's end marker was found (images loaded)
    PackageParts parts;
    IniText text;      // the INI text as the tool looks values up in it
    IniConfig config;  // the configuration as the tool converts it
    // The Bluetooth image as the tool holds it: the bytes read, zeros behind.
    std::vector<uint8_t> bt;
};

// Loads `path` as the tool would; false (with a message) when there is no package.
bool load_as_tool(const std::string& path, Loaded* l)
{
    std::string why;
    if (!read_file(path, l->file, why)) {
        fail("cannot read %s: %s", path.c_str(), why.c_str());
        return false;
    }
    PackageFound found = parse_package(l->file.data(), l->file.size(), &l->parts);
    l->size = l->parts.file_size;
    l->start = l->parts.start;
    l->end = l->parts.end;
    if (found == PACKAGE_ABSENT || found == PACKAGE_ABSENT_SIGNED) {
        fail("%s carries no package (nothing behind its last section%s, %u bytes)", path.c_str(),
             found == PACKAGE_ABSENT_SIGNED ? " but a signature" : "", l->size);
        return false;
    }
    if (found == PACKAGE_OUT_OF_REACH) {
        fail("%s: the package starts at %u, further than the tool can read", path.c_str(), l->start);
        return false;
    }
    l->marker = found == PACKAGE_LOADED;
    l->text = {l->file.data(), l->file.size(), l->parts.start, l->parts.ini_end};
    ini_text_config(&l->text, &l->config);
    l->bt.assign(BT_IMAGE_MAX, 0);
    if (l->marker)
        std::copy(l->parts.bt, l->parts.bt + l->parts.bt_read, l->bt.begin());
    return true;
}

// The three pieces of a loaded package as they lie in its file.
PackagePieces pieces_of(const Loaded& l)
{
    size_t ini_end = std::min<size_t>(l.parts.ini_end, l.end);
    size_t bt_end = std::min<size_t>(ini_end + BT_IMAGE_MAX, l.end);
    auto at = [&](size_t i) { return l.file.begin() + long(i); };
    PackagePieces p;
    p.ini.assign(at(l.parts.start), at(ini_end));
    p.bt.assign(at(ini_end), at(bt_end));
    p.usb.assign(at(bt_end), at(l.end));
    return p;
}

int cmd_inspect(int argc, char** argv)
{
    std::string path;
    bool texts = false;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--messages") == 0)
            texts = true;
        else if (path.empty())
            path = argv[i];
        else
            return usage("inspect takes one file");
    }
    if (path.empty())
        return usage("inspect needs a file");
    Loaded l;
    if (!load_as_tool(path, &l))
        return 1;
    uint32_t size = l.size, start = l.start;
    bool marker = l.marker;
    const IniConfig& c = l.config;

    printf("file                  %s (%u bytes)\n", path.c_str(), size);
    printf("package start         %u (0x%X)%s\n", l.parts.start, l.parts.start,
           start == 0 ? "  [no valid PE section table: read from the first byte]" : "");
    if (l.end != l.size)
        printf("package end           %u (0x%X), where the certificate table begins (%u bytes)\n", l.end,
               l.end, l.size - l.end);
    printf("INI end               %u (0x%X), INI text %u bytes, end marker %s\n", l.parts.ini_end,
           l.parts.ini_end, l.parts.ini_end - l.parts.start,
           marker ? "found" : "NOT FOUND (no images are loaded)");
    if (marker) {
        uint32_t bt_read = l.end - l.parts.ini_end < BT_IMAGE_MAX ? l.end - l.parts.ini_end : BT_IMAGE_MAX;
        printf("Bluetooth image       at %u, %u bytes read, length %u (rounded to 64), sum 0x%08X (%u)\n",
               l.parts.ini_end, bt_read, l.parts.bt_len, l.parts.bt_sum, l.parts.bt_sum);
        printf("                      %s\n",
               image_info_text(read_image_info(l.bt.data(), l.parts.bt_len, false), false).c_str());
        printf("USB image             at %u, length %d, DFU suffix length %u, downloaded %d bytes\n",
               l.parts.ini_end + BT_IMAGE_MAX, int32_t(l.parts.usb_length), l.parts.suffix_length,
               int32_t(l.parts.usb_length) - int32_t(l.parts.suffix_length));
        int32_t usb_sent = int32_t(l.parts.usb_length) - int32_t(l.parts.suffix_length);
        printf(
            "                      %s\n",
            image_info_text(read_image_info(l.parts.usb, usb_sent > 0 ? usb_sent : 0, true), true).c_str());
    }
    printf("[MAIN]\n");
    printf("  STRING_DATE_CODE      \"%s\"\n", c.string_date_code);
    printf("  INI_DATE_CODE         \"%s\"\n", c.ini_date_code);
    printf("  INI_VER_NXP           \"%s\" (0x%04llX)\n", c.ver_nxp,
           (unsigned long long)parse_hex(c.ver_nxp));
    printf("  INI_VER_BT            \"%s\" (0x%04X)\n", c.ver_bt, c.ver_bt_value);
    printf("  INI_ALLOW_DOWNGRADE   0x%02X (%s)\n", c.allow_downgrade,
           c.allow_downgrade ? "downgrades allowed" : "downgrades refused");
    printf("[DFU]\n");
    printf("  INI_DFU_GUID          {%s}\n", guid_text(c.dfu_guid).c_str());
    printf("  INI_DFU_VID1          0x%04X\n", c.dfu_vid1);
    printf("  INI_DFU_PID1          0x%04X\n", c.dfu_pid1);
    printf("  INI_DFU_VID2          0x%04X\n", c.dfu_vid2);
    printf("  INI_DFU_PID2          0x%04X\n", c.dfu_pid2);
    printf("  INI_DFU_INTERFACE     %u\n", c.dfu_interface);
    printf("  INI_DFU_DETACH_DELAY  %u ms%s\n", c.dfu_detach_delay,
           c.dfu_detach_delay ? "" : " (no DFU_DETACH request)");
    printf("  INI_DFU_TRANSFER_SIZE %u\n", c.dfu_transfer_size);
    printf("messages S01..S16 ('+' supplied, 'e' empty value, which counts as missing, '-' missing)\n");
    const char* const kMissing = "\x01";
    for (unsigned lang = 0; lang <= 30; lang++) {
        char section[16];
        snprintf(section, sizeof section, "LANG%02u", lang);
        std::string marks;
        unsigned supplied = 0;
        std::vector<std::string> found;
        for (unsigned n = 1; n <= 16; n++) {
            char key[8];
            char text[256];
            snprintf(key, sizeof key, "S%02u", n);
            ini_text_get_string(&l.text, section, key, kMissing, text, sizeof text);
            if (strcmp(text, kMissing) == 0) {
                marks += '-';
            } else if (text[0] == '\0') {
                marks += 'e';
            } else {
                marks += '+';
                supplied++;
                found.push_back(std::string(key) + " " + text);
            }
        }
        printf("  %s  %s  %2u\n", section, marks.c_str(), supplied);
        if (texts)
            for (const std::string& t : found)
                printf("      %s\n", t.c_str());
    }
    return marker ? 0 : 1;
}

int cmd_extract(int argc, char** argv)
{
    if (argc != 2)
        return usage("extract needs a file and a folder");
    std::string path = argv[0], dir = argv[1];
    Loaded l;
    if (!load_as_tool(path, &l))
        return 1;
    if (!l.marker)
        return fail("%s: the INI text has no end marker, so the images cannot be told apart", path.c_str());
    if (!make_folder(dir))
        return fail("cannot create %s: %s", dir.c_str(), strerror(errno));
    PackagePieces p = pieces_of(l);
    struct Piece {
        const char* name;
        const std::vector<uint8_t>* bytes;
    } pieces[] = {{"package.ini", &p.ini}, {"bt.bin", &p.bt}, {"usb.bin", &p.usb}};
    for (const Piece& piece : pieces) {
        std::string tmp, why;
        if (!write_atomically(dir + "/" + piece.name, *piece.bytes, tmp, why))
            return fail("%s", why.c_str());
        printf("%s/%s: %zu bytes\n", dir.c_str(), piece.name, piece.bytes->size());
    }
    return 0;
}

int cmd_lint(int argc, char** argv)
{
    std::string path;
    uint32_t flash_size = 0;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--flash-size") == 0) {
            if (i + 1 >= argc || !flash_size_of(argv[i + 1], &flash_size))
                return usage("lint: --flash-size needs a number of bytes");
            i++;
        } else if (path.empty()) {
            path = argv[i];
        } else {
            return usage("lint takes one file");
        }
    }
    if (path.empty())
        return usage("lint takes one file");
    std::vector<uint8_t> file;
    std::string why;
    if (!read_file(path, file, why))
        return fail("cannot read %s: %s", path.c_str(), why.c_str());
    // A program the tool misreads has no package worth judging.
    if (!report(check_program(file.data(), file.size()), false))
        return 1;
    Loaded l;
    if (!load_as_tool(path, &l))
        return 1;
    if (!l.marker)
        return fail("%s: the INI text has no end marker; the tool would load no images", path.c_str());
    if (!report(check_package(pieces_of(l), l.text, flash_size), false))
        return 1;
    printf("%s: no errors\n", path.c_str());
    return 0;
}

#ifndef _WIN32
// Runs a program with its arguments (no shell), its output (stdout and
// stderr) caught in `output`; its exit status, or -1 when it could not run.
int run_program(const std::vector<std::string>& args, std::string& output)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    char name[] = "/tmp/tessel-pack-run-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        return -1;
    unlink(name);
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    posix_spawn_file_actions_adddup2(&io, fd, 1);
    posix_spawn_file_actions_adddup2(&io, fd, 2);
    pid_t pid;
    int status = -1;
    if (posix_spawnp(&pid, argv[0], &io, nullptr, argv.data(), environ) == 0) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&io);
    output.clear();
    char buf[4096];
    ssize_t n;
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buf, sizeof buf)) > 0)
        output.append(buf, size_t(n));
    close(fd);
    return status;
}

// The lines of `text` that contain `what`.
std::string lines_with(const std::string& text, const char* what)
{
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t lf = text.find('\n', at);
        std::string line = text.substr(at, lf == std::string::npos ? std::string::npos : lf - at + 1);
        at = lf == std::string::npos ? text.size() : lf + 1;
        if (line.find(what) != std::string::npos)
            out += line;
    }
    return out;
}

// The text behind `label` on the first line that holds it after `anchor`
// (from the start when `anchor` is empty), blanks trimmed; "" when absent.
std::string text_after(const std::string& text, const char* anchor, const char* label)
{
    size_t from = *anchor ? text.find(anchor) : 0;
    if (from == std::string::npos)
        return "";
    size_t at = text.find(label, from);
    if (at == std::string::npos)
        return "";
    at += strlen(label);
    size_t end = text.find('\n', at);
    std::string v = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    v.erase(0, v.find_first_not_of(" \t:"));
    v.erase(v.find_last_not_of(" \t\r") + 1);
    return v;
}

// The images and where the INI text ends, as the tool loaded them.
struct Images {
    uint32_t package_start, ini_end;
    std::vector<uint8_t> bt, usb;
    uint32_t bt_len, bt_sum, suffix_length;
};

Images loaded_images(const Loaded& l)
{
    Images m;
    m.package_start = l.parts.start;
    m.ini_end = l.parts.ini_end;
    m.bt = l.bt;
    if (l.marker)
        m.usb.assign(l.parts.usb, l.parts.usb + l.parts.usb_length);
    m.bt_len = l.parts.bt_len;
    m.bt_sum = l.parts.bt_sum;
    m.suffix_length = l.parts.suffix_length;
    return m;
}

bool same_images(const Images& a, const Images& b)
{
    return a.package_start == b.package_start && a.ini_end == b.ini_end && a.bt == b.bt && a.usb == b.usb &&
           a.bt_len == b.bt_len && a.bt_sum == b.bt_sum && a.suffix_length == b.suffix_length;
}

const char* const kSigner = "osslsigncode";

int cmd_sign(int argc, char** argv)
{
    std::string in, cert, key, out, timestamp;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        std::string* slot = nullptr;
        if (a == "--timestamp")
            slot = &timestamp;
        else if (a == "--cert")
            slot = &cert;
        else if (a == "--key")
            slot = &key;
        else if (a == "-o")
            slot = &out;
        else if (in.empty() && a[0] != '-') {
            in = a;
            continue;
        } else
            return usage(("sign: unknown argument " + a).c_str());
        if (i + 1 >= argc)
            return usage(("sign: " + a + " needs a value").c_str());
        *slot = argv[++i];
    }
    if (in.empty() || cert.empty() || key.empty())
        return usage("sign needs PACKAGED.exe, --cert and --key");
    if (out.empty())
        out = in;

    Loaded l;
    if (!load_as_tool(in, &l))
        return 1;
    if (!l.marker)
        return fail("%s: the INI text has no end marker; the tool would load no images", in.c_str());
    Images before = loaded_images(l);
    if (l.end != l.size)
        return fail("%s is signed already (certificate table at %u)", in.c_str(), l.end);
    if (l.size % 8 != 0)
        return fail(
            "%s has %u bytes, not a multiple of 8: the signature would be padded with zeros that the tool "
            "reads as USB image; build it again with this tessel-pack, which aligns packages",
            in.c_str(), l.size);

    std::string tmp = out + ".tmp-sign";
    unlink(tmp.c_str());
    std::string said;
    std::vector<std::string> args = {
        kSigner, "sign", "-certs", cert, "-key",
        key,     "-h",   "sha256", "-n", "Orvex Tessel Keyboard Firmware Updater",
        "-in",   in,     "-out",   tmp};
    if (!timestamp.empty()) {
        // An RFC 3161 timestamp: the signature keeps verifying after the
        // signing certificate has expired.
        args.insert(args.end() - 4, {"-ts", timestamp});
    }
    int rc = run_program(args, said);
    if (rc != 0) {
        unlink(tmp.c_str());
        fputs(said.c_str(), stderr);
        return fail(rc < 0 ? "cannot run %s (is it installed?)"
                    : timestamp.empty()
                        ? "%s sign failed"
                        : "%s sign failed (is the time-stamping authority at --timestamp reachable?)",
                    kSigner);
    }
    // Read the signed program back as the tool does: the same images, else no OUT.
    Loaded s;
    bool read = load_as_tool(tmp, &s) && s.marker;
    Images after = loaded_images(s);
    if (!read || !same_images(before, after)) {
        unlink(tmp.c_str());
        return fail(
            "the signed program's package does not read back as the unsigned one's (USB image %zu bytes, "
            "was %zu); nothing written",
            after.usb.size(), before.usb.size());
    }
    chmod(tmp.c_str(), 0755);
    if (rename(tmp.c_str(), out.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        return fail("cannot rename to %s: %s", out.c_str(), strerror(e));
    }
    printf("%s: signed%s, %u bytes (certificate table at %u, %u bytes); package read back unchanged "
           "(USB image %zu bytes, DFU suffix %u)\n",
           out.c_str(), timestamp.empty() ? "" : " and timestamped", s.size, s.end, s.size - s.end,
           after.usb.size(), after.suffix_length);
    return 0;
}

int cmd_verify(int argc, char** argv)
{
    std::string in, ca;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--ca" && i + 1 < argc)
            ca = argv[++i];
        else if (in.empty() && a[0] != '-')
            in = a;
        else
            return usage(("verify: unexpected argument " + a).c_str());
    }
    if (in.empty())
        return usage("verify needs SIGNED.exe");
    std::vector<std::string> args = {kSigner, "verify", "-in", in};
    if (!ca.empty()) {
        // The same file for the signing and the timestamp's chain.
        args.insert(args.end(), {"-CAfile", ca, "-TSA-CAfile", ca});
    }
    std::string said;
    int rc = run_program(args, said);
    if (rc != 0) {
        fputs(said.c_str(), stderr);
        if (rc < 0)
            return fail("cannot run %s (is it installed?)", kSigner);
        if (ca.empty())
            return fail(
                "%s verify: the signature does not verify against the system's certificates; give the "
                "certificate that issued the signing certificate with --ca FILE (PEM)",
                kSigner);
        return fail("%s verify: the signature does not verify against %s", kSigner, ca.c_str());
    }
    fputs(lines_with(said, "Signature verification:").c_str(), stdout);
    std::string when = text_after(said, "Countersignatures:", "Timestamp time:");
    size_t chain = said.find("Timestamp verified using:");
    if (!when.empty())
        printf("timestamp: %s, by %s\n", when.c_str(),
               chain == std::string::npos ? "?"
                                          : text_after(said.substr(chain), "Signer #0:", "Subject:").c_str());
    else
        printf("timestamp: none; the signature verifies only until the signing certificate expires (%s)\n",
               text_after(said, "Signer's certificate:", "notAfter").c_str());

    Loaded l;
    if (!load_as_tool(in, &l))
        return 1;
    if (l.end == l.size)
        return fail("%s carries no certificate table", in.c_str());
    if (!l.marker)
        return fail("%s: the INI text has no end marker; the tool would load no images", in.c_str());
    bool ok = report(check_program(l.file.data(), l.file.size()), false);
    ok = report(check_package(pieces_of(l), l.text), false) && ok;
    printf("%s: signature verified; package %s (USB image %u bytes, ending at the certificate table at %u)\n",
           in.c_str(), ok ? "passes its checks" : "has errors", l.end - l.parts.ini_end - BT_IMAGE_MAX,
           l.end);
    return ok ? 0 : 1;
}

#endif

void put16(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

void put64(std::vector<uint8_t>& b, size_t at, uint64_t v)
{
    put32(b, at, uint32_t(v));
    put32(b, at + 4, uint32_t(v >> 32));
}

// A minimal PE32+ image: headers in the first 0x200 bytes, then .text and
// .rdata with 0x200 bytes of raw data each.
std::vector<uint8_t> stub_image()
{
    std::vector<uint8_t> b(0x600, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, 0x40);  // e_lfanew
    const size_t pe = 0x40;
    memcpy(&b[pe], "PE\0\0", 4);
    // File header.
    put16(b, pe + 4, 0x8664);   // Machine: x64
    put16(b, pe + 6, 2);        // NumberOfSections
    put16(b, pe + 20, 240);     // SizeOfOptionalHeader
    put16(b, pe + 22, 0x0022);  // executable, large-address aware
    // Optional header (PE32+).
    const size_t opt = pe + 24;
    put16(b, opt + 0, 0x20B);
    b[opt + 2] = 2;                      // linker version
    put32(b, opt + 4, 0x200);            // SizeOfCode
    put32(b, opt + 8, 0x200);            // SizeOfInitializedData
    put32(b, opt + 16, 0x1000);          // AddressOfEntryPoint
    put32(b, opt + 20, 0x1000);          // BaseOfCode
    put64(b, opt + 24, 0x140000000ull);  // ImageBase
    put32(b, opt + 32, 0x1000);          // SectionAlignment
    put32(b, opt + 36, 0x200);           // FileAlignment
    put16(b, opt + 40, 6);               // operating system version
    put16(b, opt + 48, 6);               // subsystem version
    put32(b, opt + 56, 0x3000);          // SizeOfImage
    put32(b, opt + 60, 0x200);           // SizeOfHeaders
    put16(b, opt + 68, 2);               // Subsystem: Windows GUI
    put64(b, opt + 72, 0x200000);        // stack reserve
    put64(b, opt + 80, 0x1000);          // stack commit
    put64(b, opt + 88, 0x100000);        // heap reserve
    put64(b, opt + 96, 0x1000);          // heap commit
    put32(b, opt + 108, 16);             // NumberOfRvaAndSizes (directories all empty)
    // Section table.
    const size_t sec = opt + 240;
    struct {
        const char* name;
        uint32_t vsize, va, raw_size, raw_ptr, flags;
    } sections[2] = {{".text", 0x10, 0x1000, 0x200, 0x200, 0x60000020},
                     {".rdata", 0x40, 0x2000, 0x200, 0x400, 0x40000040}};
    for (int i = 0; i < 2; i++) {
        size_t at = sec + size_t(i) * 40;
        memcpy(&b[at], sections[i].name, strlen(sections[i].name));
        put32(b, at + 8, sections[i].vsize);
        put32(b, at + 12, sections[i].va);
        put32(b, at + 16, sections[i].raw_size);
        put32(b, at + 20, sections[i].raw_ptr);
        put32(b, at + 36, sections[i].flags);
    }
    // Entry point: xor eax, eax; ret.
    b[0x200] = 0x31;
    b[0x201] = 0xC0;
    b[0x202] = 0xC3;
    const char* note = "tessel-updater host stand-in program (not runnable)";
    memcpy(&b[0x400], note, strlen(note));
    return b;
}

int cmd_stub(int argc, char** argv)
{
    if (argc != 2 || strcmp(argv[0], "-o") != 0)
        return usage("stub needs -o BARE.exe");
    std::string tmp, why;
    if (!write_atomically(argv[1], stub_image(), tmp, why))
        return fail("%s", why.c_str());
    return 0;
}

int run(int argc, char** argv)
{
    if (argc < 2)
        return usage("no command given");
    std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        fputs(kHelp, stdout);
#ifdef _WIN32
        fputs("This is tessel-pack.exe for Windows: sign and verify need osslsigncode and run in the\n"
              "Linux tessel-pack only.\n",
              stdout);
#endif
        return 0;
    }
    if (cmd == "--version") {
        printf("tessel-pack %s\n", TESSEL_VERSION);
        return 0;
    }
    if (cmd == "build" || cmd == "lint") {
        int status = cmd == "build" ? cmd_build(argc - 2, argv + 2) : cmd_lint(argc - 2, argv + 2);
        if (status == 1)
            fprintf(stderr, "%s: %u error%s\n", cmd.c_str(), g_errors, g_errors == 1 ? "" : "s");
        return status;
    }
    if (cmd == "inspect")
        return cmd_inspect(argc - 2, argv + 2);
    if (cmd == "extract")
        return cmd_extract(argc - 2, argv + 2);
    if (cmd == "stub")
        return cmd_stub(argc - 2, argv + 2);
#ifdef _WIN32
    if (cmd == "sign" || cmd == "verify")
        return fail("%s needs osslsigncode: it runs in the Linux tessel-pack only", cmd.c_str());
#else
    if (cmd == "sign")
        return cmd_sign(argc - 2, argv + 2);
    if (cmd == "verify")
        return cmd_verify(argc - 2, argv + 2);
#endif
    return usage(("unknown command " + cmd).c_str());
}

}  // namespace

#ifdef _WIN32
// Arguments as UTF-16 (paths in any language), handed on as UTF-8.
int wmain(int argc, wchar_t** wargv)
{
    std::vector<std::string> args;
    for (int i = 0; i < argc; i++) {
        int n = WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string a(n > 0 ? size_t(n) : 1, '\0');
        if (n > 0)
            WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, &a[0], n, nullptr, nullptr);
        a.resize(strlen(a.c_str()));
        args.push_back(a);
    }
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return run(argc, argv.data());
}
#else
int main(int argc, char** argv)
{
    return run(argc, argv);
}
#endif
