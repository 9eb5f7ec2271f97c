// What every fuzz target shares: a scratch folder that stands for the
// program's directory, the world configured once for the whole process
// (the functions the targets call work outside a run, as in the unit tests),
// and a check that stops the fuzzer on a broken promise of the code under
// test.
#pragma once

#include "../common/temp_folder.h"
#include "host/sim_core.h"

#include <cstdint>
#include <cstdio>
#undef fopen
#include <cstdlib>
#include <string>

// A broken promise is a finding like a crash: it names itself and aborts.
#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            std::fprintf(stderr, "%s:%d: promise broken: %s\n", __FILE__, __LINE__, #cond);                  \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

namespace fuzzworld {

// The folder goes when the fuzzer ends normally.
inline const std::string& scratch_dir()
{
    static testing_support::TempFolder folder("tessel-fuzz");
    return folder.path();
}

inline std::string program_file()
{
    return scratch_dir() + "/tessel-updater.exe";
}

// Configures the world around the scratch folder that stands for the
// program's directory.
inline void setup()
{
    sim::WorldConfig cfg;
    cfg.program_path = "C:\\Tessel\\tessel-updater.exe";
    cfg.program_file = program_file();
    cfg.program_dir = scratch_dir();
    // Waits outside a run move the virtual clock; it must never reach the limit.
    cfg.until_ms = UINT64_MAX / 4;
    sim::configure(cfg);
}

// Hands the tool `size` bytes as its whole program file, served from memory
// (no disk write per input); the bytes must stay until the next call.
inline void use_program(const uint8_t* data, size_t size)
{
    sim::set_program_bytes(data, size);
}

}  // namespace fuzzworld
