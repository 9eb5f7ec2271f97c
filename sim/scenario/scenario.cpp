#include "scenario/scenario.h"

#include <cctype>
#include <cstdio>
#include <set>

namespace runner {

namespace {

using json = nlohmann::json;

// The message is one line: field names and values quoted in it may hold any
// character, so control characters are shown escaped (\n, \u001b, ...).
std::string one_line(const std::string& text)
{
    std::string out;
    for (unsigned char ch : text) {
        if (ch == '\n')
            out += "\\n";
        else if (ch == '\r')
            out += "\\r";
        else if (ch == '\t')
            out += "\\t";
        else if (ch < 0x20 || ch == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", ch);
            out += hex;
        } else
            out += (char)ch;
    }
    return out;
}

struct Checker {
    std::string error;

    bool fail(const std::string& field, const std::string& what)
    {
        if (error.empty())
            error = one_line("scenario field '" + field + "': " + what);
        return false;
    }

    bool unknown_fields(const json& obj, const std::string& where, const std::set<std::string>& known)
    {
        for (auto it = obj.begin(); it != obj.end(); ++it) {
            if (!known.count(it.key()))
                return fail(where.empty() ? it.key() : where + "." + it.key(), "unknown field");
        }
        return true;
    }

    bool get_bool(const json& obj, const char* key, const std::string& name, bool& out)
    {
        if (!obj.contains(key))
            return true;
        if (!obj[key].is_boolean())
            return fail(name, "must be true or false");
        out = obj[key].get<bool>();
        return true;
    }

    bool get_int(const json& obj, const char* key, const std::string& name, int64_t lo, int64_t hi,
                 int64_t& out)
    {
        if (!obj.contains(key))
            return true;
        const json& v = obj[key];
        if (!v.is_number_integer())
            return fail(name, "must be an integer");
        int64_t n = v.get<int64_t>();
        if (v.is_number_unsigned() && v.get<uint64_t>() > (uint64_t)INT64_MAX)
            return fail(name, "out of range");
        if (n < lo || n > hi)
            return fail(name, "must be between " + std::to_string(lo) + " and " + std::to_string(hi));
        out = n;
        return true;
    }

    template <typename T>
    bool get_num(const json& obj, const char* key, const std::string& name, int64_t lo, int64_t hi, T& out)
    {
        int64_t n = (int64_t)out;
        if (!get_int(obj, key, name, lo, hi, n))
            return false;
        out = (T)n;
        return true;
    }

    bool get_string(const json& obj, const char* key, const std::string& name, std::string& out)
    {
        if (!obj.contains(key))
            return true;
        if (!obj[key].is_string())
            return fail(name, "must be a string");
        out = obj[key].get<std::string>();
        return true;
    }
};

bool parse_clock(const std::string& text, Scenario& s)
{
    // Exactly "YYYY-MM-DD HH:MM:SS": digits where the pattern has letters.
    static const char kPattern[] = "dddd-dd-dd dd:dd:dd";
    if (text.size() != sizeof(kPattern) - 1)
        return false;
    for (size_t i = 0; i < text.size(); i++) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (kPattern[i] == 'd' ? !digit : text[i] != kPattern[i])
            return false;
    }
    int y, mo, d, h, mi, se;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &se) != 6)
        return false;
    if (y < 1601 || mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || se > 59)
        return false;
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    int dim = days[mo - 1] + (mo == 2 && leap ? 1 : 0);
    if (d > dim)
        return false;
    s.year = y;
    s.month = mo;
    s.day = d;
    s.hour = h;
    s.minute = mi;
    s.second = se;
    return true;
}

// The tool sees its own file under a full path: a drive, a backslash, and a
// file name after the last backslash.
bool full_program_path(const std::string& path)
{
    if (path.size() < 4 || !std::isalpha((unsigned char)path[0]) || path[1] != ':' || path[2] != '\\')
        return false;
    return path.back() != '\\' && path.back() != '/';
}

