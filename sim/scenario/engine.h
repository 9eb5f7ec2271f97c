// The scenario's user and surroundings, performed against a world: the
// events by time and by trigger, the order of actions due in the same
// millisecond, the records of what the user did and of the tool's state and
// result, and the fields of the summary that every world reports.
// tessel-sim's simulated world (virtual time) and tessel-updater-sim.exe
// (Windows or Wine, real time) each implement World once.
#pragma once

#include "scenario/scenario.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace runner {

using Fields = nlohmann::ordered_json;

enum class PromptButton { RestartNow, RestartLater, Close };

class World {
public:
    virtual ~World() = default;

    virtual uint64_t now_ms() = 0;
    // Calls `fn` at `due_ms` (not before now) on the world's clock.
    virtual void run_at(uint64_t due_ms, std::function<void()> fn) = 0;
    // Writes a record. The world hands every record it writes to the engine
    // (before_record, after_record), these too.
    virtual void trace(const char* ev, const Fields& fields) = 0;

    // What the user does with the tool's windows.
    virtual void press_update() = 0;
    virtual void alt_u() = 0;
    virtual void close() = 0;
    // Does nothing while no restart prompt is open.
    virtual void answer_prompt(PromptButton button) = 0;
    // The keyboards and the system: attach, detach, removal and power requests, ...
    virtual void device_action(const std::string& action) = 0;

    // Another program holding the result log open without sharing: true
    // when it could open it.
    virtual bool hold_result_log() = 0;
    virtual void release_result_log() = 0;
    // The result log made to exist, with the read-only attribute.
    virtual void make_result_log_read_only() = 0;
    // Writes on the program's volume fail from now on: it is full.
    virtual void fill_volume() = 0;
    // The program's volume leaves (a USB stick pulled).
    virtual void remove_program_volume() = 0;

    // For the summary: the result log as the user finds it after the run
    // (none when there is no such file), and the devices' counts.
    virtual std::optional<std::string> read_result_log() = 0;
    virtual int reports_out(int keyboard) = 0;
    virtual int dfu_blocks(int keyboard) = 0;
    virtual int violations() = 0;
    // The world's own summary fields, placed ahead of the common field `next`.
    virtual void add_summary_fields(const char* /*next*/, Fields& /*summary*/) {}
};

class Engine {
public:
    // `order_seed` 0: actions due in the same millisecond are performed in
    // the scenario's order; any other value: in an order the seed picks, so
    // that seeds reach every order of things the user does at once.
    Engine(const Scenario& scenario, World& world, uint64_t order_seed);

    // The events with a time, put on the world's clock.
    void schedule_timed_events();
    // The result log as the scenario's `result_log` has it from the start:
    // held by another program for the whole run, read-only, or on a full volume.
    void setup_result_log();

    // Around each record the world writes (the world keeps them in one
    // order): a state or result change made before a record is reported
    // ahead of it, and the triggers look at each record written.
    void before_record(const std::string& ev);
    void after_record(const Fields& record);
    // State and result changes since the last look, as records.
    void poll();

    // One of the scenario's actions, now: a "user" record, then the action.
    void perform(const std::string& action);

    // Appends to `summary` the fields every world reports.
    void summary(Fields& summary, const Fields& exit_code);

private:
    void schedule(uint64_t due_ms, const std::string& action);
    void perform_due(uint64_t due_ms);
    void hold_result_log();
    uint64_t next_order_random();

    Scenario m_scenario;
    World& m_world;
    std::mutex m_lock;  // the due actions and the triggers
    std::map<uint64_t, std::vector<std::string>> m_due;
    std::vector<bool> m_fired;
    uint64_t m_order_state;  // 0: the scenario's order
    std::atomic<bool> m_log_held{false};
    uint8_t m_last_state = 0;
    uint32_t m_last_result = 1;
};

}  // namespace runner
