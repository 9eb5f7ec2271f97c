// Runs one simulated world in a child process (the world is process-wide and
// a run happens once per process) and brings back what the child saw.
#pragma once

#include "platform/host/sim_core.h"

#include <functional>
#include <string>
#include <vector>

namespace standin {

using Json = sim::Json;

struct ChildRun {
    int status = -1;          // the child's exit status; 0 when it reported back
    int code = -1;            // what run_function returned
    bool timed_out = false;
    uint64_t end_ms = 0;      // virtual time at the end of the run
    std::vector<Json> trace;  // every trace record of the run
    Json out;                 // what the UI function and `after` stored
    double real_ms = 0;       // wall-clock time of the whole child

    std::vector<Json> events(const std::string& ev) const;
};

// `ui` runs as the simulated UI thread and may store findings in `out`;
// `after` runs on the test's thread once the run is over (inspection).
// `before` runs on the test's thread before the run starts. The child is
// killed after `limit_s` real seconds.
ChildRun run_world(const std::function<int(Json& out)>& ui, sim::WorldConfig config = sim::WorldConfig(),
                   const std::function<void(Json& out)>& after = nullptr, unsigned limit_s = 20,
                   const std::function<void()>& before = nullptr);

// A window class whose procedure records what it receives in `messages` of
// the child (see register_recorder).
struct Recorded {
    HWND hwnd;
    UINT msg;
    WPARAM wp;
    LPARAM lp;
    DWORD thread;
    uint64_t t;
};
extern std::vector<Recorded> g_recorded;
extern std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)> g_recorder_hook;  // optional answer
// Registers class `name` with the recording procedure.
void register_recorder(const char* name);
// Runs a message loop (GetMessageA/IsDialogMessageA/DispatchMessageA) until
// WM_QUIT; returns the quit code.
int message_loop(HWND dialog_main = nullptr, HWND* dialog_other = nullptr);

}  // namespace standin
