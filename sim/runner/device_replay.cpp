#include "device_replay.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <sstream>

namespace runner {

namespace {

using Json = nlohmann::ordered_json;

// The overlapped write of a report reaches the device one interrupt
// transfer after the call the recording times.
const uint64_t kReportTransferMs = 1;

bool hex_bytes(const std::string& hex, std::vector<uint8_t>& out)
{
    out.clear();
    if (hex.size() % 2)
        return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        if (!isxdigit((unsigned char)hex[i]) || !isxdigit((unsigned char)hex[i + 1]))
            return false;
        out.push_back((uint8_t)std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return true;
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)std::tolower(c); });
    return s;
}

bool is_keyboard_path(const std::string& p)
{
    std::string l = lower(p);
    return l.find("hid#vid_3e71&pid_2a60") != std::string::npos ||
           l.find("hid#vid_1fc9&pid_0088") != std::string::npos;
}

bool is_usb_path(const std::string& p)
{
    return lower(p).find("usb#") != std::string::npos;
}

bool is_keyboard_attr(const Json& r)
{
    int vid = r.value("vid", 0), pid = r.value("pid", 0);
    return (vid == 0x3E71 && pid == 0x2A60) || (vid == 0x1FC9 && pid == 0x0088);
}

const char* const kUserActions[] = {"press_update", "alt_u",         "close",
                                    "restart_now",  "restart_later", "close_prompt"};

}  // namespace

