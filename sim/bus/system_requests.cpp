// The system's power and session requests (see system_requests.h).
#include "bus/system_requests.h"

#include <memory>

namespace simbus {

namespace {

// WM_POWERBROADCAST `event` to every top-level window; once all have
// answered, `done` hears whether one denied.
void power_broadcast(BusHost& host, WPARAM event, std::function<void(bool denied)> done = nullptr)
{
    std::vector<HWND> wins = host.top_level_windows();
    if (wins.empty()) {
        if (done)
            done(false);
        return;
    }
    auto pending = std::make_shared<size_t>(wins.size());
    auto denied = std::make_shared<bool>(false);
    for (HWND h : wins) {
        host.send_message(h, WM_POWERBROADCAST, event, 0, [pending, denied, done](LRESULT r) {
            if (r == BROADCAST_QUERY_DENY)
                *denied = true;
            if (--*pending == 0 && done)
                done(*denied);
        });
    }
}

void suspend(BusHost& host)
{
    host.locked([&] { host.suspended() = true; });
    power_broadcast(host, PBT_APMSUSPEND);
}

// WM_ENDSESSION(TRUE) to every window; once all have returned, the system
// ends the process, whatever its threads are doing.
void session_ends(BusHost& host, std::shared_ptr<std::vector<HWND>> wins, LPARAM flags)
{
    BusHost* h = &host;
    auto ended = [h] {
        h->trace("power", {text_field("what", "session_ended")});
        h->end_process();
    };
    if (wins->empty()) {
        ended();
        return;
    }
    auto pending = std::make_shared<size_t>(wins->size());
    for (HWND w : *wins) {
        host.send_message(w, WM_ENDSESSION, TRUE, flags, [pending, ended](LRESULT) {
            if (--*pending == 0)
                ended();
        });
    }
}

// Asks window `next` whether the session may end, then the one after it.
void query_end_session(BusHost& host, std::shared_ptr<std::vector<HWND>> wins, size_t next, LPARAM flags)
{
    if (next == wins->size()) {
        session_ends(host, wins, flags);
        return;
    }
    BusHost* h = &host;
    HWND w = (*wins)[next];
    host.send_message(w, WM_QUERYENDSESSION, 0, flags, [h, wins, next, flags, w](LRESULT answer) {
        if (answer == FALSE && !(flags & ENDSESSION_CRITICAL)) {
            h->trace("power",
                     {text_field("what", "end_session_refused"), text_field("reason", h->block_reason(w))});
            for (size_t k = 0; k < next; k++)
                h->send_message((*wins)[k], WM_ENDSESSION, FALSE, flags, nullptr);
            return;
        }
        query_end_session(*h, wins, next + 1, flags);
    });
}

}  // namespace

void power_request(BusHost& host, const std::string& what)
{
    BusHost* h = &host;
    if (what == "suspend") {
        power_broadcast(host, PBT_APMQUERYSUSPEND, [h](bool denied) {
            if (!denied)
                suspend(*h);
        });
    } else if (what == "sleep") {
        bool awake = false;
        host.locked([&] { awake = host.kept_awake(); });
        if (awake) {
            host.trace("power", {text_field("what", "sleep_refused")});
            return;
        }
        suspend(host);
    } else if (what == "force_suspend") {
        suspend(host);
    } else if (what == "resume") {
        bool was = false;
        host.locked([&] {
            was = host.suspended();
            host.suspended() = false;
        });
        if (!was)
            return;
        power_broadcast(host, PBT_APMRESUMEAUTOMATIC);
        power_broadcast(host, PBT_APMRESUMESUSPEND);
    }
}

void end_session(BusHost& host, bool critical)
{
    auto wins = std::make_shared<std::vector<HWND>>(host.top_level_windows());
    query_end_session(host, wins, 0, critical ? ENDSESSION_CRITICAL : 0);
}

}  // namespace simbus
