// tessel-pack: builds, inspects and takes apart update packages appended to
// tessel-updater.exe. It reads packages with the tool's own package and INI
// code, so what it reports is what the tool will see.
#include "image_info.h"
#include "pack_checks.h"
#include "package/ini.h"
#include "package/package.h"
#include "host/sim_core.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#undef fopen
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const char* const kHelp =
    "usage:\n"
    "  tessel-pack build --exe BARE.exe --ini package.ini --bt bt.bin --usb usb.bin -o OUT.exe [--force]\n"
    "      Appends the INI text, the Bluetooth image and the USB image to a copy of BARE.exe.\n"
    "      Always refused: BARE.exe that is not a PE32+ program with nothing behind its last\n"
    "      section; an INI text that does not end with the line S__=END_OF_FILE (and its line\n"
    "      end) or holds an earlier such line; a Bluetooth image of other than exactly 32768\n"
    "      bytes (a shorter one is refused, not padded). Up to 7 CR bytes are added before the\n"
    "      LF of the end-marker line so that OUT.exe is a multiple of 8 bytes long and an\n"
    "      Authenticode signature needs no padding (both the marker scan and the INI reader\n"
    "      ignore CR). The result is read back with the tool's own loader and checked; each\n"
    "      problem is one line on stderr, \"error: FIELD: WHAT\" or \"warning: FIELD: WHAT\".\n"
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
    "        [LANG00]: any of S01..S16 missing or empty (English is the last fallback).\n"
    "      Warnings:\n"
    "        USB image without DFU suffix: the tool then downloads the whole image, which is\n"
    "          how the sample package ships, so it is allowed; but nothing ties the image to\n"
    "          a device;\n"
    "        languages LANG01..LANG30 that lack messages (named, with what falls back to English);\n"
    "        sections and keys the tool never reads, and second sections or keys of a name,\n"
    "          which it never reaches.\n"
    "      OUT.exe is written to a temporary file beside it and renamed only when accepted;\n"
    "      on any refusal OUT.exe is left untouched.\n"
    "  tessel-pack lint PACKAGED.exe\n"
    "      The checks of build on a packaged (or signed) program; exit status 1 on errors.\n"
    "  tessel-pack sign PACKAGED.exe --cert CERT.pem --key KEY.pem [-o OUT.exe]\n"
    "      Signs with osslsigncode (Authenticode, SHA-256; no time stamp), into OUT.exe or in\n"
    "      place, and reads the signed program back as the tool does: its images must be\n"
    "      byte-identical to the unsigned program's, else nothing is written. PACKAGED.exe\n"
    "      must be unsigned and a multiple of 8 bytes long (as build makes it).\n"
    "  tessel-pack verify SIGNED.exe [--ca CA.pem]\n"
    "      Checks the signature with osslsigncode verify (against CA.pem, else the system's\n"
    "      certificates), then that the package ends where the certificate table begins and\n"
    "      passes the checks of build.\n"
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
    "Exit status: 0 on success, 1 when refused or failed, 2 for usage.\n";

// Where the tool believes it lives while tessel-pack reads a file as its program.
const char* const kProgramPath = "C:\\Tessel\\tessel-updater.exe";

int fail(const char* fmt, ...)
{
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
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        why = strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return false;
    }
    FILE* f = fopen(path.c_str(), "rb");
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
    std::string templ = out + ".tmp-XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        why = std::string("cannot create a temporary file beside ") + out + ": " + strerror(errno);
        return false;
    }
    tmp_path = name.data();
    size_t done = 0;
    while (done < data.size()) {
        ssize_t w = write(fd, data.data() + done, data.size() - done);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            why = std::string("cannot write ") + tmp_path + ": " + strerror(errno);
            close(fd);
            unlink(tmp_path.c_str());
            return false;
        }
        done += size_t(w);
    }
    fchmod(fd, 0755);
    if (close(fd) != 0) {
        why = std::string("cannot write ") + tmp_path + ": " + strerror(errno);
        unlink(tmp_path.c_str());
        return false;
    }
    if (keep_temp)
        return true;
    if (rename(tmp_path.c_str(), out.c_str()) != 0) {
        why = std::string("cannot rename to ") + out + ": " + strerror(errno);
        unlink(tmp_path.c_str());
        return false;
    }
    return true;
}

std::string absolute(const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    if (!real)
        return path;
    std::string r = real;
    free(real);
    return r;
}

std::string dir_of(const std::string& path)
{
    size_t cut = path.find_last_of('/');
    if (cut == std::string::npos)
        return ".";
    if (cut == 0)
        return "/";
    return path.substr(0, cut);
}