bool read_device_recording(const std::string& text, DeviceRecording& out, std::string& error,
                           int removal_notice_ms)
{
    out = DeviceRecording();
    // The records in the order things happened: a removal the system told
    // `removal_notice_ms` late happened that much earlier.
    struct Line {
        int number;
        uint64_t at;
        Json r;
    };
    std::vector<Line> lines;
    {
        std::istringstream in(text);
        std::string line;
        int n = 0;
        while (std::getline(in, line)) {
            ++n;
            if (line.empty())
                continue;
            Json r = Json::parse(line, nullptr, false);
            if (r.is_discarded() || !r.is_object() || !r.contains("ev") || !r["ev"].is_string()) {
                error = "line " + std::to_string(n) + ": not a trace record";
                return false;
            }
            uint64_t t = r.value("t", (uint64_t)0);
            if (removal_notice_ms > 0 && r["ev"] == "notify" && r.value("what", "") == "removal")
                t = t > (uint64_t)removal_notice_ms ? t - removal_notice_ms : 0;
            lines.push_back({n, t, std::move(r)});
        }
    }
    std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.at < b.at; });
    int number = 0;
    uint64_t anchor_ms = 0;    // when the device took the latest request
    bool seen_notify = false;  // the state at the start is settled
    bool connected = false;    // as the recording has it
    models::UsbMode connect_mode = models::UsbMode::Normal;
    bool start_seen = false;
    std::vector<uint64_t> anchors;  // of each request
    // A normal-mode arrival still without its version: its list and place.
    std::vector<models::ReplayHappening>* waiting_list = nullptr;
    size_t waiting_at = 0;
    bool start_version_open = true;
    auto happenings = [&]() -> std::vector<models::ReplayHappening>& {
        return out.plan.requests.empty() ? out.plan.at_start : out.plan.requests.back().after;
    };
    auto add = [&](models::ReplayHappening h, uint64_t t) {
        h.delay_ms = (uint32_t)(t > anchor_ms ? t - anchor_ms : 0);
        happenings().push_back(h);
    };
    for (Line& l : lines) {
        number = l.number;
        const Json& r = l.r;
        std::string ev = r["ev"];
        uint64_t t = l.at;
        out.last_ms = std::max(out.last_ms, t);
        if (ev == "start") {
            out.args = r.value("args", std::string());
            // The program's own -trace= option is not passed on again.
            std::istringstream words(out.args);
            std::string w, kept;
            while (words >> w)
                if (w.rfind("-trace=", 0) != 0)
                    kept += (kept.empty() ? "" : " ") + w;
            out.args = kept;
            start_seen = true;
        } else if (ev == "iface" && !seen_notify) {
            std::string p = r.value("path", std::string());
            if (is_keyboard_path(p)) {
                out.plan.starts_attached = true;
                out.plan.start_mode = models::UsbMode::Normal;
                connect_mode = models::UsbMode::Normal;
                out.keyboard_identity = lower(p).find("vid_1fc9") != std::string::npos ? 2 : 1;
                connected = true;
            } else if (is_usb_path(p) && !out.plan.starts_attached) {
                out.plan.starts_attached = true;
                out.plan.start_mode = models::UsbMode::Bootloader;
                connect_mode = models::UsbMode::Bootloader;
                connected = true;
            }
            if (is_usb_path(p))
                out.bootloader_identity = lower(p).find("pid_000c") != std::string::npos ? 2 : 1;
            if (is_usb_path(p) && out.plan.start_mode == models::UsbMode::Normal && out.plan.starts_attached)
                out.runtime_dfu = true;
        } else if (ev == "hid_attr" && is_keyboard_attr(r)) {
            if (waiting_list) {
                (*waiting_list)[waiting_at].nxp = r.value("version", 0);
                waiting_list = nullptr;
            } else if (start_version_open) {
                out.plan.start_nxp = r.value("version", 0);
            }
            start_version_open = false;
        } else if (ev == "notify") {
            std::string what = r.value("what", std::string()), p = r.value("path", std::string());
            if (p == "handle")
                continue;
            seen_notify = true;
            start_version_open = false;
            if (what == "arrival" && !connected && (is_keyboard_path(p) || is_usb_path(p))) {
                models::ReplayHappening h;
                h.kind = models::ReplayHappening::Kind::Connect;
                h.line = number;
                h.mode = is_keyboard_path(p) ? models::UsbMode::Normal : models::UsbMode::Bootloader;
                if (is_usb_path(p))
                    out.bootloader_identity = lower(p).find("pid_000c") != std::string::npos ? 2 : 1;
                add(h, t);
                connect_mode = h.mode;
                waiting_list = h.mode == models::UsbMode::Normal ? &happenings() : nullptr;
                waiting_at = happenings().size() - 1;
                connected = true;
            } else if (what == "arrival" && connected && is_usb_path(p) &&
                       connect_mode == models::UsbMode::Normal) {
                out.runtime_dfu = true;  // the run-time DFU interface comes with the keyboard
            } else if (what == "removal" && connected) {
                models::ReplayHappening h;
                h.kind = models::ReplayHappening::Kind::Disconnect;
                h.line = number;
                add(h, t);
                connected = false;
            }
        } else if (ev == "kb_in") {
            models::ReplayHappening h;
            h.kind = models::ReplayHappening::Kind::Input;
            h.line = number;
            if (!hex_bytes(r.value("hex", std::string()), h.bytes)) {
                error = "line " + std::to_string(number) + ": kb_in without its bytes";
                return false;
            }
            add(h, t);
        } else if (ev == "kb_out" && r.value("ok", true)) {
            models::ReplayRequest q;
            q.kind = models::ReplayRequest::Kind::Report;
            q.line = number;
            if (!hex_bytes(r.value("hex", std::string()), q.bytes)) {
                error = "line " + std::to_string(number) + ": kb_out without its bytes";
                return false;
            }
            waiting_list = nullptr;  // the arrival's version comes before the next request
            out.plan.requests.push_back(q);
            anchor_ms = t + kReportTransferMs;
            anchors.push_back(anchor_ms);
        } else if (ev == "dfu") {
            bool ok = r.value("ok", true);
            unsigned long code = r.value("error", 0ul);
            // A request the system refused before the device saw it (the device
            // had gone) is refused in the replay too, by the bus.
            if (!ok && code != 31 && code != 121)
                continue;
            models::ReplayRequest q;
            q.kind = models::ReplayRequest::Kind::Control;
            q.line = number;
            q.setup.request_type = (uint8_t)r.value("type", 0);
            std::string name = r.value("req", std::string());
            static const char* const names[] = {"DETACH",    "DNLOAD",   "UPLOAD", "GETSTATUS",
                                                "CLRSTATUS", "GETSTATE", "ABORT"};
            q.setup.request = 0xFF;
            for (uint8_t i = 0; i < 7; i++)
                if (name == names[i])
                    q.setup.request = i;
            q.setup.value = (uint16_t)r.value("value", 0);
            q.setup.index = (uint16_t)r.value("index", 0);
            q.setup.length = (uint16_t)r.value("length", 0);
            q.ok = ok;
            q.unanswered = code == 121;
            q.moved = r.value("got", 0u);
            std::vector<uint8_t> data;
            if (!hex_bytes(r.value("hex", std::string()), data)) {
                error = "line " + std::to_string(number) + ": dfu with bad bytes";
                return false;
            }
            if (q.setup.request_type & 0x80)
                q.answer = data;
            else
                q.bytes = data;
            waiting_list = nullptr;
            out.plan.requests.push_back(q);
            anchor_ms = t;
            anchors.push_back(anchor_ms);
        } else if (ev == "cancel" && !out.plan.requests.empty() &&
                   out.plan.requests.back().kind == models::ReplayRequest::Kind::Report) {
            // The keyboard never took the report: its firmware had stopped
            // taking any. What followed the write follows the request before.
            models::ReplayRequest gone = std::move(out.plan.requests.back());
            out.plan.requests.pop_back();
            uint64_t gone_anchor = anchors.back();
            anchors.pop_back();
            anchor_ms = anchors.empty() ? 0 : anchors.back();
            waiting_list = nullptr;
            for (models::ReplayHappening h : gone.after) {
                h.delay_ms += (uint32_t)(gone_anchor - anchor_ms);
                happenings().push_back(h);
            }
            if (out.hang_after_reports < 0) {
                out.hang_after_reports = 0;
                for (const models::ReplayRequest& q : out.plan.requests)
                    out.hang_after_reports += q.kind == models::ReplayRequest::Kind::Report;
            }
        } else if (ev == "user") {
            std::string what = r.value("do", std::string());
            if (std::find(std::begin(kUserActions), std::end(kUserActions), what) != std::end(kUserActions)) {
                Event e;
                e.action = what;
                e.at = t;
                out.user_actions.push_back(e);
            }
        }
    }
    if (!start_seen) {
        error = "not a recording of the tool: no start record";
        return false;
    }
    return true;
}