const std::set<std::string> kActions = {"press_update",
                                        "alt_u",
                                        "close",
                                        "detach",
                                        "attach",
                                        "query_remove",
                                        "query_remove_vetoed",
                                        "suspend",
                                        "sleep",
                                        "force_suspend",
                                        "resume",
                                        "hid_arrival",
                                        "keyboard_hangs",
                                        "bootloader_hangs",
                                        "restart_now",
                                        "restart_later",
                                        "close_prompt",
                                        "end_session",
                                        "force_end_session",
                                        "hold_result_log",
                                        "release_result_log",
                                        "detach2",
                                        "attach2",
                                        "program_volume_gone"};

bool parse_bootloader(Checker& c, const json& b, const std::string& name, sim::BootloaderConfig& out)
{
    if (!b.is_object())
        return c.fail(name + ".bootloader", "must be an object");
    if (!c.unknown_fields(b, name + ".bootloader",
                          {"identity", "poll_ms", "busy_polls", "error_at_block", "manifest_polls",
                           "fail_transfers", "manifestation_tolerant", "will_detach", "can_upload",
                           "transfer_size", "detach_timeout_ms", "flash_size", "strict_poll",
                           "hang_after_transfers", "manifest_poll_ms"}))
        return false;
    if (!c.get_num(b, "identity", name + ".bootloader.identity", 1, 2, out.identity) ||
        !c.get_num(b, "poll_ms", name + ".bootloader.poll_ms", 0, 0xFFFFFF, out.poll_ms) ||
        !c.get_num(b, "busy_polls", name + ".bootloader.busy_polls", 0, 1000000, out.busy_polls) ||
        !c.get_num(b, "manifest_polls", name + ".bootloader.manifest_polls", 0, 1000000,
                   out.manifest_polls) ||
        !c.get_bool(b, "fail_transfers", name + ".bootloader.fail_transfers", out.fail_transfers) ||
        !c.get_bool(b, "manifestation_tolerant", name + ".bootloader.manifestation_tolerant",
                    out.manifestation_tolerant) ||
        !c.get_bool(b, "will_detach", name + ".bootloader.will_detach", out.will_detach) ||
        !c.get_bool(b, "can_upload", name + ".bootloader.can_upload", out.can_upload) ||
        !c.get_num(b, "transfer_size", name + ".bootloader.transfer_size", 1, 0xFFFF, out.transfer_size) ||
        !c.get_num(b, "detach_timeout_ms", name + ".bootloader.detach_timeout_ms", 0, 0xFFFF,
                   out.detach_timeout_ms) ||
        !c.get_num(b, "flash_size", name + ".bootloader.flash_size", 0, 0x1000000, out.flash_size) ||
        !c.get_bool(b, "strict_poll", name + ".bootloader.strict_poll", out.strict_poll) ||
        !c.get_num(b, "hang_after_transfers", name + ".bootloader.hang_after_transfers", 0, INT32_MAX,
                   out.hang_after_transfers) ||
        !c.get_num(b, "manifest_poll_ms", name + ".bootloader.manifest_poll_ms", 0, 0xFFFFFF,
                   out.manifest_poll_ms))
        return false;
    if (b.contains("error_at_block") && !b["error_at_block"].is_null()) {
        if (!c.get_num(b, "error_at_block", name + ".bootloader.error_at_block", 0, 65535,
                       out.error_at_block))
            return false;
    }
    return true;
}

