// tessel-sim's scenario reader over hostile JSON text: it answers every
// input with a scenario or a one-line message, and whatever it accepts lies
// inside the ranges the runner relies on.
#include "fuzz_world.h"

#include "scenario/scenario.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text((const char*)data, size);
    runner::Scenario s;
    std::string error;
    if (!runner::parse_scenario(text, s, error)) {
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(error.find('\n') == std::string::npos);
        return 0;
    }
    FUZZ_CHECK(s.program_path.size() >= 4 && s.program_path[1] == ':');
    FUZZ_CHECK(s.month >= 1 && s.month <= 12 && s.day >= 1 && s.day <= 31);
    FUZZ_CHECK(s.until <= UINT64_MAX / 2);
    if (s.has_keyboard) {
        FUZZ_CHECK(s.keyboard.identity == 1 || s.keyboard.identity == 2);
        FUZZ_CHECK(s.keyboard.bootloader.identity == 1 || s.keyboard.bootloader.identity == 2);
    }
    for (const runner::Event& e : s.events) {
        FUZZ_CHECK(!e.action.empty());
        FUZZ_CHECK(e.at.has_value() || !e.on.empty());
    }
    return 0;
}