void apply_recording(const DeviceRecording& rec, bool from_recording, Scenario& scenario)
{
    // The devices are the recording's: the scenario's device actions go.
    static const char* const device_actions[] = {"detach",  "attach",         "detach2",
                                                 "attach2", "keyboard_hangs", "bootloader_hangs"};
    std::vector<Event> kept;
    for (const Event& e : scenario.events)
        if (std::find(std::begin(device_actions), std::end(device_actions), e.action) ==
            std::end(device_actions))
            kept.push_back(e);
    scenario.events = kept;
    if (from_recording) {
        scenario.args = rec.args;
        scenario.events = rec.user_actions;
        scenario.until = rec.last_ms + 60000;
    }
    scenario.has_keyboard = true;
    scenario.has_keyboard2 = false;
    scenario.keyboard.attached = rec.plan.starts_attached;
    scenario.keyboard.bootloader_mode = rec.plan.start_mode == models::UsbMode::Bootloader;
    scenario.keyboard.identity = rec.keyboard_identity;
    scenario.keyboard.nxp = rec.plan.start_nxp;
    scenario.keyboard.runtime_dfu = rec.runtime_dfu;
    scenario.keyboard.hang_after_reports = rec.hang_after_reports;
    scenario.keyboard.bootloader.identity = rec.bootloader_identity;
}

}  // namespace runner
