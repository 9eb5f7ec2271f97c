// Whole files as bytes, for the interop tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

}  // namespace interop
