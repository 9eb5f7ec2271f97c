// tessel-pack as package authors use it, and the sample package it builds.
#include "unit/package/package_fixture.h"

#include <dirent.h>
#include <map>
#include <sys/wait.h>

using namespace pkgtest;

namespace {

struct PackRun {
    int status;
    std::string out;
    std::string err;
};

PackRun run_pack(const std::string& args, const std::string& scratch)
{
    std::string out_file = scratch + "/.stdout", err_file = scratch + "/.stderr";
    std::string cmd = std::string(TESSEL_PACK) + " " + args + " >'" + out_file + "' 2>'" + err_file + "'";
    int rc = system(cmd.c_str());
    PackRun r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    Bytes o = read_bytes(out_file), e = read_bytes(err_file);
    r.out.assign(o.begin(), o.end());
    r.err.assign(e.begin(), e.end());
    unlink(out_file.c_str());
    unlink(err_file.c_str());
    return r;
}

bool ends_with(const std::string& s, const std::string& end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

std::vector<std::string> files_in(const std::string& d)
{
    std::vector<std::string> names;
    DIR* dd = opendir(d.c_str());
    while (dd) {
        struct dirent* e = readdir(dd);
        if (!e)
            break;
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    if (dd)
        closedir(dd);
    std::sort(names.begin(), names.end());
    return names;
}

// A DFU suffix for vendor:product over `body`, its CRC right unless `crc_delta`.
Bytes with_suffix(Bytes body, uint16_t vid, uint16_t pid, uint32_t crc_delta = 0)
{
    Bytes s = {
        0x53, 0x03, uint8_t(pid), uint8_t(pid >> 8), uint8_t(vid), uint8_t(vid >> 8), 0x00, 0x01, 'U', 'F',
        'D',  16};
    body.insert(body.end(), s.begin(), s.end());
    uint32_t crc = dfu_crc32(body.data(), body.size()) + crc_delta;
    for (int i = 0; i < 4; i++)
        body.push_back(uint8_t(crc >> (8 * i)));
    return body;
}

// The lines of a package that passes every check: versions, DFU settings and
// all sixteen messages in all 31 languages; `change` replaces or adds lines.
std::vector<std::string> clean_lines(const std::map<std::string, std::string>& change = {})
{
    std::vector<std::string> lines = {"[MAIN]",
                                      "INI_VER_NXP=0353",
                                      "INI_VER_BT=A23F",
                                      "INI_ALLOW_DOWNGRADE=0",
                                      "[DFU]",
                                      "INI_DFU_GUID=a01674b4-c5f6-485c-af94-3271701d57b4",
                                      "INI_DFU_VID1=1FC9",
                                      "INI_DFU_PID1=5002",
                                      "INI_DFU_INTERFACE=0",
                                      "INI_DFU_TRANSFER_SIZE=64"};
    for (unsigned lang = 0; lang <= 30; lang++) {
        char section[16];
        snprintf(section, sizeof section, "[LANG%02u]", lang);
        lines.push_back(section);
        for (unsigned n = 1; n <= 16; n++) {
            char line[64];
            snprintf(line, sizeof line, "S%02u=Message %u in language %u", n, n, lang);
            lines.push_back(line);
        }
    }
    for (const auto& c : change) {
        std::string section = c.first.substr(0, c.first.find(' '));
        std::string key = c.first.substr(c.first.find(' ') + 1);
        auto at = std::find(lines.begin(), lines.end(), section);
        auto next = std::find_if(at + 1, lines.end(), [](const std::string& l) { return l[0] == '['; });
        auto old =
            std::find_if(at + 1, next, [&](const std::string& l) { return l.rfind(key + "=", 0) == 0; });
        if (old != next)
            *old = key + "=" + c.second;
        else
            lines.insert(next, key + "=" + c.second);
    }
    return lines;
}

class TesselPack : public PackageTest {
protected:
    std::string bare, ini, bt, usb, out;

    void SetUp() override
    {
        PackageTest::SetUp();
        bare = dir + "/bare.exe";
        ini = dir + "/package.ini";
        bt = dir + "/bt.bin";
        usb = dir + "/usb.bin";
        out = dir + "/out.exe";
        ASSERT_EQ(run_pack("stub -o '" + bare + "'", dir).status, 0);
        write_bytes(ini, text_bytes(ini_text(clean_lines({{"[LANG01] S01", "Mettre à jour"}}))));
        write_bytes(bt, pattern(BT_IMAGE_MAX, 11));
        write_bytes(usb, with_suffix(pattern(4096, 12), 0x1FC9, 0x5002));
    }

    std::string build_args(const std::string& exe_path, const std::string& ini_path,
                           const std::string& bt_path, const std::string& usb_path)
    {
        return "build --exe '" + exe_path + "' --ini '" + ini_path + "' --bt '" + bt_path + "' --usb '" +
               usb_path + "' -o '" + out + "'";
    }

    // Runs a build that must be refused: non-zero status, one line on
    // stderr and the count, no OUT and no temporary file left behind.
    void expect_refused(const std::string& args, const char* why)
    {
        SCOPED_TRACE(why);
        std::vector<std::string> before = files_in(dir);
        PackRun r = run_pack(args, dir);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
        EXPECT_TRUE(ends_with(r.err, "\nbuild: 1 error\n")) << r.err;
        EXPECT_EQ(files_in(dir), before) << "nothing written";
    }
};

TEST_F(TesselPack, StubIsAPe32PlusProgramWithoutPackage)
{
    Bytes b = read_bytes(bare);
    ASSERT_EQ(b.size(), 0x600u);
    EXPECT_EQ(b[0], 'M');
    uint32_t lfanew = b[0x3C];
    EXPECT_EQ(b[lfanew + 24] | (b[lfanew + 25] << 8), 0x20B);
    EXPECT_EQ(b[lfanew + 20] | (b[lfanew + 21] << 8), 240);
    EXPECT_EQ(pe_package_start(b.data(), b.size()), b.size());
}

TEST_F(TesselPack, BuildInspectExtractRoundTrip)
{
    PackRun r = run_pack(build_args(bare, ini, bt, usb), dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "a clean package builds without a word";
    // CR bytes before the marker's LF make the file a multiple of 8 bytes.
    Bytes built = read_bytes(out);
    Bytes plain = read_bytes(bare) + read_bytes(ini) + read_bytes(bt) + read_bytes(usb);
    size_t pad = (8 - plain.size() % 8) % 8;
    Bytes padded_ini = read_bytes(ini);
    padded_ini.insert(padded_ini.end() - 1, pad, '\r');
    EXPECT_EQ(built, read_bytes(bare) + padded_ini + read_bytes(bt) + read_bytes(usb));
    EXPECT_EQ(built.size() % 8, 0u);

    // The tool itself loads it.
    use_program(out);
    ASSERT_TRUE(load_package());
    EXPECT_EQ(g_package_start, 0x600u);
    EXPECT_EQ(g_ini_end, 0x600u + padded_ini.size());
    EXPECT_EQ(g_usb_image.length, 4096 + 16);
    EXPECT_EQ(g_usb_image.suffix_length, 16u);

    r = run_pack("inspect '" + out + "'", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("package start         1536 (0x600)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("length 32768 (rounded to 64)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("INI_VER_BT            \"A23F\" (0xA23F)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("INI_DFU_GUID          {a01674b4-c5f6-485c-af94-3271701d57b4}"), std::string::npos);
    EXPECT_NE(r.out.find("LANG00  ++++++++++++++++  16"), std::string::npos) << r.out;
    r = run_pack("inspect '" + out + "' --messages", dir);
    EXPECT_NE(r.out.find("S01 Mettre à jour"), std::string::npos) << r.out;

    std::string x = dir + "/x";
    r = run_pack("extract '" + out + "' '" + x + "'", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_bytes(x + "/package.ini"), padded_ini);
    EXPECT_EQ(read_bytes(x + "/bt.bin"), read_bytes(bt));
    EXPECT_EQ(read_bytes(x + "/usb.bin"), read_bytes(usb));
}

TEST_F(TesselPack, RefusesEveryBadInputWithoutLeavingOut)
{
    // Not a program at all; a PE32 (32-bit) program; one that carries a package.
    std::string text = dir + "/text.exe";
    write_bytes(text, text_bytes("just text, no MZ"));
    expect_refused(build_args(text, ini, bt, usb), "no MZ");
    Bytes pe32 = read_bytes(bare);
    pe32[0x40 + 24] = 0x0B;
    pe32[0x40 + 25] = 0x01;
    std::string pe32_path = dir + "/pe32.exe";
    write_bytes(pe32_path, pe32);
    expect_refused(build_args(pe32_path, ini, bt, usb), "PE32");
    Bytes no_sig = read_bytes(bare);
    no_sig[0x41] = 'X';
    std::string no_sig_path = dir + "/nosig.exe";
    write_bytes(no_sig_path, no_sig);
    expect_refused(build_args(no_sig_path, ini, bt, usb), "no PE signature");
    std::string packaged = dir + "/packaged.exe";
    write_bytes(packaged, read_bytes(bare) + text_bytes("overlay"));
    expect_refused(build_args(packaged, ini, bt, usb), "already carries data");

    // INI texts the tool would not end where the images begin.
    std::string bad_ini = dir + "/bad.ini";
    write_bytes(bad_ini, text_bytes("[MAIN]\r\nA=1\r\n"));
    expect_refused(build_args(bare, bad_ini, bt, usb), "no marker");
    write_bytes(bad_ini, text_bytes("[MAIN]\r\nS__=END_OF_FILE"));
    expect_refused(build_args(bare, bad_ini, bt, usb), "marker without line end");
    write_bytes(bad_ini, text_bytes("S__=END_OF_FILE\r\n[MAIN]\r\nS__=END_OF_FILE\r\n"));
    expect_refused(build_args(bare, bad_ini, bt, usb), "marker before the end");
    write_bytes(bad_ini, text_bytes("[MAIN]\r\nS__=END_OF_FILE\r\n\r\n"));
    expect_refused(build_args(bare, bad_ini, bt, usb), "blank line after the marker");

    // Bluetooth images of the wrong size.
    std::string bad_bt = dir + "/bad_bt.bin";
    write_bytes(bad_bt, pattern(BT_IMAGE_MAX + 1, 1));
    expect_refused(build_args(bare, ini, bad_bt, usb), "Bluetooth image too long");
    write_bytes(bad_bt, pattern(1000, 1));
    expect_refused(build_args(bare, ini, bad_bt, usb), "Bluetooth image too short");

    // Unreadable inputs.
    expect_refused(build_args(dir + "/none.exe", ini, bt, usb), "missing exe");
    expect_refused(build_args(bare, ini, bt, dir), "USB image is a folder");
    EXPECT_NE(run_pack("build --exe '" + bare + "'", dir).status, 0) << "missing arguments";

    // An existing OUT stays as it was when a build is refused.
    write_bytes(out, text_bytes("previous"));
    expect_refused(build_args(bare, ini, bad_bt, usb), "refused over an existing OUT");
    EXPECT_EQ(read_bytes(out), text_bytes("previous"));
}

// Every check of build, one broken package per row: the one line it prints
// (errors refuse, warnings do not), and the same line from lint on the
// package built with --force.
TEST_F(TesselPack, BuildChecksOneLinePerProblem)
{
    Bytes body = pattern(4096, 12);
    Bytes good_usb = read_bytes(usb);
    std::string cut_message = std::string(254, 'a') + "\xC3\xA9" + std::string(144, 'b');
    std::map<std::string, std::string> partial;  // 28 languages with S01 only, as the sample ships
    std::vector<std::string> sample_like;
    for (const std::string& l : clean_lines())
        if (l.rfind("S", 0) != 0 || l.rfind("S01=", 0) == 0 || l.find("language 0") != std::string::npos ||
            l.find("language 6") != std::string::npos || l.find("language 7") != std::string::npos)
            sample_like.push_back(l);
    std::vector<std::string> second_value = clean_lines(), bom_header = clean_lines();
    second_value.insert(std::find(second_value.begin(), second_value.end(), "INI_DFU_TRANSFER_SIZE=64") + 1,
                        "INI_DFU_TRANSFER_SIZE = 128 ; meant");
    *std::find(bom_header.begin(), bom_header.end(), "[DFU]") = "\xEF\xBB\xBF[DFU]";
    char crc_line[200];
    {
        Bytes bad = with_suffix(body, 0x1FC9, 0x5002, 1);
        uint32_t right = dfu_crc32(bad.data(), bad.size() - 4);
        snprintf(
            crc_line, sizeof crc_line,
            "error: USB image: DFU suffix CRC is 0x%08X but the image gives 0x%08X: the tool would send the "
            "suffix as firmware",
            right + 1, right);
    }
    struct Row {
        const char* what;
        std::vector<std::string> lines;
        Bytes usb;
        bool refused;
        std::string line;
    } rows[] = {
        {"suffix for another device", clean_lines(), with_suffix(body, 0x0483, 0xDF11), true,
         "error: USB image: DFU suffix is for 0483:df11, not for the boot loader of INI_DFU_VID1/PID1 "
         "(1fc9:5002) "
         "or INI_DFU_VID2/PID2 (1fc9:000c)"},
        {"suffix with a wrong CRC", clean_lines(), with_suffix(body, 0x1FC9, 0x5002, 1), true, crc_line},
        {"no suffix at all", clean_lines(), body + Bytes(16, 0xFF), false,
         "warning: USB image: no DFU suffix (its last 16 bytes are not one): the whole image is downloaded "
         "and "
         "nothing ties it to a device"},
        {"empty USB image", clean_lines(), Bytes(), true, "error: USB image: empty"},
        {"version not hexadecimal", clean_lines({{"[MAIN] INI_VER_NXP", "zz53"}}), good_usb, true,
         "error: [MAIN] INI_VER_NXP: \"zz53\" is not four hexadecimal digits"},
        {"version of five digits", clean_lines({{"[MAIN] INI_VER_BT", "A23F0"}}), good_usb, true,
         "error: [MAIN] INI_VER_BT: \"A23F0\" is not four hexadecimal digits"},
        {"transfer size 0", clean_lines({{"[DFU] INI_DFU_TRANSFER_SIZE", "0"}}), good_usb, true,
         "error: [DFU] INI_DFU_TRANSFER_SIZE: \"0\" is not a transfer size in bytes of 1 to 4096"},
        {"transfer size 4097", clean_lines({{"[DFU] INI_DFU_TRANSFER_SIZE", "4097"}}), good_usb, true,
         "error: [DFU] INI_DFU_TRANSFER_SIZE: \"4097\" is not a transfer size in bytes of 1 to 4096"},
        {"interface 256", clean_lines({{"[DFU] INI_DFU_INTERFACE", "256"}}), good_usb, true,
         "error: [DFU] INI_DFU_INTERFACE: \"256\" is not an interface number of 0 to 255"},
        {"GUID cut short", clean_lines({{"[DFU] INI_DFU_GUID", "a01674b4-c5f6-485c-af94"}}), good_usb, true,
         "error: [DFU] INI_DFU_GUID: \"a01674b4-c5f6-485c-af94\" is not a GUID of the form "
         "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"},
        {"message cut inside a character", clean_lines({{"[LANG05] S02", cut_message}}), good_usb, true,
         "error: [LANG05] S02: 400 bytes; the tool shows at most 255 and would cut it inside a UTF-8 "
         "character"},
        {"message not UTF-8", clean_lines({{"[LANG09] S16", "Caf\xE9"}}), good_usb, true,
         "error: [LANG09] S16: not valid UTF-8 (byte 3 of 4)"},
        {"English incomplete", clean_lines({{"[LANG00] S05", ""}}), good_usb, true,
         "error: [LANG00] S05: missing; English is the last fallback, so the tool would show an empty text"},
        {"28 languages with 1 of 16 messages", sample_like, good_usb, false,
         "warning: messages: LANG01..LANG05, LANG08..LANG30 (28 languages) lack S02..S16, which fall back to "
         "English"},
        {"unknown key", clean_lines({{"[MAIN] INI_VER_NPX", "0353"}}), good_usb, false,
         "warning: [MAIN] INI_VER_NPX: unknown key; the tool never reads it"},
        {"second value of a key", second_value, good_usb, true,
         "error: [DFU] INI_DFU_TRANSFER_SIZE: a second value \"128\"; the tool reads only the first, \"64\""},
        {"byte order mark before a header", bom_header, good_usb, true,
         "error: [DFU]: a UTF-8 byte order mark (EF BB BF) stands before the header: the tool does not see "
         "this "
         "section"},
        {"USB image larger than any keyboard's flash", clean_lines(),
         with_suffix(pattern(65537, 3), 0x1FC9, 0x5002), false,
         "warning: USB image: 65537 bytes to download; no keyboard of this family has more than 65536 bytes "
         "(64 "
         "KiB) of USB flash"},
    };
    std::string broken_ini = dir + "/broken.ini", broken_usb = dir + "/broken_usb.bin";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        unlink(out.c_str());
        write_bytes(broken_ini, text_bytes(ini_text(row.lines)));
        write_bytes(broken_usb, row.usb);
        PackRun r = run_pack(build_args(bare, broken_ini, bt, broken_usb), dir);
        EXPECT_EQ(r.err, row.line + "\n" + (row.refused ? "build: 1 error\n" : ""));
        EXPECT_EQ(r.status != 0, row.refused);
        EXPECT_EQ(file_exists(out), !row.refused);
        if (!row.refused)
            continue;
        r = run_pack(build_args(bare, broken_ini, bt, broken_usb) + " --force", dir);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "warning: " + row.line.substr(strlen("error: ")) + "\n");
        r = run_pack("lint '" + out + "'", dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, row.line + "\nlint: 1 error\n");
    }

    // A flash size given refuses a larger image, in build and in lint.
    write_bytes(broken_usb, with_suffix(pattern(4096, 12), 0x1FC9, 0x5002));
    write_bytes(broken_ini, text_bytes(ini_text(clean_lines())));
    const char* too_big = "error: USB image: 4096 bytes to download, more than the --flash-size of 4095\n";
    PackRun r = run_pack(build_args(bare, broken_ini, bt, broken_usb) + " --flash-size 4095", dir);
    EXPECT_EQ(r.err, std::string(too_big) + "build: 1 error\n");
    r = run_pack(build_args(bare, broken_ini, bt, broken_usb) + " --flash-size 4096", dir);
    EXPECT_EQ(r.status, 0) << r.err;
    r = run_pack("lint '" + out + "' --flash-size 4095", dir);
    EXPECT_EQ(r.err, std::string(too_big) + "lint: 1 error\n");
}

// Program files that Windows would not start or whose package the tool's
// section walk would misread, each a copy of the sample with one change:
// lint refuses each with its one line and the count, and build refuses
// each as its program.
TEST_F(TesselPack, LintRefusesEveryBrokenProgram)
{
    const std::string sample_path = TESSEL_SAMPLE_DIR "/tessel-updater.exe";
    const Bytes sample = read_bytes(sample_path);
    const size_t pe = 0x40, opt = pe + 24, text = opt + 240;  // the stub's layout
    const std::string size = std::to_string(sample.size());
    // e_lfanew 0xF00 and a PE signature there, past the 3832 bytes the walk
    // looks at: one stretch of the file from 0x3C on.
    Bytes far(sample.begin() + 0x3C, sample.begin() + 0xF04);
    far[1] = 0x0F;
    far[0] = far[2] = far[3] = 0;
    std::copy_n("PE\0\0", 4, far.end() - 4);
    struct Row {
        const char* what;
        size_t at;
        Bytes bytes;
        std::string line;
    } rows[] = {
        {"no MZ", 0, {'X'}, "no MZ header: not a Windows program"},
        {"e_lfanew outside the file",
         0x3C,
         {0xF0, 0xFF, 0xFF, 0x7F},
         "e_lfanew 0x7FFFFFF0 points outside the file (" + size + " bytes)"},
        {"PE signature wrong",
         pe + 1,
         {'X'},
         "no PE signature at e_lfanew 0x40 (50 58 00 00, not 50 45 00 00)"},
        {"PE header beyond the walk's reach", 0x3C, far,
         "e_lfanew 0xF00 is not below 3832: the tool's section walk would not find the package and would "
         "read "
         "the program from its first byte"},
        {"PE32, not PE32+", opt, {0x0B, 0x01}, "optional header magic 0x10B: not a PE32+ (64-bit) program"},
        {"optional header of a PE32 size",
         pe + 20,
         {224, 0},
         "SizeOfOptionalHeader is 224: Windows finds the section table there, but the tool's section walk "
         "assumes the 240 bytes of a PE32+ optional header"},
        {"no sections", pe + 6, {0, 0}, "no sections"},
        {"section table past the end",
         pe + 6,
         {0xFF, 0xFF},
         "the section table (65535 sections) ends at 2621728, beyond the file's " + size + " bytes"},
        {"entry point in no section",
         opt + 16,
         {0x00, 0x90, 0, 0},
         "the entry point 0x9000 lies in no section"},
        {"first section's raw data reaching into the package",
         text + 16,
         {0x00, 0x06, 0, 0},
         "the last section's raw data ends at 2048, but the tool's section walk puts the package at 1536"},
    };
    PackRun r = run_pack("lint '" + sample_path + "'", dir);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string broken = dir + "/broken.exe";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes b = sample;
        std::copy(row.bytes.begin(), row.bytes.end(), b.begin() + long(row.at));
        write_bytes(broken, b);
        r = run_pack("lint '" + broken + "'", dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "error: program: " + row.line + "\nlint: 1 error\n");
        // As the bare program of a build, cut back to its headers and sections.
        b.resize(0x600);
        write_bytes(broken, b);
        r = run_pack(build_args(broken, ini, bt, usb), dir);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_FALSE(file_exists(out));
    }
}

TEST_F(TesselPack, InspectAndExtractRefuseFilesWithoutPackage)
{
    PackRun r = run_pack("inspect '" + bare + "'", dir);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("no package"), std::string::npos) << r.err;
    r = run_pack("extract '" + bare + "' '" + dir + "/x'", dir);
    EXPECT_NE(r.status, 0);
    EXPECT_FALSE(file_exists(dir + "/x"));
    r = run_pack("--help", dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("stub -o BARE.exe"), std::string::npos);
    r = run_pack("--version", dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.rfind("tessel-pack ", 0) == 0 && isdigit((unsigned char)r.out[12])) << r.out;
}

class SamplePackage : public PackageTest {
protected:
    void SetUp() override
    {
        PackageTest::SetUp();
        use_program(std::string(TESSEL_SAMPLE_DIR) + "/tessel-updater.exe");
        ASSERT_TRUE(file_exists(TESSEL_SAMPLE_DIR "/tessel-updater.exe")) << "build the sample first";
    }
};

TEST_F(SamplePackage, LoadsWithTheShippedValues)
{
    ASSERT_TRUE(load_package());
    Bytes ini = read_bytes(TESSEL_SOURCE_DIR "/sample-package/package.ini");
    EXPECT_EQ(g_package_start, 0x600u);
    // Built with CR bytes of alignment before the marker's LF.
    EXPECT_EQ(g_ini_end, 0x600u + ini.size() + (8 - (0x600u + ini.size() + 32768 + 40960) % 8) % 8);
    EXPECT_EQ(g_bt_image_len, 32768u);
    EXPECT_EQ(g_usb_image.length, 40960);
    EXPECT_EQ(g_usb_image.suffix_length, 0u);
    for (int i = 40960 - 16; i < 40960; i++)
        ASSERT_EQ(g_usb_image.data[i], 0xFF);
    Bytes bt = read_bytes(TESSEL_SAMPLE_DIR "/bt.bin");
    EXPECT_EQ(g_bt_image_sum, bt_image_sum(bt.data(), 32768));
    EXPECT_STREQ(STRING_DATE_CODE, "Version =");
    EXPECT_STREQ(INI_DATE_CODE, "20171016_V0353_BTA23F");
    EXPECT_STREQ(INI_VER_NXP, "0353");
    EXPECT_STREQ(INI_VER_BT, "A23F");
    EXPECT_EQ(INI_ALLOW_DOWNGRADE, 0u);
    EXPECT_EQ(INI_DFU_GUID.Data1, 0xa01674b4u);
    EXPECT_EQ(INI_DFU_VID1, 0x1FC9u);
    EXPECT_EQ(INI_DFU_PID1, 0x5002u);
    EXPECT_EQ(INI_DFU_VID2, 0x1FC9u);
    EXPECT_EQ(INI_DFU_PID2, 0x000Cu);
    EXPECT_EQ(INI_DFU_INTERFACE, 0u);
    EXPECT_EQ(INI_DFU_DETACH_DELAY, 0u);
    EXPECT_EQ(INI_DFU_TRANSFER_SIZE, 64u);
    // Every line ends with CR LF.
    for (size_t i = 0; i < ini.size(); i++) {
        if (ini[i] == '\n') {
            ASSERT_TRUE(i > 0 && ini[i - 1] == '\r') << i;
        }
    }
}

TEST_F(SamplePackage, MessagesOfEveryLanguage)
{
    ASSERT_TRUE(load_package());
    const char* english[16] = {
        "Update",
        "Please attach your keyboard and connect power adapter to your tablet. Please DO NOT detach the "
        "keyboard "
        "during the update process until instructed ...",
        "Current version:",
        "Updating Bluetooth firmware ...",
        "Matching Bluetooth firmware checksum ...",
        "Please try again ...",
        "Updating USB firmware ...",
        "Keyboard firmware update fail, Please detach KB and press power button over 15s and attach then try "
        "again...",
        "Keyboard firmware update completed ...",
        "Please detach and re-attach your keyboard to your tablet within 20 seconds to complete the firmware "
        "update process ...",
        "The Bluetooth IC is incompatible this updated version ...",
        "Close",
        "You must restart your computer to apply these changes. Before restarting, save any open files and "
        "close "
        "all programs.",
        "Restart Now",
        "Restart Later",
        "Do not allow degraded firmware !",
    };
    char text[256];
    char section[16], key[16];
    for (unsigned lang = 0; lang <= 30; lang++) {
        snprintf(section, sizeof section, "LANG%02u", lang);
        for (unsigned n = 1; n <= 16; n++) {
            snprintf(key, sizeof key, "S%02u", n);
            ini_get_string(section, key, "", text, sizeof text);
            bool full = lang == 0 || lang == 6 || lang == 7;
            if (lang == 0) {
                EXPECT_STREQ(text, english[n - 1]) << key;
            } else if (full || n == 1) {
                EXPECT_GT(strlen(text), 0u) << section << " " << key;
            } else {
                EXPECT_STREQ(text, "") << section << " " << key;
            }
            if (lang != 0 && n == 1) {
                EXPECT_STRNE(text, "Update") << section << " holds its own language";
            }
            // Every text converts to UTF-16 without replacement characters.
            WCHAR wide[256];
            int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, 256);
            EXPECT_GT(units, 0) << section << " " << key;
        }
    }
    g_lang = LANG_NONE;
    set_locale(0x040C, 0x040C);
    EXPECT_STREQ(load_message(1, text), "Mettre à jour");
    EXPECT_STREQ(load_message(14, text), "Restart Now");
}

}  // namespace
