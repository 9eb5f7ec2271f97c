#include "scenario/engine.h"

#include "common/globals.h"

#include <utility>

namespace runner {

Engine::Engine(const Scenario& scenario, World& world, uint64_t order_seed)
    : m_scenario(scenario), m_world(world), m_fired(scenario.events.size(), false), m_order_state(order_seed)
{
}

void Engine::schedule_timed_events()
{
    for (const Event& e : m_scenario.events)
        if (e.at)
            schedule(*e.at, e.action);
}

// Actions due in the same millisecond are performed together, in one call
// from the world's clock.
void Engine::schedule(uint64_t due_ms, const std::string& action)
{
    uint64_t now = m_world.now_ms();
    if (due_ms < now)
        due_ms = now;
    bool first;
    {
        std::lock_guard<std::mutex> held(m_lock);
        std::vector<std::string>& actions = m_due[due_ms];
        first = actions.empty();
        actions.push_back(action);
    }
    if (first)
        m_world.run_at(due_ms, [this, due_ms] { perform_due(due_ms); });
}

uint64_t Engine::next_order_random()
{
    // splitmix64, apart from the world's own sequences.
    uint64_t z = (m_order_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void Engine::perform_due(uint64_t due_ms)
{
    std::vector<std::string> actions;
    {
        std::lock_guard<std::mutex> held(m_lock);
        actions = std::move(m_due[due_ms]);
        m_due.erase(due_ms);
        if (m_order_state != 0)
            for (size_t i = actions.size(); i > 1; i--)
                std::swap(actions[i - 1], actions[next_order_random() % i]);
    }
    for (const std::string& action : actions)
        perform(action);
}

void Engine::before_record(const std::string& ev)
{
    // A cause record tells what the tool saw; the state it was in shows
    // where the state records show it.
    if (ev != "state" && ev != "result" && ev != "cause")
        poll();
}

void Engine::after_record(const Fields& record)
{
    const std::string& ev = record["ev"].get_ref<const std::string&>();
    for (size_t i = 0; i < m_scenario.events.size(); i++) {
        const Event& e = m_scenario.events[i];
        if (e.at)
            continue;
        bool hit = false;
        if (e.on == "button_enabled")
            hit = ev == "button" && record.value("enabled", false);
        else if (e.on == "prompt")
            hit = ev == "prompt" && record.value("open", false);
        else if (e.on.rfind("log:", 0) == 0)
            hit =
                ev == "log" && record.value("text", std::string()).find(e.on.substr(4)) != std::string::npos;
        if (!hit)
            continue;
        {
            std::lock_guard<std::mutex> held(m_lock);
            if (m_fired[i])
                continue;
            m_fired[i] = true;
        }
        schedule(m_world.now_ms() + e.after, e.action);
    }
}

void Engine::poll()
{
    uint8_t state = g_update_state.load();
    if (state != m_last_state) {
        m_last_state = state;
        m_world.trace("state", Fields{{"value", state}});
    }
    uint32_t result = g_update_result.load();
    if (result != m_last_result) {
        m_last_result = result;
        m_world.trace("result", Fields{{"value", result}});
    }
}

void Engine::setup_result_log()
{
    const std::string& fault = m_scenario.result_log;
    if (fault == "locked") {
        hold_result_log();
    } else if (fault == "read_only") {
        m_world.make_result_log_read_only();
        m_world.trace("file", Fields{{"what", "read_only"}});
    } else if (fault == "volume_full") {
        m_world.fill_volume();
        m_world.trace("file", Fields{{"what", "volume_full"}});
    }
}

void Engine::hold_result_log()
{
    if (m_log_held)
        return;
    m_log_held = m_world.hold_result_log();
    m_world.trace("file", Fields{{"what", "held"}, {"ok", m_log_held.load()}});
}

void Engine::perform(const std::string& action)
{
    m_world.trace("user", Fields{{"do", action}});
    if (action == "press_update") {
        m_world.press_update();
    } else if (action == "alt_u") {
        m_world.alt_u();
    } else if (action == "close") {
        m_world.close();
    } else if (action == "hold_result_log") {
        hold_result_log();
    } else if (action == "release_result_log") {
        if (m_log_held.exchange(false)) {
            m_world.release_result_log();
            m_world.trace("file", Fields{{"what", "released"}});
        }
    } else if (action == "program_volume_gone") {
        m_world.remove_program_volume();
        m_world.trace("file", Fields{{"what", "volume_gone"}});
    } else if (action == "restart_now") {
        m_world.answer_prompt(PromptButton::RestartNow);
    } else if (action == "restart_later") {
        m_world.answer_prompt(PromptButton::RestartLater);
    } else if (action == "close_prompt") {
        m_world.answer_prompt(PromptButton::Close);
    } else {
        m_world.device_action(action);
    }
}

void Engine::summary(Fields& s, const Fields& exit_code)
{
    s["exit_code"] = exit_code;
    m_world.add_summary_fields("result_log", s);
    std::optional<std::string> log = m_world.read_result_log();
    s["result_log"] = log ? Fields(*log) : Fields(nullptr);
    m_world.add_summary_fields("state", s);
    s["state"] = g_update_state.load();
    s["reports_out"] = m_world.reports_out(1);
    s["dfu_blocks"] = m_world.dfu_blocks(1);
    if (m_scenario.has_keyboard2) {
        s["reports_out_kb2"] = m_world.reports_out(2);
        s["dfu_blocks_kb2"] = m_world.dfu_blocks(2);
    }
    m_world.add_summary_fields("violations", s);
    s["violations"] = m_world.violations();
}

}  // namespace runner
