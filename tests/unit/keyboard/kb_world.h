// Helpers of the keyboard tests that run in the simulated world: the shared
// world helpers (tests/common/world_test.h) and the keyboard's report texts.
#pragma once

#include "common/world_test.h"
#include "keyboard/kb.h"
#include "package/ini.h"
#include "package/package.h"

#include <initializer_list>
#include <string>
#include <vector>

namespace kbtest {

using namespace worldtest;

inline std::string hex_of(const uint8_t* p, size_t n)
{
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

// 57-byte report given its leading bytes (the rest zero), as upper-case hex.
inline std::string report_hex(std::initializer_list<uint8_t> head)
{
    uint8_t r[KB_OUT_REPORT_SIZE] = {};
    size_t i = 0;
    for (uint8_t b : head)
        r[i++] = b;
    return hex_of(r, sizeof(r));
}

// The output reports the keyboard received, as upper-case hex.
inline std::vector<std::string> kb_out_hex()
{
    return trace().values<std::string>("kb_out", "hex");
}

}  // namespace kbtest