bool parse_keyboard(Checker& c, const json& k, const std::string& name, sim::KeyboardConfig& out)
{
    if (!k.is_object())
        return c.fail(name, "must be an object or null");
    if (!c.unknown_fields(k, name,
                          {"identity", "mode", "attached", "nxp", "bt", "sonix", "bt_ready", "checksum",
                           "finish_ack", "returns", "nxp_after", "bt_after", "hang_after_reports",
                           "handle_notify_fails", "removal_notice_ms", "runtime_dfu", "bootloader"}))
        return false;
    std::string mode = "normal";
    if (!c.get_num(k, "identity", name + ".identity", 1, 2, out.identity) ||
        !c.get_string(k, "mode", name + ".mode", mode) ||
        !c.get_bool(k, "attached", name + ".attached", out.attached) ||
        !c.get_num(k, "nxp", name + ".nxp", 0, 0xFFFF, out.nxp) ||
        !c.get_num(k, "bt", name + ".bt", 0, 0xFFFF, out.bt) ||
        !c.get_num(k, "sonix", name + ".sonix", 0, 0xFF, out.sonix) ||
        !c.get_bool(k, "bt_ready", name + ".bt_ready", out.bt_ready) ||
        !c.get_string(k, "checksum", name + ".checksum", out.checksum) ||
        !c.get_bool(k, "finish_ack", name + ".finish_ack", out.finish_ack) ||
        !c.get_bool(k, "returns", name + ".returns", out.returns) ||
        !c.get_num(k, "nxp_after", name + ".nxp_after", 0, 0xFFFF, out.nxp_after) ||
        !c.get_num(k, "bt_after", name + ".bt_after", 0, 0xFFFF, out.bt_after) ||
        !c.get_num(k, "hang_after_reports", name + ".hang_after_reports", 0, INT32_MAX,
                   out.hang_after_reports) ||
        !c.get_bool(k, "handle_notify_fails", name + ".handle_notify_fails", out.handle_notify_fails) ||
        !c.get_num(k, "removal_notice_ms", name + ".removal_notice_ms", 0, 3600000, out.removal_notice_ms) ||
        !c.get_bool(k, "runtime_dfu", name + ".runtime_dfu", out.runtime_dfu))
        return false;
    if (mode != "normal" && mode != "bootloader")
        return c.fail(name + ".mode", "must be \"normal\" or \"bootloader\"");
    out.bootloader_mode = mode == "bootloader";
    if (out.checksum != "correct" && out.checksum != "wrong" && out.checksum != "none")
        return c.fail(name + ".checksum", "must be \"correct\", \"wrong\" or \"none\"");
    if (k.contains("bootloader"))
        return parse_bootloader(c, k["bootloader"], name, out.bootloader);
    return true;
}

bool parse_events(Checker& c, const json& events, std::vector<Event>& out)
{
    if (!events.is_array())
        return c.fail("events", "must be an array");
    for (size_t i = 0; i < events.size(); i++) {
        std::string name = "events[" + std::to_string(i) + "]";
        const json& e = events[i];
        if (!e.is_object())
            return c.fail(name, "must be an object");
        if (!c.unknown_fields(e, name, {"do", "at", "on", "after"}))
            return false;
        Event ev;
        if (!e.contains("do"))
            return c.fail(name + ".do", "missing");
        if (!c.get_string(e, "do", name + ".do", ev.action))
            return false;
        if (!kActions.count(ev.action))
            return c.fail(name + ".do", "unknown action \"" + ev.action + "\"");
        bool has_at = e.contains("at"), has_on = e.contains("on");
        if (has_at == has_on)
            return c.fail(name, "needs either \"at\" or \"on\"");
        if (has_at) {
            int64_t at = 0;
            if (!c.get_int(e, "at", name + ".at", 0, INT64_MAX / 2, at))
                return false;
            ev.at = (uint64_t)at;
            if (e.contains("after"))
                return c.fail(name + ".after", "only with \"on\"");
        } else {
            if (!c.get_string(e, "on", name + ".on", ev.on))
                return false;
            if (ev.on != "button_enabled" && ev.on != "prompt" && ev.on != "exit" &&
                ev.on.rfind("log:", 0) != 0)
                return c.fail(name + ".on", "unknown trigger \"" + ev.on + "\"");
            int64_t after = 0;
            if (!c.get_int(e, "after", name + ".after", 0, INT64_MAX / 2, after))
                return false;
            ev.after = (uint64_t)after;
        }
        out.push_back(ev);
    }
    return true;
}

}  // namespace

