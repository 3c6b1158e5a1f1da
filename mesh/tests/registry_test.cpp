#include "registry.h"
#include "json/write.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/manual_clock.h"

namespace korvo {
namespace {

using namespace std::chrono_literals;

using test::ManualClock;

constexpr std::array<AgentStatus, kAgentStatusCount> kAllStatuses{
    AgentStatus::Starting, AgentStatus::Running, AgentStatus::Idle,
    AgentStatus::Stopping, AgentStatus::Stopped, AgentStatus::Error,
};

json::Value u(std::uint64_t n) { return json::Value(n); }

class RegistryTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(
        TimePoint{std::chrono::sys_days{std::chrono::March / 1 / 2026}.time_since_epoch()} + 9h + 30min + 15s +
        123456us);
    AgentRegistry reg{clock};

    std::string now_text() const { return format_timestamp(clock->time()); }

    AgentEntry must_get(std::string_view id) const {
        auto got = reg.get(id);
        EXPECT_TRUE(got.has_value());
        EXPECT_TRUE(got->has_value()) << "no entry " << id;
        return got->value_or(AgentEntry{});
    }

    void add(std::string_view type, std::string_view id, AgentStatus status = AgentStatus::Starting) {
        ASSERT_TRUE(reg.register_agent(type, id, 0, std::nullopt).has_value());
        if (status != AgentStatus::Starting) {
            ASSERT_TRUE(reg.update_status(id, status).has_value());
        }
    }

