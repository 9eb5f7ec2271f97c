// The output of outside tools, for the interop tests; files as bytes come
// from the package tests' helpers (pkgtest::read_bytes, write_bytes,
// file_exists).
#pragma once

#include "unit/package/package_fixture.h"

#include <cstdio>
#include <string>

#include <sys/wait.h>

namespace interop {

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
