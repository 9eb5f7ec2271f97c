// tessel-sim --device-replay: a recording of the tool's support trace
// (-trace=FILE, or tessel-sim --record) read as the devices' part of a run,
// and the world around it (the user's actions, the keyboard as it was).
#pragma once

#include "models/replay_model.h"
#include "scenario/scenario.h"

#include <string>

namespace runner {

struct DeviceRecording {
    models::ReplayPlan plan;
    std::string args;                 // the tool's command line after its name
    std::vector<Event> user_actions;  // at the recorded times
    uint64_t last_ms = 0;             // the recording's last time
    int keyboard_identity = 1;        // 1: 3E71:2A60, 2: 1FC9:0088
    int bootloader_identity = 1;      // the package's first or second DFU pair
    bool runtime_dfu = false;         // its normal firmware has the run-time DFU interface
    int hang_after_reports = -1;      // its firmware took no report after this many (-1: took all)
};

// Reads the recording; false with a message naming the line when it is not
// one. Removals the system told `removal_notice_ms` late happened that much earlier.
bool read_device_recording(const std::string& text, DeviceRecording& out, std::string& error,
                           int removal_notice_ms = 0);

// The scenario to replay in: `scenario` (the user's actions and the world
// from it, the devices from the recording) or, when `from_recording`, the
// recording's command line and user actions.
void apply_recording(const DeviceRecording& rec, bool from_recording, Scenario& scenario);

}  // namespace runner
