#include "world_view.h"

#include "app/app.h"
#include "host/sim_windows.h"

namespace runner {

namespace {
sim::Window* main_child(int id)
{
    HWND main = sim::main_window();
    HWND child = main ? sim::child_by_id(main, id) : nullptr;
    return child ? sim::window_of(child) : nullptr;
}
}  // namespace

HWND restart_prompt()
{
    for (HWND h : sim::top_level_windows()) {
        sim::Window* w = sim::window_of(h);
        if (w && w->kind == sim::WindowKind::Dialog && !w->destroyed)
            return h;
    }
    return nullptr;
}

std::string log_view_text()
{
    sim::Window* log = main_child(IDC_LOG);
    return log ? log->text_utf8() : std::string();
}

sim::Json button_summary()
{
    sim::Window* b = main_child(IDC_UPDATE);
    if (!b)
        return nullptr;
    return sim::Json{{"text", b->text_utf8()}, {"enabled", b->enabled}};
}

int progress_pos()
{
    sim::Window* p = main_child(IDC_PROGRESS);
    return p ? p->pos : 0;
}

}  // namespace runner
