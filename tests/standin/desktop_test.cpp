// GDI objects, icons, message boxes, the shell, the version query, the
// process token and the restart of Windows in the simulated world.
#include "common/world_test.h"

#include "host/sim_windows.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using worldtest::after_run;
using worldtest::Json;
using worldtest::run_world;
using worldtest::World;
using worldtest::WorldRun;

namespace {

Json strings_json(const std::vector<std::string>& v)
{
    Json j = Json::array();
    for (const auto& s : v)
        j.push_back(s);
    return j;
}

}  // namespace

TEST(Gdi, EveryObjectIsTrackedUntilDeletedOnce)
{
    WorldRun r = run_world(
        [](Json& out) {
            HBRUSH brush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
            HFONT font = CreateFontA(15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Arial");
            out["distinct"] = static_cast<void*>(brush) != static_cast<void*>(font);
            out["del_brush"] = DeleteObject(brush);
            out["del_brush_again"] = DeleteObject(brush);
            out["del_unknown"] = DeleteObject(reinterpret_cast<HGDIOBJ>(0x55));
            (void)font;  // left alive
            return 0;
        },
        after_run([](Json& out) {
            Json objs = Json::array();
            for (const sim::GdiObject& o : sim::gdi_objects())
                objs.push_back(Json::array({o.kind, o.detail, o.live, o.delete_calls}));
            out["objects"] = objs;
            out["bad"] = sim::bad_delete_calls();
        }));
    EXPECT_TRUE(r.out["distinct"].get<bool>());
    EXPECT_EQ(r.out["del_brush"], TRUE);
    EXPECT_EQ(r.out["del_brush_again"], FALSE);
    EXPECT_EQ(r.out["del_unknown"], FALSE);
    EXPECT_EQ(r.out["objects"], Json::parse(R"([["brush","#F0F0F0",false,2],["font","Arial 15",true,0]])"));
    EXPECT_EQ(r.out["bad"], 2);
}

TEST(Resources, IconsAndCursorsHaveStableHandles)
{
    WorldRun r = run_world([](Json& out) {
        HINSTANCE inst = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000));
        HICON a = LoadIconA(inst, MAKEINTRESOURCEA(200));
        HICON b = LoadIconA(inst, MAKEINTRESOURCEA(200));
        HANDLE big = LoadImageA(inst, MAKEINTRESOURCEA(200), IMAGE_ICON, 128, 128, LR_DEFAULTCOLOR);
        out["icon"] = a != nullptr && a == b;
        out["image"] = big != nullptr && big != static_cast<HANDLE>(a) &&
                       big == LoadImageA(inst, MAKEINTRESOURCEA(200), IMAGE_ICON, 128, 128, LR_DEFAULTCOLOR);
        out["missing_icon"] = LoadIconA(inst, MAKEINTRESOURCEA(201)) == nullptr;
        out["missing_in_program"] = LoadIconA(inst, IDI_WARNING) == nullptr;
        out["system_warning"] = LoadIconA(nullptr, IDI_WARNING) != nullptr;
        out["arrow"] = LoadCursorA(nullptr, IDC_ARROW) != nullptr;
        return 0;
    });
    for (const char* k : {"icon", "image", "missing_icon", "missing_in_program", "system_warning", "arrow"})
        EXPECT_TRUE(r.out[k].get<bool>()) << k;
}

TEST(MessageBox, IsRecordedTracedAndAnsweredAtOnce)
{
    WorldRun r = run_world(
        [](Json& out) {
            out["answer"] = MessageBoxW(nullptr, u"Downgrade refus\u00e9", u"Orvex", MB_OK | MB_ICONWARNING);
            out["t"] = sim::now_ms();
            return 0;
        },
        after_run([](Json& out) { out["boxes"] = sim::message_boxes().size(); }));
    EXPECT_EQ(r.out["answer"], IDOK);
    EXPECT_EQ(r.out["boxes"], 1);
    std::vector<Json> boxes = r.events("msgbox");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]["caption"], "Orvex");
    EXPECT_EQ(boxes[0]["text"], "Downgrade refus\u00e9");
}