bool parse_scenario(const std::string& text, Scenario& s, std::string& error)
{
    Checker c;
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded()) {
        error = "scenario: not valid JSON";
        return false;
    }
    if (!j.is_object()) {
        error = "scenario: must be a JSON object";
        return false;
    }
    bool ok =
        c.unknown_fields(j, "",
                         {"args", "program_path", "files", "locale", "clock", "other_instance", "keyboard",
                          "keyboard2", "result_log", "events", "until", "events_anywhere"}) &&
        c.get_string(j, "args", "args", s.args) &&
        c.get_string(j, "program_path", "program_path", s.program_path) &&
        c.get_bool(j, "other_instance", "other_instance", s.other_instance) &&
        c.get_num(j, "until", "until", 0, INT64_MAX / 2, s.until) &&
        c.get_string(j, "result_log", "result_log", s.result_log) &&
        c.get_bool(j, "events_anywhere", "events_anywhere", s.events_anywhere);
    if (ok && s.result_log != "normal" && s.result_log != "read_only" && s.result_log != "locked" &&
        s.result_log != "volume_full")
        ok = c.fail("result_log", "must be \"normal\", \"read_only\", \"locked\" or \"volume_full\"");
    if (ok && !full_program_path(s.program_path))
        ok = c.fail("program_path", "must be a full path with a file name, e.g. C:\\Tessel\\tool.exe");
    if (ok && j.contains("files")) {
        const json& f = j["files"];
        if (!f.is_object())
            ok = c.fail("files", "must be an object of names to texts");
        std::set<std::string> folded;  // Windows file names ignore case
        for (auto it = f.begin(); ok && it != f.end(); ++it) {
            const std::string& name = it.key();
            std::string lower = name;
            for (char& ch : lower)
                ch = (char)std::tolower((unsigned char)ch);
            if (name.empty() || name.find_first_of("/\\:") != std::string::npos || name == "." ||
                name == "..")
                ok = c.fail("files." + name, "must be a plain file name");
            else if (!folded.insert(lower).second)
                ok = c.fail("files." + name, "names the same file as another entry (case is ignored)");
            else if (!it.value().is_string())
                ok = c.fail("files." + name, "must be a string");
            else
                s.files[name] = it.value().get<std::string>();
        }
    }
    if (ok && j.contains("locale")) {
        const json& l = j["locale"];
        if (!l.is_object())
            ok = c.fail("locale", "must be an object");
        else
            ok = c.unknown_fields(l, "locale", {"langid", "lcid"}) &&
                 c.get_num(l, "langid", "locale.langid", 0, 0xFFFF, s.langid) &&
                 c.get_num(l, "lcid", "locale.lcid", 0, 0xFFFFFFFFLL, s.lcid);
    }
    if (ok && j.contains("clock")) {
        if (!j["clock"].is_string() || !parse_clock(j["clock"].get<std::string>(), s))
            ok = c.fail("clock", "must be a date and time \"YYYY-MM-DD HH:MM:SS\"");
    }
    if (ok && j.contains("keyboard") && !j["keyboard"].is_null()) {
        s.has_keyboard = true;
        ok = parse_keyboard(c, j["keyboard"], "keyboard", s.keyboard);
    }
    if (ok && j.contains("keyboard2") && !j["keyboard2"].is_null()) {
        s.has_keyboard2 = true;
        ok = parse_keyboard(c, j["keyboard2"], "keyboard2", s.keyboard2);
    }
    if (ok && j.contains("events"))
        ok = parse_events(c, j["events"], s.events);
    if (!ok)
        error = c.error;
    return ok;
}

}  // namespace runner
