#include "models/replay_model.h"

#include <cstdio>
#include <cstring>

namespace models {

namespace {

std::string hex_of(const uint8_t* data, size_t len)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < len; i++) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

const char* request_name(uint8_t request)
{
    static const char* const names[] = {"DETACH",    "DNLOAD",   "UPLOAD", "GETSTATUS",
                                        "CLRSTATUS", "GETSTATE", "ABORT"};
    return request < 7 ? names[request] : "OTHER";
}

std::string describe(const ReplayRequest& r)
{
    if (r.kind == ReplayRequest::Kind::Report)
        return describe_report(r.bytes.data(), r.bytes.size());
    return describe_control(r.setup, r.bytes.empty() ? nullptr : r.bytes.data());
}

}  // namespace

std::string describe_report(const uint8_t* data, size_t len)
{
    return "kb_out " + hex_of(data, len);
}

std::string describe_control(const ControlSetup& s, const uint8_t* data)
{
    char head[128];
    snprintf(head, sizeof head, "dfu %s type=%u value=%u index=%u length=%u", request_name(s.request),
             (unsigned)s.request_type, (unsigned)s.value, (unsigned)s.index, (unsigned)s.length);
    std::string out = head;
    if (data && !(s.request_type & 0x80) && s.length)
        out += " data=" + hex_of(data, s.length);
    return out;
}

ReplayModel::ReplayModel(const KeyboardSettings& settings, KeyboardHost host, ReplayPlan plan,
                         std::function<void(const ReplayDivergence&)> diverged)
    : KeyboardModel(settings, std::move(host)), plan_(std::move(plan)), diverged_(std::move(diverged))
{
    nxp_ = plan_.start_nxp;
}

void ReplayModel::start()
{
    happen(plan_.at_start);
}

void ReplayModel::plug(bool)
{
    // Only the state at the start: the recording brings every later arrival.
    if (on_bus_ || !plan_.starts_attached)
        return;
    powered_ = true;
    mode_ = plan_.start_mode;
    on_bus_ = true;
    host_.connect(mode_);
}

void ReplayModel::unplug()
{
    if (!on_bus_)
        return;
    on_bus_ = false;
    host_.disconnect();
}

void ReplayModel::happen(const std::vector<ReplayHappening>& list)
{
    for (const ReplayHappening& h : list) {
        ReplayHappening copy = h;
        host_.after(h.delay_ms, [this, copy] {
            switch (copy.kind) {
            case ReplayHappening::Kind::Input:
                if (on_bus_)
                    host_.send_input(copy.bytes.data(), copy.bytes.size());
                break;
            case ReplayHappening::Kind::Connect:
                if (on_bus_)
                    break;
                mode_ = copy.mode;
                if (copy.nxp >= 0)
                    nxp_ = copy.nxp;
                on_bus_ = true;
                host_.connect(mode_);
                break;
            case ReplayHappening::Kind::Disconnect: unplug(); break;
            }
        });
    }
}

void ReplayModel::diverge(const std::string& sent)
{
    ReplayDivergence d;
    d.sent = sent;
    if (next_ < plan_.requests.size()) {
        d.expected = describe(plan_.requests[next_]);
        d.line = plan_.requests[next_].line;
    }
    if (diverged_)
        diverged_(d);
}

void ReplayModel::output_report(const uint8_t* data, size_t len)
{
    ++reports_;
    if (next_ >= plan_.requests.size() || plan_.requests[next_].kind != ReplayRequest::Kind::Report ||
        plan_.requests[next_].bytes != std::vector<uint8_t>(data, data + len)) {
        diverge(describe_report(data, len));
        return;
    }
    happen(plan_.requests[next_++].after);
}

bool ReplayModel::control(const ControlSetup& s, uint8_t* data, uint32_t* transferred)
{
    dfu_unanswered_ = false;
    bool out_data = !(s.request_type & 0x80) && s.length && data;
    std::vector<uint8_t> sent =
        out_data ? std::vector<uint8_t>(data, data + s.length) : std::vector<uint8_t>();
    const ReplayRequest* r = next_ < plan_.requests.size() ? &plan_.requests[next_] : nullptr;
    if (!r || r->kind != ReplayRequest::Kind::Control || r->setup.request_type != s.request_type ||
        r->setup.request != s.request || r->setup.value != s.value || r->setup.index != s.index ||
        r->setup.length != s.length || (out_data && r->bytes != sent)) {
        diverge(describe_control(s, data));
        return false;
    }
    ++next_;
    if (host_.dfu_request)
        host_.dfu_request(request_name(s.request), s.value, s.length, r->ok);
    happen(r->after);
    if (!r->ok) {
        dfu_unanswered_ = r->unanswered;
        return false;
    }
    if ((s.request_type & 0x80) && data)
        memcpy(data, r->answer.data(), r->answer.size() < s.length ? r->answer.size() : s.length);
    if (transferred)
        *transferred = r->moved;
    return true;
}

}  // namespace models