    std::vector<std::string> ids(const Result<std::vector<AgentEntry>>& listed) const {
        EXPECT_TRUE(listed.has_value());
        std::vector<std::string> out;
        if (listed) {
            for (const auto& e : *listed) out.push_back(e.agent_id);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST(AgentStatusNames, RoundTripAndExactMatch) {
    const char* names[] = {"starting", "running", "idle", "stopping", "stopped", "error"};
    for (std::size_t i = 0; i < kAllStatuses.size(); ++i) {
        EXPECT_EQ(status_name(kAllStatuses[i]), names[i]);
        EXPECT_EQ(status_from_name(names[i]), kAllStatuses[i]);
    }
    for (const char* text : {"Running", "RUNNING", " running", "running ", "", "runnin", "runningg", "stop"}) {
        EXPECT_EQ(status_from_name(text), std::nullopt) << '"' << text << '"';
    }
    EXPECT_EQ(status_from_name(std::string_view("idle\0", 5)), std::nullopt);
}

TEST_F(RegistryTest, RegisterStoresAStartingEntryWithOneTimestamp) {
    auto entry = reg.register_agent("Customer", "customer-123", 0, std::nullopt);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(clock->reads(), 1u);
    EXPECT_EQ(entry->agent_id, "customer-123");
    EXPECT_EQ(entry->agent_type, "Customer");
    EXPECT_EQ(entry->status, AgentStatus::Starting);
    EXPECT_EQ(entry->instance, 0u);
    EXPECT_EQ(entry->registered_at, "2026-03-01T09:30:15.123456+00:00");
    EXPECT_EQ(entry->last_active, entry->registered_at);
    EXPECT_EQ(entry->metadata, json::Value::object({}));
    EXPECT_EQ(must_get("customer-123"), *entry);
    EXPECT_EQ(entry->to_json(),
              R"({"agent_id":"customer-123","agent_type":"Customer","status":"starting","instance":0,)"
              R"("registered_at":"2026-03-01T09:30:15.123456+00:00","last_active":"2026-03-01T09:30:15.123456+00:00",)"
              R"("metadata":{}})");
}

TEST_F(RegistryTest, DuplicateIdIsRefusedAndLeavesTheEntryAlone) {
    add("Customer", "customer-123");
    const AgentEntry before = must_get("customer-123");
    clock->advance(5s);
    auto again = reg.register_agent("Other", "customer-123", 7, json::Value(json::Array{u(1)}));
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error(), MeshError::agent_already_registered("customer-123"));
    EXPECT_EQ(again.error().message(), "Agent 'customer-123' is already registered");
    EXPECT_EQ(must_get("customer-123"), before);
    EXPECT_EQ(reg.count(), 1u);
    EXPECT_EQ(reg.count_by_status("starting"), 1u);

    std::string out = "keep";
    auto json_again = reg.register_agent_json("Other", "customer-123", 1, std::nullopt, out);
    ASSERT_FALSE(json_again.has_value());
    EXPECT_EQ(json_again.error(), MeshError::agent_already_registered("customer-123"));
    EXPECT_EQ(out, "keep");
}

TEST_F(RegistryTest, EntryJsonForms) {
    struct Case {
        const char* id;
        std::uint32_t instance;
        std::optional<json::Value> metadata;
        const char* expected_tail;
    };
    const std::string stamp = now_text();
    const Case cases[] = {
        {"array", 1, json::Value(json::Array{u(1), u(2)}), R"("instance":1,)" "%" R"("metadata":[1,2]})"},
        {"null", 2, json::Value(nullptr), R"("instance":2,)" "%" R"("metadata":null})"},
        {"sorted", 3, json::Value::object({{"b", u(1)}, {"a", u(2)}}), R"("instance":3,)" "%" R"("metadata":{"a":2,"b":1}})"},
        {"max_instance", 4294967295u, std::nullopt, R"("instance":4294967295,)" "%" R"("metadata":{}})"},
        {"", 0, json::Value("text"), R"("instance":0,)" "%" R"("metadata":"text"})"},
        {"q\"\\\n", 0, std::nullopt, R"("instance":0,)" "%" R"("metadata":{}})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        auto entry = reg.register_agent("T", c.id, c.instance, c.metadata);
        ASSERT_TRUE(entry.has_value());
        std::string tail = c.expected_tail;
        tail.replace(tail.find('%'), 1,
                     R"("registered_at":")" + stamp + R"(","last_active":")" + stamp + R"(",)");
        std::string id_json;
        json::write_string(c.id, id_json);
        const std::string expected = R"({"agent_id":)" + id_json + R"(,"agent_type":"T","status":"starting",)" + tail;
        EXPECT_EQ(entry->to_json(), expected);

        std::string got = "[";
        auto present = reg.get_json(c.id, got);
        ASSERT_TRUE(present.has_value());
        EXPECT_TRUE(*present);
        EXPECT_EQ(got, "[" + expected);
    }
}

TEST_F(RegistryTest, JsonVariantsMatchTheCopyingOperations) {
    std::string reg_out = ">";
    ASSERT_TRUE(reg.register_agent_json("A", "a1", 5, "true", reg_out).has_value());
    EXPECT_EQ(reg_out, ">" + must_get("a1").to_json());
    add("A", "a2", AgentStatus::Idle);
    add("B", "b1", AgentStatus::Idle);

    const std::optional<std::string_view> filters[][2] = {
        {std::nullopt, std::nullopt}, {"A", std::nullopt}, {std::nullopt, "idle"},
        {"A", "idle"},                {"", std::nullopt},  {std::nullopt, "Idle"},
    };
    for (const auto& f : filters) {
        auto copies = reg.list(f[0], f[1]);
        ASSERT_TRUE(copies.has_value());
        std::string expected = "pre";
        write_entries_json(*copies, expected);
        std::string got = "pre";
        ASSERT_TRUE(reg.list_json(f[0], f[1], got).has_value());
        EXPECT_EQ(got, expected);
    }

    std::string absent = "untouched";
    auto found = reg.get_json("ghost", absent);
    ASSERT_TRUE(found.has_value());
    EXPECT_FALSE(*found);
    EXPECT_EQ(absent, "untouched");
}

TEST(WriteEntriesJson, EmptyAndSeveral) {
    std::string out;
    write_entries_json({}, out);
    EXPECT_EQ(out, "[]");
    AgentEntry a;
    a.agent_id = "a";
    a.metadata = json::Value::object({});
    AgentEntry b = a;
    b.agent_id = "b";
    b.status = AgentStatus::Error;
    out.clear();
    write_entries_json({a, b}, out);
    EXPECT_EQ(out, "[" + a.to_json() + "," + b.to_json() + "]");
    EXPECT_NE(b.to_json().find(R"("status":"error")"), std::string::npos);
}

TEST_F(RegistryTest, UpdateStatusSetsEveryStatusAndRefreshesLastActive) {
    add("Customer", "c1");
    const std::string registered = must_get("c1").registered_at;
    for (AgentStatus status : kAllStatuses) {
        for (int repeat = 0; repeat < 2; ++repeat) {  // the same status again still refreshes
            clock->advance(1ms);
            ASSERT_TRUE(reg.update_status("c1", status).has_value());
            const AgentEntry e = must_get("c1");
            EXPECT_EQ(e.status, status);
            EXPECT_EQ(e.last_active, now_text());
            EXPECT_EQ(e.registered_at, registered);
        }
    }
}

TEST_F(RegistryTest, UpdateStatusOfUnknownIdNamesOnlyTheId) {
    auto r = reg.update_status("ghost", AgentStatus::Running);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), MeshError::agent_not_found("", "ghost"));
    EXPECT_EQ(r.error().message(), "Agent '/ghost' not found in registry");
    EXPECT_EQ(reg.count(), 0u);
}

TEST_F(RegistryTest, RouteRules) {
    struct Case {
        AgentStatus before;
        bool routable;
    };
    const Case cases[] = {
        {AgentStatus::Starting, true}, {AgentStatus::Running, true}, {AgentStatus::Idle, true},
        {AgentStatus::Stopping, true}, {AgentStatus::Stopped, false}, {AgentStatus::Error, false},
    };
    for (const auto& c : cases) {
        const std::string id = "agent-" + std::string(status_name(c.before));
        SCOPED_TRACE(id);
        add("Customer", id, c.before);
        const AgentEntry before = must_get(id);
        clock->advance(1s);
        // The type given to route is only used in the error; it is not compared with the entry's.
        auto r = reg.route("Other", id);
        if (c.routable) {
            ASSERT_TRUE(r.has_value());
            const AgentEntry after = must_get(id);
            EXPECT_EQ(after.status, AgentStatus::Running);
            EXPECT_EQ(after.last_active, now_text());
            EXPECT_EQ(after.registered_at, before.registered_at);
            EXPECT_EQ(after.agent_type, "Customer");
        } else {
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(r.error(), MeshError::agent_not_found("Other", id));
            EXPECT_EQ(must_get(id), before);
        }
    }
    auto missing = reg.route("Customer", "ghost");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().message(), "Agent 'Customer/ghost' not found in registry");
    EXPECT_EQ(reg.count_by_status("running"), 4u);
    EXPECT_EQ(reg.count_by_status("stopped"), 1u);
    EXPECT_EQ(reg.count_by_status("error"), 1u);
}

TEST_F(RegistryTest, RefusalsDoNotReadTheClock) {
    add("Customer", "c1", AgentStatus::Stopped);
    clock->set_failure(ManualClock::Failure::Throw);
    const auto reads = clock->reads();
    EXPECT_FALSE(reg.register_agent("Customer", "c1", 0, std::nullopt).has_value());
    EXPECT_FALSE(reg.update_status("ghost", AgentStatus::Idle).has_value());
    EXPECT_FALSE(reg.route("Customer", "c1").has_value());
    EXPECT_FALSE(reg.route("Customer", "ghost").has_value());
    EXPECT_EQ(clock->reads(), reads);
    EXPECT_FALSE(reg.poisoned());
    EXPECT_EQ(reg.count(), 1u);
}

TEST_F(RegistryTest, DeregisterRemovesAndAllowsAFreshRegistration) {
    add("Customer", "c1", AgentStatus::Error);
    ASSERT_TRUE(reg.deregister("c1").has_value());
    EXPECT_EQ(reg.count(), 0u);
    EXPECT_EQ(reg.count_by_status("error"), 0u);
    auto gone = reg.get("c1");
    ASSERT_TRUE(gone.has_value());
    EXPECT_FALSE(gone->has_value());
    EXPECT_TRUE(reg.deregister("c1").has_value());
    EXPECT_TRUE(reg.deregister("never").has_value());

    clock->advance(1h);
    auto again = reg.register_agent("Other", "c1", 2, std::nullopt);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->status, AgentStatus::Starting);
    EXPECT_EQ(again->registered_at, now_text());
    EXPECT_EQ(again->agent_type, "Other");
    EXPECT_EQ(reg.count_by_status("starting"), 1u);
}

