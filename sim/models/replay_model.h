// A keyboard that plays a recording of a run (the tool's support trace)
// instead of behaving as a model: it takes the tool's reports and DFU
// requests one after the other as the recording has them, answers each with
// the recorded answer, and sends what the device sent after it (input
// reports, its arrivals and departures) with the recorded delays. At the
// first request the recording does not have next it stops and tells where.
#pragma once

#include "models/keyboard_model.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace models {

// What the device did on its own, `delay_ms` after the request before it.
struct ReplayHappening {
    enum class Kind { Input, Connect, Disconnect };
    Kind kind = Kind::Input;
    int line = 0;  // in the recording
    uint32_t delay_ms = 0;
    std::vector<uint8_t> bytes;      // Input: the report
    UsbMode mode = UsbMode::Normal;  // Connect: how it enumerates
    int nxp = -1;                    // Connect in normal mode: its version (-1: as before)
};

// A request of the tool that reached the device, and the device's answer.
struct ReplayRequest {
    enum class Kind { Report, Control };
    Kind kind = Kind::Report;
    int line = 0;
    std::vector<uint8_t> bytes;  // the report, or the data stage the tool sent
    ControlSetup setup{0, 0, 0, 0, 0};
    const char* name = "";        // the DFU request's name
    bool ok = true;               // answered (else stalled, or unanswered)
    bool unanswered = false;      // no answer: the pipe's time-out
    uint32_t moved = 0;           // bytes moved
    std::vector<uint8_t> answer;  // the data stage the device answered
    std::vector<ReplayHappening> after;
};

struct ReplayPlan {
    bool starts_attached = false;
    UsbMode start_mode = UsbMode::Normal;
    int start_nxp = 0x0352;
    std::vector<ReplayHappening> at_start;
    std::vector<ReplayRequest> requests;
};

// Where the tool left the recording: the request it sent, the one the
// recording had next (empty when it had none), and its line.
struct ReplayDivergence {
    std::string sent;
    std::string expected;
    int line = 0;
};

class ReplayModel : public KeyboardModel {
public:
    ReplayModel(const KeyboardSettings& settings, KeyboardHost host, ReplayPlan plan,
                std::function<void(const ReplayDivergence&)> diverged);

    // Sends what the device did before the tool's first request.
    void start();
    void plug(bool at_once = false) override;
    void unplug() override;
    void output_report(const uint8_t* data, size_t len) override;
    bool control(const ControlSetup& setup, uint8_t* data, uint32_t* transferred) override;

    // Requests played so far, and all there are.
    size_t played() const { return next_; }
    size_t recorded() const { return plan_.requests.size(); }

private:
    void happen(const std::vector<ReplayHappening>& list);
    void diverge(const std::string& sent);

    ReplayPlan plan_;
    std::function<void(const ReplayDivergence&)> diverged_;
    size_t next_ = 0;
};

// A request as the divergence report names it.
std::string describe_report(const uint8_t* data, size_t len);
std::string describe_control(const ControlSetup& s, const uint8_t* data);

}  // namespace models