TEST(Shell, OpensOnlyFilesThatExistBesideTheProgram)
{
    // The program's folder holds a read-me beside it before the run.
    World c;
    c.before = [] { std::ofstream(worldtest::g_dir + "/readme.mht") << "x"; };
    WorldRun r = run_world(
        [](Json& out) {
            out["present"] = reinterpret_cast<uintptr_t>(
                ShellExecuteA(nullptr, "open", "C:\\Tessel\\readme.mht", nullptr, nullptr, SW_SHOWNORMAL));
            out["absent"] = reinterpret_cast<uintptr_t>(
                ShellExecuteA(nullptr, "open", "C:\\Tessel\\readme.docx", nullptr, nullptr, SW_SHOWNORMAL));
            return 0;
        },
        c);
    EXPECT_GT(r.out["present"].get<uintptr_t>(), 32u);
    EXPECT_EQ(r.out["absent"], 2);
    std::vector<Json> shell = r.events("shell");
    ASSERT_EQ(shell.size(), 2u);
    EXPECT_EQ(shell[0]["file"], "readme.mht");
    EXPECT_EQ(shell[0]["ok"], true);
    EXPECT_EQ(shell[1]["file"], "readme.docx");
    EXPECT_EQ(shell[1]["ok"], false);
}

TEST(Restart, NeedsTheShutdownPrivilegeAndRecordsTheOrder)
{
    WorldRun r = run_world(
        [](Json& out) {
            OSVERSIONINFOA vi{};
            vi.dwOSVersionInfoSize = 100;
            out["short_size"] = GetVersionExA(&vi);
            vi.dwOSVersionInfoSize = 148;
            out["version"] = GetVersionExA(&vi);
            out["platform"] = vi.dwPlatformId;
            out["without"] = ExitWindowsEx(EWX_REBOOT, 0);
            out["on"] = set_shutdown_privilege(TRUE);
            out["with"] = ExitWindowsEx(EWX_REBOOT, 0);
            out["off"] = set_shutdown_privilege(FALSE);
            out["after"] = ExitWindowsEx(EWX_REBOOT, 0);
            LUID luid;
            out["other_privilege"] = LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &luid);
            HANDLE token;
            OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
            TOKEN_PRIVILEGES tp{};
            tp.PrivilegeCount = 1;
            LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid);
            tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            out["query_only_token"] = AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
            CloseHandle(token);
            return 0;
        },
        after_run([](Json& out) {
            out["log"] = strings_json(sim::system_log());
            out["reboots"] = sim::reboots();
        }));
    EXPECT_EQ(r.out["short_size"], FALSE);
    EXPECT_EQ(r.out["version"], TRUE);
    EXPECT_EQ(r.out["platform"], VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(r.out["without"], FALSE);
    EXPECT_EQ(r.out["on"], TRUE);
    EXPECT_EQ(r.out["with"], TRUE);
    EXPECT_EQ(r.out["off"], TRUE);
    EXPECT_EQ(r.out["after"], FALSE);
    EXPECT_EQ(r.out["other_privilege"], FALSE);
    EXPECT_EQ(r.out["query_only_token"], FALSE);
    EXPECT_EQ(r.out["log"], Json::parse(R"(["exitwindows:denied","privilege:on","exitwindows:ok",
        "privilege:off","exitwindows:denied"])"));
    EXPECT_EQ(r.out["reboots"], 1);
    EXPECT_EQ(r.events("reboot").size(), 1u);
}

TEST(Restart, UnassignedPrivilegeStillReportsSuccessButCannotRestart)
{
    WorldRun r = run_world([](Json& out) {
        sim::set_shutdown_privilege_assigned(false);
        out["on"] = set_shutdown_privilege(TRUE);
        out["last_error"] = GetLastError();
        out["restart"] = ExitWindowsEx(EWX_REBOOT, 0);
        sim::set_os_platform(VER_PLATFORM_WIN32_WINDOWS);  // no privileges there
        out["restart_9x"] = ExitWindowsEx(EWX_REBOOT, 0);
        return 0;
    });
    EXPECT_EQ(r.out["on"], TRUE);
    EXPECT_EQ(r.out["last_error"], 1300);  // ERROR_NOT_ALL_ASSIGNED
    EXPECT_EQ(r.out["restart"], FALSE);
    EXPECT_EQ(r.out["restart_9x"], TRUE);
}
