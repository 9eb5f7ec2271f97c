// Starts an entry point (the tool's WinMain, handed in by the runner or a
// test) in the simulated world, with the process's command line.
#include "host/sim_core.h"

#include <string>
#include <vector>

namespace {

// Set before the entry point runs and only read afterwards.
std::string g_command_line;

}  // namespace

LPSTR GetCommandLineA()
{
    if (g_command_line.empty())
        g_command_line = "\"" + sim::config().program_path + "\"";
    return g_command_line.data();
}

namespace sim {

int run_entry(const std::string& args, EntryFn entry)
{
    g_command_line = "\"" + config().program_path + "\" " + args;
    return run_function([args, entry] {
        // The entry point may write into its command line, as on the platform.
        std::vector<char> line(args.begin(), args.end());
        line.push_back('\0');
        HINSTANCE instance = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000));
        return entry(instance, nullptr, line.data(), SW_SHOWNORMAL);
    });
}

}  // namespace sim
