// Every mutating operation of the registry, the store and the controller, with each of its
// allocations failing in turn: the operation ends with std::bad_alloc, the component is neither
// poisoned nor changed, and the same call succeeds once memory is there again.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "migration.h"
#include "registry.h"
#include "state.h"
#include "support/failing_alloc.h"

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
    std::function<void()> setup;   // brings the component to its starting state
    std::function<bool()> op;      // the operation; true on success
    std::function<std::string()> state;  // everything a caller can observe, as text
    std::function<bool()> poisoned;
    std::size_t min_points;  // allocations the operation makes at the least
};

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

std::string registry_state(const AgentRegistry& reg) {
    std::vector<std::string> rows;
    const auto listed = reg.list(std::nullopt, std::nullopt);
    for (const auto& e : listed.value()) rows.push_back(e.to_json());
    std::string out;
    for (const auto& r : sorted(rows)) out += r + "\n";
    for (const char* s : {"starting", "running", "idle", "stopping", "stopped", "error"}) {
        out += std::to_string(reg.count_by_status(s)) + " ";
    }
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
    std::vector<std::string> rows;
    const auto listed = mc.list_all();
    for (const auto& m : listed.value()) rows.push_back(m.to_json());
    std::string out;
    for (const auto& r : sorted(rows)) out += r + "\n";
    return out + std::to_string(mc.count_active());
}

std::vector<Case> cases() {
    static AgentRegistry reg;
    static InMemoryStateStore store;
    static MigrationController mc("app");
    auto reset_registry = [] {
        reg = AgentRegistry();
        ASSERT_TRUE(reg.register_agent("T", kPresent, 1, json::Value::object({{"a", json::Value("b")}})));
    };
    auto reset_store = [] {
        store = InMemoryStateStore();
        ASSERT_TRUE(store.set_text(kPresent, "[1,2,3]"));
    };
    auto reset_controller = [] {
        mc = MigrationController("app");
        ASSERT_TRUE(mc.start(kActive, kLong, kLong));
        ASSERT_TRUE(mc.start(kDone, "a", "b"));
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(mc.advance(kDone, 1, 1));
    };
    auto reg_state = [] { return registry_state(reg); };
    auto reg_poisoned = [] { return reg.poisoned(); };
    auto store_st = [] { return store_state(store); };
    auto store_poisoned = [] { return store.poisoned(); };
    auto mc_state = [] { return controller_state(mc); };
    auto mc_poisoned = [] { return mc.poisoned(); };
    return {
        {"register", reset_registry,
         [] { return reg.register_agent(kLong, kNew, 2, json::Value(json::Array{json::Value(kLong)})).has_value(); },
         reg_state, reg_poisoned, 3},
        {"register_json", reset_registry,
         [] {
             std::string out;
             return reg.register_agent_json(kLong, kNew, 2, "[\"" + kLong + "\"]", out).has_value();
         },
         reg_state, reg_poisoned, 3},
        {"update_status", reset_registry, [] { return reg.update_status(kPresent, AgentStatus::Idle).has_value(); },
         reg_state, reg_poisoned, 0},
        {"route", reset_registry, [] { return reg.route(kLong, kPresent).has_value(); }, reg_state,
         reg_poisoned, 0},
        {"deregister", reset_registry, [] { return reg.deregister(kPresent).has_value(); }, reg_state,
         reg_poisoned, 0},
        {"state_set_new", reset_store, [] { return store.set_text(kNew, "{\"b\":[\"" + kLong + "\",1],\"a\":0}").has_value(); },
         store_st, store_poisoned, 2},
        {"state_set_again", reset_store, [] { return store.set(kPresent, json::Value(kLong)).has_value(); },
         store_st, store_poisoned, 1},
        {"state_delete", reset_store, [] { return store.remove(kPresent).has_value(); }, store_st,
         store_poisoned, 0},
        {"start", reset_controller, [] { return mc.start(kNew, kLong, kLong).has_value(); }, mc_state,
         mc_poisoned, 3},
        {"start_replacing", reset_controller,
         [] {
             std::string out;
             return mc.start_json(kDone, kLong, kLong, out).has_value();
         },
         mc_state, mc_poisoned, 3},
        {"advance", reset_controller,
         [] {
             std::string out;
             return mc.advance_json(kActive, 3, 4, out).has_value();
         },
         mc_state, mc_poisoned, 1},
        {"rollback", reset_controller, [] { return mc.rollback(kActive).has_value(); }, mc_state,
         mc_poisoned, 1},
    };
}

class EachAllocationFails : public ::testing::TestWithParam<std::size_t> {};

TEST_P(EachAllocationFails, LeavesTheComponentUnchangedAndUsable) {
    if (!test::allocation_failure_works()) GTEST_SKIP() << "allocations cannot be made to fail under this tool";
    const Case c = cases()[GetParam()];
    SCOPED_TRACE(c.name);
    std::size_t points = 0;
    for (std::size_t n = 1;; ++n) {
        c.setup();
        const std::string before = c.state();
        bool succeeded = false;
        if (!test::run_failing_at(n, [&] { succeeded = c.op(); })) {
            ASSERT_TRUE(succeeded) << "the operation failed without an allocation failure";
            break;
        }
        ++points;
        EXPECT_FALSE(c.poisoned()) << "allocation " << n;
        EXPECT_EQ(c.state(), before) << "allocation " << n;
        EXPECT_TRUE(c.op()) << "the call after allocation " << n << " failed";
    }
    EXPECT_GE(points, c.min_points);
}

INSTANTIATE_TEST_SUITE_P(Operations, EachAllocationFails, ::testing::Range<std::size_t>(0, 12),
                         [](const auto& info) { return std::string(cases()[info.param].name); });

}  // namespace
}  // namespace korvo