TEST_F(RegistryTest, ListFilters) {
    add("Customer", "c1", AgentStatus::Running);
    add("Customer", "c2", AgentStatus::Idle);
    add("Order", "o1", AgentStatus::Running);
    add("", "blank", AgentStatus::Stopped);
    add("customer", "lower");

    using V = std::vector<std::string>;
    EXPECT_EQ(ids(reg.list(std::nullopt, std::nullopt)), (V{"blank", "c1", "c2", "lower", "o1"}));
    EXPECT_EQ(ids(reg.list("Customer", std::nullopt)), (V{"c1", "c2"}));
    EXPECT_EQ(ids(reg.list(std::nullopt, "running")), (V{"c1", "o1"}));
    EXPECT_EQ(ids(reg.list("Customer", "running")), (V{"c1"}));
    EXPECT_EQ(ids(reg.list("", std::nullopt)), (V{"blank"}));
    EXPECT_EQ(ids(reg.list("Nobody", std::nullopt)), V{});
    for (std::string_view bad : {"Running", "running ", "", "RUNNING"}) {
        EXPECT_EQ(ids(reg.list(std::nullopt, bad)), V{}) << bad;
        EXPECT_EQ(reg.count_by_status(bad), 0u) << bad;
    }
}

TEST_F(RegistryTest, EmptyRegistry) {
    EXPECT_EQ(reg.count(), 0u);
    for (AgentStatus s : kAllStatuses) EXPECT_EQ(reg.count_by_status(status_name(s)), 0u);
    EXPECT_EQ(ids(reg.list(std::nullopt, std::nullopt)), std::vector<std::string>{});
    std::string out;
    ASSERT_TRUE(reg.list_json(std::nullopt, std::nullopt, out).has_value());
    EXPECT_EQ(out, "[]");
    auto got = reg.get("x");
    ASSERT_TRUE(got.has_value());
    EXPECT_FALSE(got->has_value());
}