// Lets the tool's own code read `host_file` as its program file.
void become_program(const std::string& host_file)
{
    sim::WorldConfig cfg;
    cfg.program_path = kProgramPath;
    cfg.program_file = absolute(host_file);
    cfg.program_dir = dir_of(cfg.program_file);
    sim::configure(cfg);
    g_package_start = 0;
    g_ini_end = 0;
    g_bt_image_len = 0;
    g_bt_image_sum = 0;
    free_usb_image();
}

uint32_t u16_at(const std::vector<uint8_t>& b, size_t at)
{
    return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8);
}

uint32_t u32_at(const std::vector<uint8_t>& b, size_t at)
{
    return u16_at(b, at) | (u16_at(b, at + 2) << 16);
}

// Why `exe` is not a PE32+ program the tool can carry a package in; "" when it is.
std::string pe32plus_problem(const std::vector<uint8_t>& exe)
{
    if (exe.size() < 0x40 || exe[0] != 'M' || exe[1] != 'Z')
        return "has no MZ header";
    uint32_t lfanew = u32_at(exe, 0x3C);
    if (size_t(lfanew) + 24 + 2 > exe.size())
        return "has no PE header (e_lfanew points outside the file)";
    if (exe[lfanew] != 'P' || exe[lfanew + 1] != 'E' || exe[lfanew + 2] != 0 || exe[lfanew + 3] != 0)
        return "has no PE signature";
    if (u16_at(exe, lfanew + 24) != 0x20B)
        return "is not PE32+ (optional header magic is not 0x20B)";
    if (lfanew >= 3832)
        return "has its PE header too far into the file (e_lfanew must be below 3832)";
    if (u16_at(exe, lfanew + 6) == 0)
        return "has no sections";
    if (u16_at(exe, lfanew + 20) != 240)
        return "has an optional header that is not 240 bytes long";
    return "";
}

// Prints one line per finding on stderr; false when an error refuses the
// work (unless forced, which prints errors as warnings).
bool report(const std::vector<Finding>& findings, bool force)
{
    bool refused = false;
    for (const Finding& f : findings) {
        fprintf(stderr, "%s\n", finding_line(f, force).c_str());
        refused = refused || (f.error && !force);
    }
    return !refused;
}

