// The keyboard's input reports reach the main window as WM_INPUT; input the
// window received in the foreground goes on to DefWindowProc, so that the
// system can clean up after it, and input received in the background does not.
#include "common/world_test.h"
#include "unit/keyboard/raw_input_msg.h"

#include <gtest/gtest.h>

using namespace worldtest;

namespace {

World input_world()
{
    World w;
    w.program_path = "C:\\Tessel\\tessel-updater.exe";
    w.until_ms = 100000;
    return w;
}

// Whether the system still holds the input behind `raw`.
bool still_held(HRAWINPUT raw)
{
    UINT size = 0;
    return GetRawInputData(raw, RID_INPUT, nullptr, &size, sizeof(RAWINPUTHEADER)) == 0;
}

}  // namespace

TEST(RawInputCleanUp, ForegroundInputGoesOnToDefWindowProcAndBackgroundInputDoesNot)
{
    in_world(input_world(), [] {
        create_main_window();
        sim::RawInputSpec input;
        input.bytes = rawmsg::bytes_of(rawmsg::with(rawmsg::version(0xA23F, 0, 0)));
        HRAWINPUT foreground = sim::raw_input_store(input);
        HRAWINPUT background = sim::raw_input_store(input);
        SendMessageA(g_main_wnd, WM_INPUT, RIM_INPUT, (LPARAM)foreground);
        SendMessageA(g_main_wnd, WM_INPUT, RIM_INPUTSINK, (LPARAM)background);
        // Both reports were decoded ...
        CHECK(g_kb_bt_version == 0xA23Fu);
        // ... and only the foreground one was cleaned up.
        CHECK(!still_held(foreground));
        CHECK(still_held(background));
    });
}