TEST_F(RegistryTest, CountersFollowEveryChange) {
    // Random operations over a few ids, checked after each step against a plain model.
    std::mt19937 rng(20260301);
    std::map<std::string, AgentStatus> model;
    const std::string pool[] = {"a", "b", "c", "d", "e", "f"};
    for (int step = 0; step < 2000; ++step) {
        const std::string& id = pool[rng() % std::size(pool)];
        const AgentStatus status = kAllStatuses[rng() % kAllStatuses.size()];
        const bool present = model.contains(id);
        switch (rng() % 4) {
            case 0:
                EXPECT_EQ(reg.register_agent("T", id, 0, std::nullopt).has_value(), !present);
                model.try_emplace(id, AgentStatus::Starting);
                break;
            case 1:
                EXPECT_EQ(reg.update_status(id, status).has_value(), present);
                if (present) model[id] = status;
                break;
            case 2: {
                const bool routable =
                    present && model[id] != AgentStatus::Stopped && model[id] != AgentStatus::Error;
                EXPECT_EQ(reg.route("T", id).has_value(), routable);
                if (routable) model[id] = AgentStatus::Running;
                break;
            }
            default:
                EXPECT_TRUE(reg.deregister(id).has_value());
                model.erase(id);
                break;
        }
        ASSERT_EQ(reg.count(), model.size()) << "step " << step;
        for (AgentStatus s : kAllStatuses) {
            const auto expected = std::count_if(model.begin(), model.end(), [&](auto& kv) { return kv.second == s; });
            ASSERT_EQ(reg.count_by_status(status_name(s)), static_cast<std::size_t>(expected))
                << "step " << step << " status " << status_name(s);
        }
    }
    auto listed = reg.list(std::nullopt, std::nullopt);
    ASSERT_TRUE(listed.has_value());
    ASSERT_EQ(listed->size(), model.size());
    for (const auto& e : *listed) EXPECT_EQ(e.status, model.at(e.agent_id));
}