int cmd_build(int argc, char** argv)
{
    std::string exe_path, ini_path, bt_path, usb_path, out_path;
    bool force = false;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        std::string* slot = nullptr;
        if (a == "--force") {
            force = true;
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

    std::string problem = pe32plus_problem(exe);
    if (!problem.empty())
        return fail("%s %s", exe_path.c_str(), problem.c_str());
    become_program(exe_path);
    uint32_t exe_size = 0;
    uint32_t start = find_package_start(&exe_size);
    if (exe_size != exe.size())
        return fail("cannot open %s as the program file", exe_path.c_str());
    if (start != exe_size)
        return fail("%s already carries data behind its last section (sections end at %u, file has %u bytes)",
                    exe_path.c_str(), start, exe_size);

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
    become_program(tmp);
    bool loaded = load_package();
    bool agrees = loaded && g_package_start == exe.size() && g_ini_end == exe.size() + ini.size() &&
                  g_usb_image.length == int32_t(usb.size()) &&
                  (usb.empty() || memcmp(g_usb_image.data, usb.data(), usb.size()) == 0) &&
                  memcmp(g_bt_image, bt.data(), bt.size()) == 0;
    free_usb_image();
    if (!agrees) {
        unlink(tmp.c_str());
        return fail("the tool's loader does not read the built package back as it was written");
    }
    // The package's checks, on the values as the tool reads them from it.
    if (!report(check_package({ini, bt, usb}), force)) {
        unlink(tmp.c_str());
        return 1;
    }
    if (rename(tmp.c_str(), out_path.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        return fail("cannot rename to %s: %s", out_path.c_str(), strerror(e));
    }
    printf("%s: %zu bytes (program %zu, INI %zu with %zu CR bytes of alignment, Bluetooth %zu, USB %zu)\n",
           out_path.c_str(), packaged.size(), exe.size(), ini.size(), pad, bt.size(), usb.size());
    return 0;
}

std::string guid_text(const GUID& g)
{
    char s[64];
    snprintf(s, sizeof s, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return s;
}

// A program file as the tool reads it.
struct Loaded {
    std::vector<uint8_t> file;
    uint32_t size = 0;    // the file's size
    uint32_t start = 0;   // package start
    uint32_t end = 0;     // package end: the file's end or a certificate table's start
    bool marker = false;  // the INI text's end marker was found (images loaded)
};

// Loads `path` as the tool would; false (with a message) when there is no package.
bool load_as_tool(const std::string& path, Loaded* l)
{
    std::string why;
    if (!read_file(path, l->file, why)) {
        fail("cannot read %s: %s", path.c_str(), why.c_str());
        return false;
    }
    become_program(path);
    l->size = 0;
    l->end = 0;
    l->start = find_package_start(&l->size, &l->end);
    if (l->size != l->file.size()) {
        fail("cannot open %s as the program file", path.c_str());
        return false;
    }
    if (l->start == l->size || l->start == l->end) {
        fail("%s carries no package (nothing behind its last section%s, %u bytes)", path.c_str(),
             l->end != l->size ? " but a signature" : "", l->size);
        return false;
    }
    l->marker = load_package();
    return true;
}

// The three pieces of a loaded package as they lie in its file.
PackagePieces pieces_of(const Loaded& l)
{
    size_t ini_end = std::min<size_t>(g_ini_end, l.end);
    size_t bt_end = std::min<size_t>(ini_end + BT_IMAGE_MAX, l.end);
    auto at = [&](size_t i) { return l.file.begin() + long(i); };
    PackagePieces p;
    p.ini.assign(at(g_package_start), at(ini_end));
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

    printf("file                  %s (%u bytes)\n", path.c_str(), size);
    printf("package start         %u (0x%X)%s\n", g_package_start, g_package_start,
           start == 0 ? "  [no valid PE section table: read from the first byte]" : "");
    if (l.end != l.size)
        printf("package end           %u (0x%X), where the certificate table begins (%u bytes)\n", l.end,
               l.end, l.size - l.end);
    printf("INI end               %u (0x%X), INI text %u bytes, end marker %s\n", g_ini_end, g_ini_end,
           g_ini_end - g_package_start, marker ? "found" : "NOT FOUND (no images are loaded)");
    if (marker) {
        uint32_t bt_read = l.end - g_ini_end < BT_IMAGE_MAX ? l.end - g_ini_end : BT_IMAGE_MAX;
        printf("Bluetooth image       at %u, %u bytes read, length %u (rounded to 64), sum 0x%08X (%u)\n",
               g_ini_end, bt_read, g_bt_image_len, g_bt_image_sum, g_bt_image_sum);
        printf("                      %s\n",
               image_info_text(read_image_info(g_bt_image, g_bt_image_len, false), false).c_str());
        printf("USB image             at %u, length %d, DFU suffix length %u, downloaded %d bytes\n",
               g_ini_end + BT_IMAGE_MAX, g_usb_image.length, g_usb_image.suffix_length,
               g_usb_image.length - int32_t(g_usb_image.suffix_length));
        int32_t usb_sent = g_usb_image.length - int32_t(g_usb_image.suffix_length);
        printf("                      %s\n",
               image_info_text(
                   read_image_info(g_usb_image.data, g_usb_image.data && usb_sent > 0 ? usb_sent : 0, true),
                   true)
                   .c_str());
    }
    printf("[MAIN]\n");
    printf("  STRING_DATE_CODE      \"%s\"\n", STRING_DATE_CODE);
    printf("  INI_DATE_CODE         \"%s\"\n", INI_DATE_CODE);
    printf("  INI_VER_NXP           \"%s\" (0x%04llX)\n", INI_VER_NXP,
           (unsigned long long)parse_hex(INI_VER_NXP));
    printf("  INI_VER_BT            \"%s\" (0x%04X)\n", INI_VER_BT, INI_VER_BT_VALUE);
    printf("  INI_ALLOW_DOWNGRADE   0x%02X (%s)\n", INI_ALLOW_DOWNGRADE,
           INI_ALLOW_DOWNGRADE ? "downgrades allowed" : "downgrades refused");
    printf("[DFU]\n");
    printf("  INI_DFU_GUID          {%s}\n", guid_text(INI_DFU_GUID).c_str());
    printf("  INI_DFU_VID1          0x%04X\n", INI_DFU_VID1);
    printf("  INI_DFU_PID1          0x%04X\n", INI_DFU_PID1);
    printf("  INI_DFU_VID2          0x%04X\n", INI_DFU_VID2);
    printf("  INI_DFU_PID2          0x%04X\n", INI_DFU_PID2);
    printf("  INI_DFU_INTERFACE     %u\n", INI_DFU_INTERFACE);
    printf("  INI_DFU_DETACH_DELAY  %u ms%s\n", INI_DFU_DETACH_DELAY,
           INI_DFU_DETACH_DELAY ? "" : " (no DFU_DETACH request)");
    printf("  INI_DFU_TRANSFER_SIZE %u\n", INI_DFU_TRANSFER_SIZE);
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
            ini_get_string(section, key, kMissing, text, sizeof text);
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
    free_usb_image();
    if (!l.marker)
        return fail("%s: the INI text has no end marker, so the images cannot be told apart", path.c_str());
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
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
    if (argc != 1)
        return usage("lint takes one file");
    Loaded l;
    if (!load_as_tool(argv[0], &l))
        return 1;
    free_usb_image();
    if (!l.marker)
        return fail("%s: the INI text has no end marker; the tool would load no images", argv[0]);
    std::vector<Finding> findings = check_package(pieces_of(l));
    bool ok = report(findings, false);
    printf("%s: %s\n", argv[0], ok ? "no errors" : "errors found");
    return ok ? 0 : 1;
}

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

// The images and where the INI text ends, as the tool loaded them.
struct Images {
    uint32_t package_start, ini_end;
    std::vector<uint8_t> bt, usb;
    uint32_t bt_len, bt_sum, suffix_length;
};

Images loaded_images()
{
    Images m;
    m.package_start = g_package_start;
    m.ini_end = g_ini_end;
    m.bt.assign(g_bt_image, g_bt_image + BT_IMAGE_MAX);
    if (g_usb_image.data)
        m.usb.assign(g_usb_image.data, g_usb_image.data + g_usb_image.length);
    m.bt_len = g_bt_image_len;
    m.bt_sum = g_bt_image_sum;
    m.suffix_length = g_usb_image.suffix_length;
    free_usb_image();
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
    std::string in, cert, key, out;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        std::string* slot = nullptr;
        if (a == "--cert")
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
    if (!l.marker) {
        free_usb_image();
        return fail("%s: the INI text has no end marker; the tool would load no images", in.c_str());
    }
    Images before = loaded_images();
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
    int rc = run_program({kSigner, "sign", "-certs", cert, "-key", key, "-h", "sha256", "-n",
                          "Orvex Tessel Keyboard Firmware Updater", "-in", in, "-out", tmp},
                         said);
    if (rc != 0) {
        unlink(tmp.c_str());
        fputs(said.c_str(), stderr);
        return fail(rc < 0 ? "cannot run %s (is it installed?)" : "%s sign failed", kSigner);
    }
    // Read the signed program back as the tool does: the same images, else no OUT.
    Loaded s;
    bool read = load_as_tool(tmp, &s) && s.marker;
    Images after = loaded_images();
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
    printf("%s: signed, %u bytes (certificate table at %u, %u bytes); package read back unchanged "
           "(USB image %zu bytes, DFU suffix %u)\n",
           out.c_str(), s.size, s.end, s.size - s.end, after.usb.size(), after.suffix_length);
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
        args.push_back("-CAfile");
        args.push_back(ca);
    }
    std::string said;
    int rc = run_program(args, said);
    if (rc != 0)
        fputs(said.c_str(), stderr);
    else
        fputs(lines_with(said, "Signature verification:").c_str(), stdout);
    if (rc != 0)
        return fail(rc < 0 ? "cannot run %s (is it installed?)" : "%s verify: the signature does not verify",
                    kSigner);

    Loaded l;
    if (!load_as_tool(in, &l))
        return 1;
    free_usb_image();
    if (l.end == l.size)
        return fail("%s carries no certificate table", in.c_str());
    if (!l.marker)
        return fail("%s: the INI text has no end marker; the tool would load no images", in.c_str());
    bool ok = report(check_package(pieces_of(l)), false);
    printf("%s: signature verified; package %s (USB image %u bytes, ending at the certificate table at %u)\n",
           in.c_str(), ok ? "passes its checks" : "has errors", l.end - g_ini_end - BT_IMAGE_MAX, l.end);
    return ok ? 0 : 1;
}

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

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage("no command given");
    std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        fputs(kHelp, stdout);
        return 0;
    }
    if (cmd == "build")
        return cmd_build(argc - 2, argv + 2);
    if (cmd == "inspect")
        return cmd_inspect(argc - 2, argv + 2);
    if (cmd == "extract")
        return cmd_extract(argc - 2, argv + 2);
    if (cmd == "stub")
        return cmd_stub(argc - 2, argv + 2);
    if (cmd == "lint")
        return cmd_lint(argc - 2, argv + 2);
    if (cmd == "sign")
        return cmd_sign(argc - 2, argv + 2);
    if (cmd == "verify")
        return cmd_verify(argc - 2, argv + 2);
    return usage(("unknown command " + cmd).c_str());
}
