// tessel-pack: builds, inspects and takes apart update packages appended to
// tessel-updater.exe. It reads packages with the tool's own package and INI
// code, so what it reports is what the tool will see.
#include "package/ini.h"
#include "package/package.h"
#include "platform/host/sim_core.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#undef fopen
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kHelp =
    "usage:\n"
    "  tessel-pack build --exe BARE.exe --ini package.ini --bt bt.bin --usb usb.bin -o OUT.exe\n"
    "      Appends the INI text, the Bluetooth image and the USB image to a copy of BARE.exe.\n"
    "      BARE.exe must be a PE32+ program with nothing behind its last section; the INI\n"
    "      text must end with the line S__=END_OF_FILE (and its line end) and hold no\n"
    "      earlier such line; the Bluetooth image must have exactly 32768 bytes (a shorter\n"
    "      one is refused, not padded); the USB image may end in a DFU suffix. OUT.exe is\n"
    "      written to a temporary file beside it and renamed only after the tool's own\n"
    "      loader has read the result back; on any refusal OUT.exe is left untouched.\n"
    "  tessel-pack inspect OUT.exe [--messages]\n"
    "      Shows the package as the tool reads it: package start, INI end, the Bluetooth\n"
    "      length (rounded) and sum, the USB length and DFU suffix length, every\n"
    "      configuration value as converted, and which of S01..S16 each of the sections\n"
    "      LANG00..LANG30 supplies (--messages also prints the texts).\n"
    "  tessel-pack extract OUT.exe DIR\n"
    "      Writes DIR/package.ini, DIR/bt.bin and DIR/usb.bin as they lie in the package.\n"
    "  tessel-pack stub -o BARE.exe\n"
    "      Writes a minimal PE32+ image (DOS header, PE header, 240-byte optional header,\n"
    "      sections .text and .rdata with raw data; 1536 bytes, package start 0x600). It\n"
    "      stands in for the real program in host builds, which cannot link a Windows\n"
    "      executable; it is not meant to run.\n"
    "Exit status: 0 on success, 1 when refused or failed (one line on stderr), 2 for usage.\n";

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

uint32_t u16_at(const std::vector<uint8_t>& b, size_t at) { return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8); }

uint32_t u32_at(const std::vector<uint8_t>& b, size_t at) { return u16_at(b, at) | (u16_at(b, at + 2) << 16); }

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