TEST_F(RegistryTest, ResultsAreDeepCopies) {
    ASSERT_TRUE(reg.register_agent("T", "a", 0, json::Value(json::Array{u(1)})).has_value());
    auto returned = reg.register_agent("T", "b", 0, json::Value(json::Array{u(2)}));
    ASSERT_TRUE(returned.has_value());
    returned->metadata.as_array().push_back(u(99));
    returned->agent_type = "changed";

    auto got = must_get("a");
    got.metadata.as_array().clear();
    got.status = AgentStatus::Error;

    auto listed = reg.list(std::nullopt, std::nullopt);
    ASSERT_TRUE(listed.has_value());
    for (auto& e : *listed) e.metadata.as_array().push_back(u(7));

    EXPECT_EQ(must_get("a").metadata, json::Value(json::Array{u(1)}));
    EXPECT_EQ(must_get("a").status, AgentStatus::Starting);
    EXPECT_EQ(must_get("b").metadata, json::Value(json::Array{u(2)}));
    EXPECT_EQ(must_get("b").agent_type, "T");
}

TEST_F(RegistryTest, LookupsUseTheTextAsGivenByteForByte) {
    const std::string long_id(10000, 'x');
    add("T", long_id);
    add("T", "caf\xc3\xa9");
    add("T", std::string("nul\0id", 6));
    EXPECT_EQ(must_get(long_id).agent_id, long_id);
    EXPECT_TRUE(must_get("caf\xc3\xa9").agent_id == "caf\xc3\xa9");
    auto nul = reg.get(std::string_view("nul\0id", 6));
    ASSERT_TRUE(nul.has_value() && nul->has_value());
    auto truncated = reg.get("nul");
    ASSERT_TRUE(truncated.has_value());
    EXPECT_FALSE(truncated->has_value());
    auto upper = reg.get("CAF\xc3\xa9");
    ASSERT_TRUE(upper.has_value());
    EXPECT_FALSE(upper->has_value());
}

TEST_F(RegistryTest, MovedRegistryKeepsItsAgents) {
    add("T", "a", AgentStatus::Idle);
    AgentRegistry moved(std::move(reg));
    EXPECT_EQ(moved.count(), 1u);
    EXPECT_EQ(moved.count_by_status("idle"), 1u);
    AgentRegistry assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.count(), 1u);
}

// Every operation of a poisoned registry fails the same way; the counts read 0.
void expect_poisoned(AgentRegistry& reg) {
    const MeshError poisoned = MeshError::state("registry lock poisoned");
    EXPECT_TRUE(reg.poisoned());
    EXPECT_EQ(poisoned.message(), "State error: registry lock poisoned");

    auto reg_r = reg.register_agent("T", "new", 0, std::nullopt);
    ASSERT_FALSE(reg_r.has_value());
    EXPECT_EQ(reg_r.error(), poisoned);
    std::string out;
    auto reg_json = reg.register_agent_json("T", "new", 0, std::nullopt, out);
    ASSERT_FALSE(reg_json.has_value());
    EXPECT_EQ(reg_json.error(), poisoned);
    for (std::string_view id : {"a", "ghost"}) {
        auto got = reg.get(id);
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error(), poisoned);
        auto got_json = reg.get_json(id, out);
        ASSERT_FALSE(got_json.has_value());
        EXPECT_EQ(got_json.error(), poisoned);
        auto upd = reg.update_status(id, AgentStatus::Idle);
        ASSERT_FALSE(upd.has_value());
        EXPECT_EQ(upd.error(), poisoned);
        auto routed = reg.route("T", id);
        ASSERT_FALSE(routed.has_value());
        EXPECT_EQ(routed.error(), poisoned);
        auto gone = reg.deregister(id);
        ASSERT_FALSE(gone.has_value());
        EXPECT_EQ(gone.error(), poisoned);
    }
    auto listed = reg.list(std::nullopt, std::nullopt);
    ASSERT_FALSE(listed.has_value());
    EXPECT_EQ(listed.error(), poisoned);
    auto listed_json = reg.list_json("T", "idle", out);
    ASSERT_FALSE(listed_json.has_value());
    EXPECT_EQ(listed_json.error(), poisoned);
    EXPECT_EQ(out, "");
    EXPECT_EQ(reg.count(), 0u);
    for (AgentStatus s : kAllStatuses) EXPECT_EQ(reg.count_by_status(status_name(s)), 0u);
}

