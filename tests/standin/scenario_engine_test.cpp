// The scenario engine on a world of the test's own: a clock that moves only
// when the test runs what is due, the user's actions noted with their times.
#include "scenario/engine.h"
#include "scenario/scenario.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

class NotingWorld : public runner::World {
public:
    runner::Engine* engine = nullptr;
    uint64_t now = 0;
    std::multimap<uint64_t, std::function<void()>> due;
    std::vector<std::string> done;   // "action@ms", as the world saw them
    std::vector<std::string> users;  // the "user" records, "action@ms"

    uint64_t now_ms() override { return now; }
    void run_at(uint64_t due_ms, std::function<void()> fn) override { due.emplace(due_ms, std::move(fn)); }
    void trace(const char* ev, const runner::Fields& fields) override
    {
        runner::Fields record = fields;
        record["t"] = now;
        record["ev"] = ev;
        if (record["ev"] == "user")
            users.push_back(record["do"].get<std::string>() + "@" + std::to_string(now));
        engine->after_record(record);
    }
    void note(const std::string& what) { done.push_back(what + "@" + std::to_string(now)); }

    void press_update() override { note("press_update"); }
    void alt_u() override { note("alt_u"); }
    void close() override { note("close"); }
    void answer_prompt(runner::PromptButton) override { note("prompt"); }
    void device_action(const std::string& action) override { note(action); }
    bool hold_result_log() override { return true; }
    void release_result_log() override {}
    void make_result_log_read_only() override {}
    void fill_volume() override {}
    void remove_program_volume() override {}
    std::optional<std::string> read_result_log() override { return std::nullopt; }
    int reports_out(int) override { return 0; }
    int dfu_blocks(int) override { return 0; }
    int violations() override { return 0; }

    void run_until(uint64_t end)
    {
        while (!due.empty() && due.begin()->first <= end) {
            auto first = due.begin();
            now = first->first;
            std::function<void()> fn = std::move(first->second);
            due.erase(first);
            fn();
        }
        now = end;
    }
};

runner::Scenario scenario(const std::string& text)
{
    runner::Scenario s;
    std::string error;
    EXPECT_TRUE(runner::parse_scenario(text, s, error)) << error;
    return s;
}

// What the world saw done, the scenario's timed events run to 100 ms.
std::vector<std::string> same_millisecond_run(uint64_t seed)
{
    NotingWorld world;
    runner::Engine engine(scenario(R"({"events": [{"at": 10, "do": "press_update"},
                                                  {"at": 10, "do": "alt_u"}]})"),
                          world, seed);
    world.engine = &engine;
    engine.schedule_timed_events();
    world.run_until(100);
    return world.done;
}

}  // namespace

TEST(ScenarioEngine, ALogTriggerFiresOnceItsDelayAfterTheFirstMatchingText)
{
    NotingWorld world;
    runner::Engine engine(
        scenario(R"({"events": [{"on": "log:Press Update", "after": 250, "do": "press_update"},
                                                  {"at": 1000, "do": "detach"}]})"),
        world, 0);
    world.engine = &engine;
    engine.schedule_timed_events();

    world.run_until(90);
    world.trace("button", runner::Fields{{"enabled", true}});
    world.trace("log", runner::Fields{{"text", "Press a key"}});
    world.run_until(100);
    world.trace("log", runner::Fields{{"text", "Keyboard found. Press Update to begin.\r\n"}});
    world.run_until(120);
    world.trace("log", runner::Fields{{"text", "Press Update to begin.\r\n"}});
    world.run_until(5000);

    EXPECT_EQ(world.done, (std::vector<std::string>{"press_update@350", "detach@1000"}));
    // Each action is recorded as the user's, at the time it is performed.
    EXPECT_EQ(world.users, world.done);
}

TEST(ScenarioEngine, ActionsDueTogetherKeepTheScenarioOrderUnlessASeedPicksTheirOrder)
{
    const std::vector<std::string> in_order = {"press_update@10", "alt_u@10"};
    EXPECT_EQ(same_millisecond_run(0), in_order);
    std::set<std::vector<std::string>> orders;
    for (uint64_t seed = 1; seed <= 16; seed++)
        orders.insert(same_millisecond_run(seed));
    EXPECT_EQ(orders, (std::set<std::vector<std::string>>{in_order, {"alt_u@10", "press_update@10"}}));
}
