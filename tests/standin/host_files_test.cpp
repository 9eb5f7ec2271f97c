// The stand-in's files, on which the package code reads its own program
// file: path mapping, share modes, dispositions, pointers and sizes.
#include "unit/package/package_fixture.h"

#include <sys/stat.h>

using namespace pkgtest;

namespace {

class HostFiles : public PackageTest {
protected:
    HANDLE open(const char* path, DWORD access, DWORD share, DWORD disposition)
    {
        return CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
};

TEST_F(HostFiles, PathMapping)
{
    EXPECT_EQ(sim::map_path("C:\\Tessel\\tessel-updater.exe"), program);
    EXPECT_EQ(sim::map_path("c:\\TESSEL\\Tessel-Updater.EXE"), program) << "case-insensitive";
    EXPECT_EQ(sim::map_path("C:/Tessel/tessel-updater.exe"), program);
    EXPECT_EQ(sim::map_path("C:\\Tessel\\LogfileKarstDFU.txt"), dir + "/LogfileKarstDFU.txt");
    EXPECT_EQ(sim::map_path("C:\\Tessel\\sub\\..\\readme.mht"), dir + "/readme.mht");
    EXPECT_EQ(sim::map_path("readme.mht"), dir + "/readme.mht") << "relative to the program's directory";
    EXPECT_EQ(sim::map_path(".\\readme.mht"), dir + "/readme.mht");
    EXPECT_EQ(sim::map_path("\\Tessel\\readme.mht"), dir + "/readme.mht") << "rooted on the program's drive";
    EXPECT_EQ(sim::map_path("C:readme.mht"), dir + "/readme.mht");
    EXPECT_EQ(sim::map_path("C:\\Tessel\\"), "") << "the directory itself is no file";
    EXPECT_EQ(sim::map_path("C:\\Tessel"), "");
    EXPECT_EQ(sim::map_path("C:\\Tesselx\\readme.mht"), "");
    EXPECT_EQ(sim::map_path("D:\\Tessel\\readme.mht"), "");
    EXPECT_EQ(sim::map_path("C:\\Windows\\notepad.exe"), "");
    EXPECT_EQ(sim::map_path("..\\secret.txt"), "") << "cannot climb out of the program's directory";
    EXPECT_EQ(sim::map_path("\\\\server\\share\\x"), "");
    EXPECT_EQ(sim::map_path("\\\\?\\hid#vid_3e71"), "") << "device paths are no files";
    EXPECT_EQ(sim::map_path(""), "");
    EXPECT_EQ(sim::map_path(nullptr), "");

    // An existing file is found under any case of its name.
    write_bytes(dir + "/ReadMe.MHT", text_bytes("x"));
    EXPECT_EQ(sim::map_path("C:\\Tessel\\readme.mht"), dir + "/ReadMe.MHT");
}

TEST_F(HostFiles, UnmappedPathsFailWithFileOrPathNotFound)
{
    SetLastError(0);
    EXPECT_EQ(open("C:\\other.txt", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(open("C:\\Program Files\\x.txt", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open("C:\\Tessel\\missing.txt", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(open("C:\\Tessel\\nodir\\missing.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    mkdir((dir + "/folder").c_str(), 0755);
    EXPECT_EQ(open("C:\\Tessel\\folder", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(HostFiles, Dispositions)
{
    const char* log = "C:\\Tessel\\LogfileKarstDFU.txt";
    std::string host = dir + "/LogfileKarstDFU.txt";
    DWORD n = 0;

    HANDLE h = open(log, GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_TRUE(WriteFile(h, "abcdef", 6, &n, nullptr));
    EXPECT_EQ(n, 6u);
    CloseHandle(h);

    EXPECT_EQ(open(log, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));

    h = open(log, GENERIC_WRITE, 0, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), 6u);
    EXPECT_TRUE(WriteFile(h, "gh", 2, &n, nullptr));
    CloseHandle(h);
    EXPECT_EQ(read_bytes(host), text_bytes("abcdefgh")) << "OPEN_ALWAYS keeps the content";

    h = open(log, GENERIC_WRITE, 0, TRUNCATE_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(h, nullptr), 0u);
    EXPECT_TRUE(WriteFile(h, "1", 1, &n, nullptr));
    CloseHandle(h);

    EXPECT_EQ(open(log, GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE) << "needs write access";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(read_bytes(host), text_bytes("1"));

    h = open(log, GENERIC_READ, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileSize(h, nullptr), 0u) << "CREATE_ALWAYS truncates";
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr)) << "opened for reading only";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    CloseHandle(h);

    unlink(host.c_str());
    EXPECT_EQ(open(log, GENERIC_READ, 0, TRUNCATE_EXISTING + 1), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open(log, GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(open(log, GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(file_exists(host));
    h = open(log, GENERIC_WRITE, 0, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    CloseHandle(h);
    EXPECT_TRUE(file_exists(host));
}

TEST_F(HostFiles, ShareModesBetweenOpenHandles)
{
    write_bytes(program, bare_program());
    const char* path = "C:\\Tessel\\tessel-updater.exe";

    // The tool reads its own file with read sharing: more readers may join...
    HANDLE a = open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    HANDLE b = open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    // ...and the C runtime's stream, which shares everything, too.
    FILE* f = host_fopen(path, "rb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    // A writer is refused while they are open; so is a reader that does not
    // share reading with them.
    EXPECT_EQ(open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(open(path, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(host_fopen(path, "r+b"), nullptr);
    CloseHandle(a);
    CloseHandle(b);

    // The result log is held without sharing: nobody else gets in, and a
    // refused CREATE_ALWAYS does not truncate it.
    const char* log = "C:\\Tessel\\LogfileKarstDFU.txt";
    HANDLE w = open(log, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    DWORD n;
    WriteFile(w, "line\r\n", 6, &n, nullptr);
    EXPECT_EQ(open(log, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(open(log, GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(host_fopen(log, "rb"), nullptr);
    // Another name for the same file is the same file.
    EXPECT_EQ(open("logfilekarstdfu.TXT", GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    CloseHandle(w);
    EXPECT_EQ(read_bytes(dir + "/LogfileKarstDFU.txt"), text_bytes("line\r\n"));

    // Writers that share writing with each other.
    HANDLE x = open(log, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING);
    HANDLE y = open(log, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING);
    EXPECT_NE(x, INVALID_HANDLE_VALUE);
    EXPECT_NE(y, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(log, GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE)
        << "they do not share reading";
    CloseHandle(x);
    CloseHandle(y);
    HANDLE z = open(log, GENERIC_READ, 0, OPEN_EXISTING);
    EXPECT_NE(z, INVALID_HANDLE_VALUE) << "all closed: exclusive open works";
    CloseHandle(z);
}

TEST_F(HostFiles, ReadPointerAndSize)
{
    Bytes content = pattern(10000, 5);
    write_bytes(program, content);
    HANDLE h = open("C:\\Tessel\\tessel-updater.exe", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(h, nullptr), 10000u);
    DWORD high = 99;
    EXPECT_EQ(GetFileSize(h, &high), 10000u);
    EXPECT_EQ(high, 0u);

    uint8_t buf[64];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(h, buf, 10, &got, nullptr));
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(memcmp(buf, content.data(), 10), 0);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 10u);
    EXPECT_EQ(SetFilePointer(h, 100, nullptr, FILE_CURRENT), 110u);
    EXPECT_TRUE(ReadFile(h, buf, 1, &got, nullptr));
    EXPECT_EQ(buf[0], content[110]);
    EXPECT_EQ(SetFilePointer(h, -16, nullptr, FILE_END), 9984u);
    EXPECT_TRUE(ReadFile(h, buf, 64, &got, nullptr));
    EXPECT_EQ(got, 16u) << "a read at the end is short, not failed";
    EXPECT_EQ(memcmp(buf, content.data() + 9984, 16), 0);
    EXPECT_TRUE(ReadFile(h, buf, 64, &got, nullptr));
    EXPECT_EQ(got, 0u);

    SetLastError(0);
    EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 10000u) << "a failed seek does not move";
    EXPECT_EQ(SetFilePointer(h, 20000, nullptr, FILE_BEGIN), 20000u) << "beyond the end is allowed";
    EXPECT_TRUE(ReadFile(h, buf, 4, &got, nullptr));
    EXPECT_EQ(got, 0u);
    LONG hi = 1;
    EXPECT_EQ(SetFilePointer(h, 5, &hi, FILE_BEGIN), 5u);
    EXPECT_EQ(hi, 1);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER)
        << "the position no longer fits 32 bits";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WriteFile(h, "x", 1, &got, nullptr)) << "opened for reading only";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(h));

    EXPECT_FALSE(ReadFile(h, buf, 1, &got, nullptr)) << "closed";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
}

TEST_F(HostFiles, ModuleFileNameIsCutLikeWindows)
{
    char buf[64];
    memset(buf, 'z', sizeof buf);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buf, sizeof buf), 28u);
    EXPECT_STREQ(buf, "C:\\Tessel\\tessel-updater.exe");
    memset(buf, 'z', sizeof buf);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buf, 10), 10u);
    EXPECT_STREQ(buf, "C:\\Tessel");
    EXPECT_EQ(buf[10], 'z');
    EXPECT_EQ(GetModuleFileNameA(nullptr, buf, 28), 28u) << "no room for the NUL";
    EXPECT_EQ(strlen(buf), 27u);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buf, 29), 28u);
    EXPECT_STREQ(buf, "C:\\Tessel\\tessel-updater.exe");
}

TEST_F(HostFiles, RuntimeStreamsFollowTheSameMapping)
{
    FILE* f = host_fopen("C:\\Tessel\\notes.txt", "wb");
    ASSERT_NE(f, nullptr);
    fputs("hello", f);
    fclose(f);
    EXPECT_EQ(read_bytes(dir + "/notes.txt"), text_bytes("hello"));
    EXPECT_EQ(host_fopen("C:\\Elsewhere\\notes.txt", "rb"), nullptr);
    EXPECT_EQ(host_fopen("\\\\.\\COM1", "rb"), nullptr);
}

}  // namespace
