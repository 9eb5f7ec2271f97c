// Whole files as bytes and the output of outside tools, for the interop tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace interop {

using Bytes = std::vector<uint8_t>;

inline Bytes read_file(const std::string& path)
{
    Bytes b;
    FILE* f = ::fopen(path.c_str(), "rb");
    if (!f)
        return b;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        b.insert(b.end(), chunk, chunk + n);
    fclose(f);
    return b;
}

inline void write_file(const std::string& path, const Bytes& b)
{
    FILE* f = ::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(b.data(), 1, b.size(), f);
    fclose(f);
}

inline bool exists(const std::string& path)
{
    return access(path.c_str(), R_OK) == 0;
}

// What a shell command writes to its standard output; its exit status in
// *status (-1 when it did not exit).
inline std::string capture(const std::string& cmd, int* status)
{
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int rc = pclose(p);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

}  // namespace interop
