// get_program_dir over the path the platform gives for the program file,
// including paths too long for its buffers.
#include "app/app.h"
#include "host/sim_core.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Guarded {
    char dir[PROGRAM_DIR_SIZE];
    char guard[32];
};

DWORD program_dir_for(const std::string& program_path, Guarded* g)
{
    sim::WorldConfig c = sim::config();
    c.program_path = program_path;
    sim::configure(c);
    memset(g, 0x5A, sizeof(*g));
    return get_program_dir(g->dir);
}

void expect_guard_intact(const Guarded& g)
{
    for (char c : g.guard)
        ASSERT_EQ(c, 0x5A);
}

}  // namespace

TEST(GetProgramDir, ReturnsThePathLengthAndTheDirectory)
{
    Guarded g;
    EXPECT_EQ(program_dir_for("C:\\Tessel\\tessel-updater.exe", &g), 28u);
    EXPECT_STREQ(g.dir, "C:\\Tessel\\");
    expect_guard_intact(g);
}

TEST(GetProgramDir, LongPathsUpTo299CharactersWork)
{
    Guarded g;
    // 299 characters with a short directory: usable.
    std::string path = "C:\\T\\" + std::string(294, 'n');
    ASSERT_EQ(path.size(), 299u);
    EXPECT_EQ(program_dir_for(path, &g), 299u);
    EXPECT_STREQ(g.dir, "C:\\T\\");
    expect_guard_intact(g);
    // A directory of 255 characters still fits the 256-byte buffer.
    path = "C:\\" + std::string(251, 'd') + "\\x.exe";
    EXPECT_EQ(program_dir_for(path, &g), (DWORD)path.size());
    EXPECT_EQ(strlen(g.dir), 255u);
    expect_guard_intact(g);
}

TEST(GetProgramDir, PathsThatDoNotFitAreUnusableWithoutOverflow)
{
    Guarded g;
    // 300 characters: the platform cuts it, so the directory is unknown.
    std::string path = "C:\\T\\" + std::string(295, 'n');
    ASSERT_EQ(path.size(), 300u);
    EXPECT_EQ(program_dir_for(path, &g), PROGRAM_PATH_UNUSABLE);
    EXPECT_STREQ(g.dir, "");
    expect_guard_intact(g);
    // A directory of 256 characters does not fit the buffer.
    path = "C:\\" + std::string(252, 'd') + "\\x.exe";
    EXPECT_EQ(program_dir_for(path, &g), PROGRAM_PATH_UNUSABLE);
    EXPECT_STREQ(g.dir, "");
    expect_guard_intact(g);
}
