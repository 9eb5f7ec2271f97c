// The campaign's generator: scenarios drawn from the whole fault space. Each
// drawn scenario belongs to one fault family (the column of the coverage
// table it counts in) and says whether success is due: a conformant
// keyboard and boot loader within the documented envelope, a valid package
// that is newer than the keyboard, a user who answers in time (or silent
// mode) and nothing injected. A due scenario must end verified.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace runner {

// splitmix64: the same draws on every machine.
struct Rng {
    uint64_t s;
    uint64_t next()
    {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return n <= 0 ? 0 : (int)(next() % (uint64_t)n); }
    bool chance(int percent) { return below(100) < percent; }
    template <typename T>
    const T& pick(const std::vector<T>& v)
    {
        return v[(size_t)below((int)v.size())];
    }
};

// A packaged program the campaign makes from the sample: INI lines
// replaced, the INI text's line ends changed, or another USB image.
struct Variant {
    const char* name;
    std::vector<std::pair<const char*, const char*>> ini;  // line as in the sample, replacement
    bool crlf = false;                                     // the INI text's lines end with CR LF
    // The USB image: "" the sample's; "empty", "1", "63" bytes; "odd" (the
    // sample's and 37 bytes more), "suffix" (the sample's with a valid DFU
    // file suffix), "too_big" (more than the boot loader's flash).
    const char* usb = "";
    bool valid = true;  // a conformant keyboard can be updated with it
};
const std::vector<Variant>& variants();

// The fault families, in the coverage table's order; "none" holds the
// scenarios without an injected fault.
const std::vector<std::string>& families();

struct Drawn {
    nlohmann::ordered_json scenario;
    size_t variant = 0;
    std::string family;
    bool due = false;  // success is due: the run must end verified
    // Device rules the tool may break here without fault: the package and
    // the device do not fit, which the tool cannot know beforehand.
    std::vector<std::string> tolerated;
};

Drawn draw_scenario(Rng& r);

}  // namespace runner