int cmd_build(int argc, char** argv)
{
    std::string exe_path, ini_path, bt_path, usb_path, out_path;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        std::string* slot = nullptr;
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
    if (rename(tmp.c_str(), out_path.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        return fail("cannot rename to %s: %s", out_path.c_str(), strerror(e));
    }
    printf("%s: %zu bytes (program %zu, INI %zu, Bluetooth %zu, USB %zu)\n", out_path.c_str(), packaged.size(),
           exe.size(), ini.size(), bt.size(), usb.size());
    return 0;
}

std::string guid_text(const GUID& g)
{
    char s[64];
    snprintf(s, sizeof s, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return s;
}

// Loads `path` as the tool would; false (with a message) when there is no package.
bool load_as_tool(const std::string& path, uint32_t* size, uint32_t* start, bool* marker)
{
    std::vector<uint8_t> probe;
    std::string why;
    if (!read_file(path, probe, why)) {
        fail("cannot read %s: %s", path.c_str(), why.c_str());
        return false;
    }
    become_program(path);
    *size = 0;
    *start = find_package_start(size);
    if (*start == *size) {
        fail("%s carries no package (nothing behind its last section, %u bytes)", path.c_str(), *size);
        return false;
    }
    *marker = load_package();
    return true;
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
    uint32_t size, start;
    bool marker;
    if (!load_as_tool(path, &size, &start, &marker))
        return 1;

    printf("file                  %s (%u bytes)\n", path.c_str(), size);
    printf("package start         %u (0x%X)%s\n", g_package_start, g_package_start,
           start == 0 ? "  [no valid PE section table: read from the first byte]" : "");
    printf("INI end               %u (0x%X), INI text %u bytes, end marker %s\n", g_ini_end, g_ini_end,
           g_ini_end - g_package_start, marker ? "found" : "NOT FOUND (no images are loaded)");
    if (marker) {
        uint32_t bt_read = size - g_ini_end < BT_IMAGE_MAX ? size - g_ini_end : BT_IMAGE_MAX;
        printf("Bluetooth image       at %u, %u bytes read, length %u (rounded to 64), sum 0x%08X (%u)\n",
               g_ini_end, bt_read, g_bt_image_len, g_bt_image_sum, g_bt_image_sum);
        printf("USB image             at %u, length %d, DFU suffix length %u, downloaded %d bytes\n",
               g_ini_end + BT_IMAGE_MAX, g_usb_image.length, g_usb_image.suffix_length,
               g_usb_image.length - int32_t(g_usb_image.suffix_length));
    }
    printf("[MAIN]\n");
    printf("  STRING_DATE_CODE      \"%s\"\n", STRING_DATE_CODE);
    printf("  INI_DATE_CODE         \"%s\"\n", INI_DATE_CODE);
    printf("  INI_VER_NXP           \"%s\" (0x%04llX)\n", INI_VER_NXP, (unsigned long long)parse_hex(INI_VER_NXP));
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
    uint32_t size, start;
    bool marker;
    if (!load_as_tool(path, &size, &start, &marker))
        return 1;
    free_usb_image();
    if (!marker)
        return fail("%s: the INI text has no end marker, so the images cannot be told apart", path.c_str());
    std::vector<uint8_t> file;
    std::string why;
    if (!read_file(path, file, why) || file.size() != size)
        return fail("cannot read %s: %s", path.c_str(), why.empty() ? "it changed" : why.c_str());
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return fail("cannot create %s: %s", dir.c_str(), strerror(errno));
    size_t ini_end = g_ini_end;
    size_t bt_end = ini_end + BT_IMAGE_MAX < file.size() ? ini_end + BT_IMAGE_MAX : file.size();
    struct Piece {
        const char* name;
        size_t from, to;
    } pieces[] = {{"package.ini", g_package_start, ini_end}, {"bt.bin", ini_end, bt_end}, {"usb.bin", bt_end, file.size()}};
    for (const Piece& p : pieces) {
        std::vector<uint8_t> bytes(file.begin() + long(p.from), file.begin() + long(p.to));
        std::string tmp;
        if (!write_atomically(dir + "/" + p.name, bytes, tmp, why))
            return fail("%s", why.c_str());
        printf("%s/%s: %zu bytes\n", dir.c_str(), p.name, bytes.size());
    }
    return 0;
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
    b[opt + 2] = 2;               // linker version
    put32(b, opt + 4, 0x200);     // SizeOfCode
    put32(b, opt + 8, 0x200);     // SizeOfInitializedData
    put32(b, opt + 16, 0x1000);   // AddressOfEntryPoint
    put32(b, opt + 20, 0x1000);   // BaseOfCode
    put64(b, opt + 24, 0x140000000ull);  // ImageBase
    put32(b, opt + 32, 0x1000);   // SectionAlignment
    put32(b, opt + 36, 0x200);    // FileAlignment
    put16(b, opt + 40, 6);        // operating system version
    put16(b, opt + 48, 6);        // subsystem version
    put32(b, opt + 56, 0x3000);   // SizeOfImage
    put32(b, opt + 60, 0x200);    // SizeOfHeaders
    put16(b, opt + 68, 2);        // Subsystem: Windows GUI
    put64(b, opt + 72, 0x200000); // stack reserve
    put64(b, opt + 80, 0x1000);   // stack commit
    put64(b, opt + 88, 0x100000); // heap reserve
    put64(b, opt + 96, 0x1000);   // heap commit
    put32(b, opt + 108, 16);      // NumberOfRvaAndSizes (directories all empty)
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
    return usage(("unknown command " + cmd).c_str());
}
