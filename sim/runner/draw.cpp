#include "draw.h"

#include <algorithm>
#include <functional>

namespace runner {

using json = nlohmann::ordered_json;

const std::vector<Variant>& variants()
{
    // The first six keep the numbers older break reports name.
    static const std::vector<Variant> v = {
        {"sample", {}},
        {"transfer-32", {{"INI_DFU_TRANSFER_SIZE=64", "INI_DFU_TRANSFER_SIZE=32"}}},
        {"transfer-1024", {{"INI_DFU_TRANSFER_SIZE=64", "INI_DFU_TRANSFER_SIZE=1024"}}},
        {"detach-delay", {{"INI_DFU_DETACH_DELAY=0", "INI_DFU_DETACH_DELAY=2000"}}},
        {"downgrade-allowed", {{"INI_ALLOW_DOWNGRADE=0", "INI_ALLOW_DOWNGRADE=1"}}},
        // Names a version the sample's USB image does not carry.
        {"nxp-0352", {{"INI_VER_NXP=0353", "INI_VER_NXP=0352"}}, false, "", false},
        {"crlf", {}, true},
        {"usb-suffix", {}, false, "suffix"},
        {"usb-odd", {}, false, "odd"},
        // The other family's version with the sample's A2 image: no keyboard
        // can end with the versions this package names.
        {"bt-other-family", {{"INI_VER_BT=A23F", "INI_VER_BT=0120"}}, false, "", false},
        {"usb-empty", {}, false, "empty", false},
        {"usb-1", {}, false, "1", false},
        {"usb-63", {}, false, "63", false},
        {"usb-too-big", {}, false, "too_big", false},
    };
    return v;
}

const std::vector<std::string>& families()
{
    static const std::vector<std::string> f = {"none",    "keyboard", "bootloader", "user",  "system",
                                               "package", "setting",  "files",      "second"};
    return f;
}

namespace {

json event_at(uint64_t at, const std::string& what)
{
    return {{"at", at}, {"do", what}};
}
json event_on(const std::string& on, uint64_t after, const std::string& what)
{
    return {{"on", on}, {"after", after}, {"do", what}};
}

// What the keyboard must know of a variant's package.
struct PackageView {
    int nxp = 0x0353, bt = 0xA23F, transfer = 64;
    bool downgrade = false, detach_delay = false;
};
PackageView view_of(const Variant& v)
{
    PackageView p;
    std::string n = v.name;
    if (n == "nxp-0352")
        p.nxp = 0x0352;
    if (n == "bt-other-family")
        p.bt = 0x0120;
    if (n == "transfer-32")
        p.transfer = 32;
    if (n == "transfer-1024")
        p.transfer = 1024;
    p.downgrade = n == "downgrade-allowed";
    p.detach_delay = n == "detach-delay";
    return p;
}

bool a2_family(int bt)
{
    return bt == 0x011E || (bt & 0xFF00) == 0xA200;
}

// The log lines that open each stage of a run, for actions aimed at its
// first milliseconds.
// (The tool's own texts and numbers, the same in every language, and the
// English messages.)
const std::vector<std::string> kStageLines = {
    "log: OK.",
    "log:DFU DETACH ...",
    "log:DFU DOWNLOAD ...",
    "log: 20",
    "log: 10",
    "log: 1",
    "log:Current version:",
    "log:Updating Bluetooth firmware",
    "log:Matching Bluetooth",
    "log:Updating USB firmware",
    "log:update completed",
    "log:update fail",
    "log:Please try again",
};

// A scenario in which success is due: a conformant keyboard and boot
// loader, answers within the documented envelope, a user who does what the
// tool asks in time.
json due_base(Rng& r, const PackageView& p, bool silent, uint64_t& until)
{
    json s = json::object();
    s["args"] = silent ? std::string("-silent")
                       : r.pick(std::vector<std::string>{"", "", "-lang=1", "-lang=6", "-lang=29"});
    std::vector<std::pair<int, int>> locales = {
        {1033, 1033}, {1036, 1036}, {2052, 2052}, {1041, 1041}, {1037, 1037}};
    auto loc = r.pick(locales);
    s["locale"] = {{"langid", loc.first}, {"lcid", loc.second}};

    json k = json::object();
    k["identity"] = 1 + r.below(2);
    std::vector<int> older = {p.nxp - 1, 0x0300, 0x0100, 0x1000 + p.nxp - 1, 0};
    if (p.downgrade)
        older.insert(older.end(), {p.nxp, p.nxp + 1});
    k["nxp"] = r.pick(older);
    k["bt"] = a2_family(p.bt) ? r.pick(std::vector<int>{0xA23F, 0xA23F, 0xA200, 0x011E, 0xA240})
                              : r.pick(std::vector<int>{0x0120, 0x5501, 0x0100});
    k["sonix"] = r.below(256);
    // With a detach delay configured the tool switches the keyboard by
    // DFU_DETACH to its firmware's run-time DFU interface, which it looks
    // for at once: only a keyboard that offers one can be updated so.
    if (p.detach_delay)
        k["runtime_dfu"] = true;
    json b = json::object();
    b["identity"] = 1 + r.below(2);
    int blocks = (40960 + p.transfer - 1) / p.transfer;
    const int kSlow = -1;
    int poll = r.pick(std::vector<int>{0, 1, 5, 5, 5, 20, 50, 200, kSlow});
    int busy = r.pick(std::vector<int>{0, 1, 1, 3});
    // The whole download stays short enough for the run's limits: the
    // silent time limit of 45 s, the scenario's end otherwise. A slow boot
    // loader, each of whose waits is well within what a block may ask for,
    // takes some 200 s for the whole download in an interactive run: the
    // tool sets no limit on the download as a whole.
    bool slow = poll == kSlow && !silent;
    if (poll == kSlow)
        poll = slow ? std::max(1, 200000 / (blocks * std::max(busy, 1))) : 5;
    int budget = silent ? 6000 : 60000;
    while (!slow && poll > 0 && (long)blocks * poll * std::max(busy, 1) > budget)
        poll /= 4;
    b["poll_ms"] = poll;
    b["busy_polls"] = busy;
    b["manifest_polls"] = r.pick(std::vector<int>{0, 2, 2, 10});
    if (!silent && r.chance(20))
        b["manifest_poll_ms"] = r.pick(std::vector<int>{100, 1000, 5000});
    if (r.chance(30))
        b["strict_poll"] = true;
    b["transfer_size"] = r.pick(std::vector<int>{2048, 2048, 4096, 1024, p.transfer});
    if (r.chance(30))
        b["can_upload"] = true;
    b["detach_timeout_ms"] = r.pick(std::vector<int>{1000, 1000, 500, 5000, 65535});
    if (r.chance(20))
        b["flash_size"] = 0x20000;
    k["bootloader"] = b;
    s["keyboard"] = k;

    json ev = json::array();
    if (!silent) {
        bool alt_u = k["bt"].get<int>() == p.bt && r.chance(15);
        ev.push_back(event_on("button_enabled", (uint64_t)r.below(3000), alt_u ? "alt_u" : "press_update"));
        uint64_t detach = 1000 + (uint64_t)r.below(5000);
        ev.push_back(event_on("log: 20", detach, "detach"));
        ev.push_back(event_on("log: 20", detach + 1500 + (uint64_t)r.below(3000), "attach"));
        ev.push_back(event_on("prompt", 500 + (uint64_t)r.below(2000),
                              r.chance(70) ? "restart_later" : "close_prompt"));
        ev.push_back(event_on("prompt", 3000 + (uint64_t)r.below(3000), "close"));
    }
    s["events"] = ev;
    until = 180000 + (uint64_t)blocks * (uint64_t)poll * (uint64_t)std::max(busy, 1);
    // Under their seeds, actions, device events and timers may also come
    // between two steps of a running thread.
    if (r.chance(70))
        s["events_anywhere"] = true;
    return s;
}

void add(json& s, const json& e)
{
    s["events"].push_back(e);
}

// An action at a random time, or aimed at the first milliseconds of a stage.
json anywhen(Rng& r, const std::string& what)
{
    if (r.chance(50))
        return event_on(r.pick(kStageLines), (uint64_t)r.below(r.chance(50) ? 20 : 8000), what);
    return event_at((uint64_t)r.below(90000), what);
}

void inject_keyboard(Rng& r, json& s, const PackageView& p)
{
    json& k = s["keyboard"];
    std::vector<std::function<void()>> faults = {
        [&] { k["checksum"] = r.chance(50) ? "wrong" : "none"; },
        [&] { k["finish_ack"] = false; },
        [&] { k["returns"] = false; },
        [&] { k["bt_ready"] = false; },
        [&] {
            k["nxp_after"] = r.pick(std::vector<int>{p.nxp - 1, 0x0400, 0});
        },
        [&] {
            k["bt_after"] = r.pick(std::vector<int>{0xA23E, 0x011E, 0xA240});
        },
        [&] { k["hang_after_reports"] = r.below(1200); },
        [&] {
            k["nxp"] = r.pick(std::vector<int>{p.nxp, p.nxp + 1, 0x1000 + p.nxp});
        },
        [&] {
            k["bt"] = a2_family(p.bt) ? r.pick(std::vector<int>{0x0120, 0x5501}) : 0xA23F;
        },
        [&] { k["mode"] = "bootloader"; },
        [&] {
            k["attached"] = false;
            if (r.chance(70))
                add(s, event_at((uint64_t)r.below(20000), "attach"));
        },
        [&] { k["handle_notify_fails"] = true; },
        [&] {
            k["removal_notice_ms"] = r.pick(std::vector<int>{0, 50, 2000});
        },
        [&] { add(s, event_on(r.pick(kStageLines), (uint64_t)r.below(3000), "keyboard_hangs")); },
    };
    int n = 1 + r.below(2);
    for (int i = 0; i < n; i++)
        r.pick(faults)();
}

void inject_bootloader(Rng& r, json& s)
{
    json& b = s["keyboard"]["bootloader"];
    std::vector<std::function<void()>> faults = {
        [&] { b["error_at_block"] = r.below(700); },
        [&] { b["fail_transfers"] = true; },
        [&] { b["hang_after_transfers"] = r.below(2000); },
        [&] {
            std::string stage =
                r.pick(std::vector<std::string>{"log:DFU DETACH ...", "log:DFU DOWNLOAD ..."});
            add(s, event_on(stage, (uint64_t)r.below(r.chance(50) ? 20 : 10000), "bootloader_hangs"));
        },
        [&] {
            b["poll_ms"] = r.pick(std::vector<int>{4000, 30001, 1000000});
            b["busy_polls"] = 1;
        },
        [&] {
            b["manifest_polls"] = r.pick(std::vector<int>{3, 10});
            b["manifest_poll_ms"] = r.pick(std::vector<int>{40000, 61000});
        },
        // A flash too small for the image: the boot loader refuses the
        // block that does not fit, which the tool could not know before.
        [&] {
            b["flash_size"] = r.pick(std::vector<int>{0x8000, 0});
        },
        [&] {
            b["detach_timeout_ms"] = r.pick(std::vector<int>{0, 10});
        },
        // Not drawn: a boot loader whose wTransferSize is below the
        // package's transfer size (a package made for another device), and
        // one without bitWillDetach, which waits for a USB reset that the
        // tool has no way to send (WinUSB offers none).
        [&] {
            // Starts its new firmware only at the next power-up: a user
            // re-plugs the keyboard, or not.
            b["manifestation_tolerant"] = true;
            if (r.chance(70)) {
                uint64_t after = 2000 + (uint64_t)r.below(40000);
                add(s, event_on("log:DFU DOWNLOAD", after, "detach"));
                add(s, event_on("log:DFU DOWNLOAD", after + 300 + (uint64_t)r.below(2000), "attach"));
            }
        },
        [&] { b["identity"] = 3 - b.value("identity", 1); },
    };
    r.pick(faults)();
}

void inject_user(Rng& r, json& s, bool silent)
{
    json& ev = s["events"];
    std::vector<std::string> acts = {"press_update", "alt_u",       "close",        "detach",
                                     "attach",       "restart_now", "close_prompt", "restart_later"};
    std::vector<std::function<void()>> faults = {
        [&] {  // never presses Update
            if (!silent && !ev.empty())
                ev.erase(ev.begin());
        },
        [&] {  // detaches too late or never re-attaches
            for (json& e : ev)
                if (e.value("do", "") == "attach" && e.value("on", "") == "log: 20")
                    e["after"] = r.chance(50) ? 40000 : 26000 + r.below(8000);
        },
        [&] {  // re-plugs the keyboard while the USB stage runs
            uint64_t after = (uint64_t)r.below(8000);
            add(s, event_on("log:DFU DOWNLOAD", after, "detach"));
            add(s, event_on("log:DFU DOWNLOAD", after + 500 + (uint64_t)r.below(3000), "attach"));
        },
        [&] {  // two things at once
            std::string a = r.pick(acts), b = r.pick(acts);
            if (r.chance(50)) {
                std::string on = r.pick(kStageLines);
                uint64_t after = (uint64_t)r.below(20);
                add(s, event_on(on, after, a));
                add(s, event_on(on, after, b));
            } else {
                uint64_t at = (uint64_t)r.below(90000);
                add(s, event_at(at, a));
                add(s, event_at(at, b));
            }
        },
        [&] { add(s, anywhen(r, r.pick(acts))); },
        [&] { add(s, event_on("prompt", (uint64_t)r.below(3000), "restart_now")); },
        [&] {  // gives up while the keyboard is unplugged for its re-attach
            for (const json& e : json(ev))
                if (e.value("do", "") == "detach" && e.value("on", "") == "log: 20")
                    add(s,
                        event_on("log: 20", e["after"].get<uint64_t>() + (uint64_t)r.below(1500), "close"));
        },
        [&] {  // closes the tool and, in the same moment, starts a run: at a
               // random moment, or while the window is idle, before the run
               // or after it
            json close = r.chance(34)   ? anywhen(r, "close")
                         : r.chance(50) ? event_on("button_enabled", (uint64_t)r.below(2000), "close")
                                        : event_on("prompt", (uint64_t)r.below(3000), "close");
            json then = close;
            then["do"] = r.pick(std::vector<std::string>{"alt_u", "press_update"});
            add(s, close);
            add(s, then);
        },
    };
    int n = 1 + r.below(3);
    for (int i = 0; i < n; i++)
        r.pick(faults)();
}

void inject_system(Rng& r, json& s)
{
    std::vector<std::string> acts = {"query_remove", "query_remove_vetoed", "suspend",
                                     "sleep",        "force_suspend",       "resume",
                                     "hid_arrival",  "end_session",         "force_end_session"};
    int n = 1 + r.below(3);
    for (int i = 0; i < n; i++) {
        std::string a = r.pick(acts);
        add(s, anywhen(r, a));
        if ((a == "force_suspend" || a == "sleep" || a == "suspend") && r.chance(70))
            add(s, event_at((uint64_t)r.below(120000), "resume"));
    }
}

// Settings that leave success due, and some that do not.
bool inject_setting(Rng& r, json& s, bool silent)
{
    switch (r.below(9)) {
    case 0:
        s["clock"] = r.pick(std::vector<std::string>{"1999-12-31 23:59:50", "2099-02-28 23:59:59",
                                                     "2024-02-29 12:00:00", "2038-01-19 03:14:00"});
        return true;
    case 1:
        s["program_path"] = r.pick(
            std::vector<std::string>{"D:\\Tools\\Keyboard Update\\tessel-updater.exe", "C:\\T\\u.exe"});
        return true;
    case 2:
        // A path longer than the tool keeps: it finds no package.
        s["program_path"] = "C:\\" + std::string(250, 'p') + "\\tessel-updater.exe";
        return false;
    case 3:
        s["files"] = {{"readme.mht", "<html>read me</html>"}};
        if (r.chance(50))
            s["files"]["LogfileKarstDFU.txt"] = "NG: 2023/01/01-10:00:00 error=4\r\n";
        return true;
    case 4:
        if (silent)
            s["args"] =
                r.pick(std::vector<std::string>{"-silent -lang=3", "-silent -lang=99", "\"-silent\" x"});
        else
            s["args"] =
                r.pick(std::vector<std::string>{"-lang=99", "-lang=-1", "-lang=6 -silent", "-lang=2\t-x"});
        return true;
    case 5:
        // Tabs are no separators: "-silent\t..." is not -silent.
        s["args"] = r.pick(
            std::vector<std::string>{"-silent\t-lang=2", "\"-lang=6\"", "-SILENT", "-lang=", "/silent"});
        return false;
    case 6: s["other_instance"] = true; return false;
    case 7:
        s["locale"] = {{"langid", r.pick(std::vector<int>{0, 0x0409, 0x0C0A, 0x7C04, 0xFFFF})},
                       {"lcid", r.pick(std::vector<int>{0, 1033, 3082})}};
        return true;
    default: s["keyboard"]["sonix"] = r.below(256); return true;
    }
}

}  // namespace

Drawn draw_scenario(Rng& r)
{
    Drawn d;
    const std::vector<Variant>& vs = variants();
    const std::vector<std::string>& fams = families();
    // A third of the scenarios inject nothing; the rest one family each.
    d.family = r.chance(33) ? "none" : fams[1 + (size_t)r.below((int)fams.size() - 1)];
    std::vector<size_t> valid, invalid;
    for (size_t i = 0; i < vs.size(); i++)
        (vs[i].valid ? valid : invalid).push_back(i);
    d.variant = d.family == "package" && r.chance(60) ? r.pick(invalid) : r.pick(valid);
    const Variant& v = vs[d.variant];
    PackageView p = view_of(v);
    bool silent = r.chance(30);
    uint64_t until = 0;
    json s = due_base(r, p, silent, until);
    d.due = v.valid;

    if (d.family == "keyboard") {
        inject_keyboard(r, s, p);
        d.due = false;
    } else if (d.family == "bootloader") {
        inject_bootloader(r, s);
        d.due = false;
    } else if (d.family == "user") {
        inject_user(r, s, silent);
        d.due = false;
    } else if (d.family == "system") {
        inject_system(r, s);
        d.due = false;
    } else if (d.family == "package") {
        if (v.valid) {
            // A valid package against a keyboard it does not fit.
            s["keyboard"]["nxp"] = p.nxp;
            if (r.chance(50))
                s["keyboard"]["bt"] = a2_family(p.bt) ? 0x0120 : 0xA23F;
        }
        d.due = false;
    } else if (d.family == "setting") {
        d.due = inject_setting(r, s, silent) && d.due;
    } else if (d.family == "files") {
        // The result log cannot be written, or the program's volume goes
        // away: the line is lost, the update's outcome must not change.
        d.due = false;
        switch (r.below(4)) {
        case 0:
            s["result_log"] = r.pick(std::vector<std::string>{"read_only", "locked", "volume_full"});
            break;
        case 1: add(s, anywhen(r, "program_volume_gone")); break;
        default:
            add(s, anywhen(r, "hold_result_log"));
            if (r.chance(60))
                add(s, anywhen(r, "release_result_log"));
            break;
        }
        if (r.chance(30))
            s["files"] = {{"LogfileKarstDFU.txt", "OK: 2023/01/01-10:00:00 error=0\r\n"}};
    } else if (d.family == "second") {
        // A second keyboard on the same system: the tool updates the first
        // and leaves the second alone, whatever the second does.
        // The tool updates the keyboard it finds first: of the same identity,
        // the first in the system's order. Success is due when that is the
        // first keyboard (the one the user detaches and re-attaches), both
        // are there from the start and stay, and their run-time DFU
        // interfaces (which the tool cannot tell apart) are not in play.
        json k2 = s["keyboard"];
        k2["nxp"] = r.pick(std::vector<int>{p.nxp - 1, 0x0200});
        bool fits = !k2.contains("runtime_dfu");
        if (r.chance(30)) {
            k2["identity"] = 3 - k2.value("identity", 1);
            fits = false;
        }
        if (r.chance(30)) {
            k2["attached"] = false;
            fits = false;
        }
        if (r.chance(20)) {
            k2["checksum"] = "wrong";
            fits = false;
        }
        if (r.chance(20)) {
            k2["nxp"] = p.nxp;
            fits = false;
        }
        s["keyboard2"] = k2;
        int n = r.below(3);
        for (int i = 0; i < n; i++)
            add(s, anywhen(r, r.chance(50) ? "attach2" : "detach2"));
        d.due = d.due && fits && n == 0;
    }
    if (std::string(v.usb) == "too_big" || s["keyboard"]["bootloader"].contains("flash_size"))
        d.tolerated.push_back("dfu.beyond_flash");
    if (!silent)
        add(s, event_at(until - 30000 + (uint64_t)r.below(20000), "close"));
    s["until"] = until;
    d.scenario = s;
    return d;
}

}  // namespace runner