TEST_F(RegistryTest, ClockFailureDuringRegisterPoisonsAndAddsNothing) {
    add("T", "a");
    clock->set_failure(ManualClock::Failure::Throw);
    EXPECT_THROW((void)reg.register_agent("T", "b", 0, std::nullopt), ClockError);
    expect_poisoned(reg);
    EXPECT_FALSE(reg.inspect("b").has_value());
    // A working clock does not heal the registry.
    clock->set_failure(ManualClock::Failure::None);
    expect_poisoned(reg);
}

TEST_F(RegistryTest, ClockFailureDuringUpdateLeavesNoHalfDoneUpdate) {
    add("T", "a", AgentStatus::Idle);
    const AgentEntry before = must_get("a");
    clock->set_failure(ManualClock::Failure::Throw);
    clock->advance(1s);
    EXPECT_THROW((void)reg.update_status("a", AgentStatus::Stopped), ClockError);
    expect_poisoned(reg);
    const auto stored = reg.inspect("a");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(*stored, before);
}

TEST_F(RegistryTest, ClockFailureDuringRouteLeavesNoHalfDoneUpdate) {
    add("T", "a", AgentStatus::Stopping);
    const AgentEntry before = must_get("a");
    clock->set_failure(ManualClock::Failure::Throw);
    EXPECT_THROW((void)reg.route("T", "a"), ClockError);
    expect_poisoned(reg);
    EXPECT_EQ(reg.inspect("a"), before);
}

TEST_F(RegistryTest, ClockFailureDuringRegisterJsonPoisonsAndWritesNothing) {
    clock->set_failure(ManualClock::Failure::Throw);
    std::string out;
    EXPECT_THROW((void)reg.register_agent_json("T", "a", 0, std::nullopt, out), ClockError);
    EXPECT_EQ(out, "");
    expect_poisoned(reg);
}

TEST_F(RegistryTest, ListJsonOfManyAgentsHoldsEachOnce) {
    constexpr int kAgents = 100000;
    for (int i = 0; i < kAgents; ++i) {
        ASSERT_TRUE(reg.register_agent(i % 2 ? "Odd" : "Even", "agent-" + std::to_string(i), i, std::nullopt));
    }
    std::string out;
    ASSERT_TRUE(reg.list_json(std::nullopt, std::nullopt, out).has_value());
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out.front(), '[');
    EXPECT_EQ(out.back(), ']');
    std::size_t records = 0;
    for (std::size_t at = out.find(R"({"agent_id":)"); at != std::string::npos; at = out.find(R"({"agent_id":)", at + 1)) {
        ++records;
    }
    EXPECT_EQ(records, static_cast<std::size_t>(kAgents));
    EXPECT_NE(out.find(R"("agent_id":"agent-99999","agent_type":"Odd","status":"starting","instance":99999,)"),
              std::string::npos);

    std::string odd;
    ASSERT_TRUE(reg.list_json("Odd", "starting", odd).has_value());
    EXPECT_EQ(std::count(odd.begin(), odd.end(), '{'), kAgents / 2 * 2);  // the record and its metadata
}

}  // namespace
}  // namespace korvo
