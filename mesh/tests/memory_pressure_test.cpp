// Every mutating operation of the registry, the store and the controller, as the module runs it:
// its allocations are counted, then each is made to fail in turn. The operation ends with
// std::bad_alloc, the component is neither poisoned nor changed, and the same call succeeds once
// memory is there again.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "migration.h"
#include "registry.h"
#include "state.h"
#include "support/failing_alloc.h"
#include "support/records.h"

namespace korvo {
namespace {

// Caller texts long enough that every copy of them allocates.
const std::string kLong(100, 'x');
const std::string kPresent = "present" + kLong;
const std::string kNew = "new" + kLong;
const std::string kActive = "active" + kLong;
const std::string kDone = "done" + kLong;

struct Case {
    const char* name;
    std::function<void()> setup;         // brings the component to its starting state
    std::function<bool()> op;            // the operation; true on success
    std::function<std::string()> state;  // everything a caller can observe, as text
    std::function<bool()> poisoned;
};

std::string listing(const Status& listed, const std::string& text) {
    std::string out;
    for (const auto& item : test::sorted_items(listed ? text : "<poisoned>")) out += item + "\n";
    return out;
}

std::string registry_state(const AgentRegistry& reg) {
    std::string text;
    std::string out = listing(reg.list_json(std::nullopt, std::nullopt, text), text);
    for (const std::size_t n : reg.counts().by_status) out += std::to_string(n) + " ";
    return out;
}

std::string store_state(const InMemoryStateStore& store) {
    std::string out;
    const auto keys = store.keys_with_prefix("");
    for (const auto& key : keys.value()) {
        out += key + "=";
        (void)store.get_text(key, out);
        out += "\n";
    }
    return out + std::to_string(store.len());
}

std::string controller_state(const MigrationController& mc) {
    std::string text;
    return listing(mc.list_json(text), text) + std::to_string(mc.count_active());
}

std::vector<Case> cases() {
    static AgentRegistry reg;
    static InMemoryStateStore store;
    static MigrationController mc("app");
    static std::string out;  // what an operation writes its result to
    auto reset_registry = [] {
        reg = AgentRegistry();
        ASSERT_TRUE(reg.register_agent_json("T", kPresent, 1, R"({"a":"b"})", out));
    };
    auto reset_store = [] {
        store = InMemoryStateStore();
        ASSERT_TRUE(store.set_text(kPresent, "[1,2,3]"));
    };
    auto reset_controller = [] {
        mc = MigrationController("app");
        ASSERT_TRUE(mc.start_json(kActive, kLong, kLong, out));
        ASSERT_TRUE(mc.start_json(kDone, "a", "b", out));
        for (std::uint8_t s = 1; s < kStageDone; ++s) ASSERT_TRUE(mc.advance_json(kDone, 1, 1, out));
    };
    auto reg_state = [] { return registry_state(reg); };
    auto reg_poisoned = [] { return reg.poisoned(); };
    auto store_st = [] { return store_state(store); };
    auto store_poisoned = [] { return store.poisoned(); };
    auto mc_state = [] { return controller_state(mc); };
    auto mc_poisoned = [] { return mc.poisoned(); };
    return {
        {"register", reset_registry,
         [] {
             std::string text;  // a result buffer of its own, as the facade's is on a thread's first call
             return reg.register_agent_json(kLong, kNew, 2, "[\"" + kLong + "\"]", text).has_value();
         },
         reg_state, reg_poisoned},
        {"update_status", reset_registry, [] { return reg.update_status(kPresent, AgentStatus::Idle).has_value(); },
         reg_state, reg_poisoned},
        {"route", reset_registry, [] { return reg.route(kLong, kPresent).has_value(); }, reg_state, reg_poisoned},
        {"deregister", reset_registry, [] { return reg.deregister(kPresent).has_value(); }, reg_state, reg_poisoned},
        {"state_set_new", reset_store,
         [] { return store.set_text(kNew, "{\"b\":[\"" + kLong + "\",1],\"a\":0}").has_value(); }, store_st,
         store_poisoned},
        {"state_set_again", reset_store, [] { return store.set_text(kPresent, "\"" + kLong + "\"").has_value(); },
         store_st, store_poisoned},
        {"state_delete", reset_store, [] { return store.remove(kPresent).has_value(); }, store_st, store_poisoned},
        {"start", reset_controller,
         [] {
             std::string text;
             return mc.start_json(kNew, kLong, kLong, text).has_value();
         },
         mc_state, mc_poisoned},
        {"start_replacing", reset_controller,
         [] {
             std::string text;
             return mc.start_json(kDone, kLong, kLong, text).has_value();
         },
         mc_state, mc_poisoned},
        {"advance", reset_controller,
         [] {
             std::string text;
             return mc.advance_json(kActive, 3, 4, text).has_value();
         },
         mc_state, mc_poisoned},
        {"rollback", reset_controller,
         [] {
             std::string text;
             return mc.rollback_json(kActive, text).has_value();
         },
         mc_state, mc_poisoned},
    };
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class EachAllocationFails : public ::testing::TestWithParam<Case> {};

TEST_P(EachAllocationFails, LeavesTheComponentUnchangedAndUsable) {
    if (!test::allocation_failure_works()) GTEST_SKIP() << "allocations cannot be made to fail under this tool";
    const Case& c = GetParam();
    // A first call grows what the thread keeps from one call to the next (its scratch texts), so
    // that every call counted or failed below makes the same allocations.
    c.setup();
    ASSERT_TRUE(c.op());
    c.setup();
    bool succeeded = false;
    const std::size_t made = test::count_allocations([&] { succeeded = c.op(); });
    ASSERT_TRUE(succeeded);
    for (std::size_t n = 1; n <= made; ++n) {
        c.setup();
        const std::string before = c.state();
        ASSERT_TRUE(test::run_failing_at(n, [&] { (void)c.op(); }))
            << "allocation " << n << " of the " << made << " counted was not made";
        EXPECT_FALSE(c.poisoned()) << "allocation " << n;
        EXPECT_EQ(c.state(), before) << "allocation " << n;
        EXPECT_TRUE(c.op()) << "the call after allocation " << n << " failed";
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, EachAllocationFails, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvo
