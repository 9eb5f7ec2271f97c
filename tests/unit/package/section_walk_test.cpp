// Where the package starts: the walk over the program file's section table.
#include "package_fixture.h"

using namespace pkgtest;

namespace {

// The walk on exactly the bytes given (a vector of that size, so that a read
// past them would be a read past the allocation).
uint32_t walk(const Bytes& b, size_t len = SIZE_MAX)
{
    Bytes exact(b.begin(), b.begin() + long(std::min(len, b.size())));
    return pe_package_start(exact.data(), exact.size());
}

TEST(SectionWalk, HighestPointerToRawDataDecidesNotTableOrder)
{
    EXPECT_EQ(walk(pe_headers(0x80, {{0x100, 0x400}, {0x300, 0x1000}, {0x800, 0x600}})), 0x1300u);
    // Equal highest pointers: the first in table order wins, whatever its size.
    EXPECT_EQ(walk(pe_headers(0x80, {{0x100, 0x400}, {0x200, 0x1000}, {0x900, 0x1000}})), 0x1200u);
    // A section with PointerToRawData 0 (uninitialised data) is never chosen.
    EXPECT_EQ(walk(pe_headers(0x80, {{0x5000, 0}, {0x200, 0x400}, {0x7000, 0}})), 0x600u);
    EXPECT_EQ(walk(pe_headers(0x80, {{0x5000, 0}, {0x100, 0}})), 0u);
    // The end is a 32-bit sum.
    EXPECT_EQ(walk(pe_headers(0x80, {{0x20, 0xFFFFFFF0u}})), 0x10u);
}

TEST(SectionWalk, HeaderChecksRejectWhatIsNotAProgram)
{
    Bytes good = pe_headers(0x80, {{0x200, 0x400}});
    EXPECT_EQ(walk(good), 0x600u);

    Bytes no_mz = good;
    no_mz[1] = 'X';
    EXPECT_EQ(walk(no_mz), 0u);

    Bytes bad_sig = good;
    bad_sig[0x80 + 2] = 'X';
    EXPECT_EQ(walk(bad_sig), 0u);

    EXPECT_EQ(walk(pe_headers(0x80, {{0x200, 0x400}}, 0, 0)), 0u) << "NumberOfSections 0";

    // e_lfanew must stay below 3832 so that the headers lie in the first 4096 bytes.
    EXPECT_EQ(walk(pe_headers(3831, {{0x200, 0x400}}, 8192)), 0x600u);
    EXPECT_EQ(walk(pe_headers(3832, {{0x200, 0x400}}, 8192)), 0u);

    // Fewer bytes than a DOS header, nothing at all.
    EXPECT_EQ(walk(good, 0x3F), 0u);
    EXPECT_EQ(pe_package_start(nullptr, 0), 0u);
}

TEST(SectionWalk, HostileHeadersNeverLeadPastTheBytesGiven)
{
    // e_lfanew pointing far away (negative as a signed value).
    Bytes far = pe_headers(0x80, {{0x200, 0x400}});
    put32(far, 0x3C, 0xFFFFFFF0u);
    EXPECT_EQ(walk(far), 0u);
    EXPECT_EQ(pe_header_size(far.data(), far.size()), 0u);

    // e_lfanew inside the limit but behind the bytes read: no signature to see.
    Bytes short_read = pe_headers(3000, {{0x200, 0x400}});
    EXPECT_EQ(walk(short_read, 3002), 0u);

    // 65535 sections announced, three present in the bytes given: only
    // headers wholly inside the bytes are walked.
    Bytes many = pe_headers(0x80, {{0x100, 0x200}, {0x100, 0x300}, {0x100, 0x900}}, 0, 65535);
    size_t table = 0x80 + 264;
    EXPECT_EQ(pe_header_size(many.data(), many.size()), table + 65535u * 40);
    EXPECT_EQ(walk(many, table + 3 * 40), 0xA00u);
    // The third header cut in the middle of its PointerToRawData: not walked.
    EXPECT_EQ(walk(many, table + 2 * 40 + 22), 0x400u);
    // Not even one whole header.
    EXPECT_EQ(walk(many, table + 39), 0u);
}

class FindPackageStart : public PackageTest {};

TEST_F(FindPackageStart, ReportsSizeAndStartOfTheProgramFile)
{
    Bytes file = bare_program() + text_bytes("tail");
    write_bytes(program, file);
    uint32_t size = 0;
    EXPECT_EQ(find_package_start(&size), 0x600u);
    EXPECT_EQ(size, file.size());
}

TEST_F(FindPackageStart, MissingProgramFileLeavesTheSizeUnreported)
{
    uint32_t size = 777;
    EXPECT_EQ(find_package_start(&size), 0u);
    EXPECT_EQ(size, 777u);
}

TEST_F(FindPackageStart, ReadsTheSectionTableWhereItReachesPastTheFirst4096Bytes)
{
    // Headers at 3800: the table starts at 4064, so only the first header
    // lies inside the first 4096 bytes; the last section is the highest.
    std::vector<Section> sections;
    for (uint32_t i = 0; i < 10; i++)
        sections.push_back({0x200, 0x2000 + i * 0x200});
    Bytes file = pe_headers(3800, sections, 0x2000 + 10 * 0x200 + 100);
    write_bytes(program, file);
    uint32_t size = 0;
    EXPECT_EQ(find_package_start(&size), 0x2000u + 10 * 0x200);
    EXPECT_EQ(size, file.size());
}

TEST_F(FindPackageStart, WalksOnlyTheHeadersAFileActuallyHolds)
{
    // 65535 sections announced in a 5000-byte file: the table is read as far
    // as the file goes and the whole headers in it are walked.
    std::vector<Section> sections;
    for (uint32_t i = 0; i < 20; i++)
        sections.push_back({0x10, 0x100 + i * 0x10});
    Bytes file = pe_headers(3800, sections, 0, 65535);
    file.resize(5000);  // behind the 20 headers: zeros, and a header cut at the end
    write_bytes(program, file);
    uint32_t size = 0;
    EXPECT_EQ(find_package_start(&size), 0x100u + 19 * 0x10 + 0x10);
    EXPECT_EQ(size, 5000u);
}

TEST_F(FindPackageStart, ShortFileWithAnnouncedTableGivesOnlyWhatWasRead)
{
    Bytes file = pe_headers(0x80, {{0x40, 0x100}, {0x40, 0x180}}, 0, 300);
    file.resize(0x80 + 264 + 40 + 10);
    write_bytes(program, file);
    uint32_t size = 0;
    EXPECT_EQ(find_package_start(&size), 0x140u);
    EXPECT_EQ(size, file.size());
}

}  // namespace
