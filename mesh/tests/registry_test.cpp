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
#include "support/records.h"

namespace korvo {
namespace {

using namespace std::chrono_literals;

using test::ManualClock;
using test::parsed;
using test::text_at;

constexpr std::array<AgentStatus, kAgentStatusCount> kAllStatuses{
    AgentStatus::Starting, AgentStatus::Running, AgentStatus::Idle,
    AgentStatus::Stopping, AgentStatus::Stopped, AgentStatus::Error,
};

class RegistryTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(
        TimePoint{std::chrono::sys_days{std::chrono::March / 1 / 2026}.time_since_epoch()} + 9h + 30min + 15s +
        123456us);
    AgentRegistry reg{clock};

    std::string now_text() const { return format_timestamp(clock->time()); }

    // The new agent's record, as register_agent_json wrote it.
    std::string add(std::string_view type, std::string_view id, AgentStatus status = AgentStatus::Starting,
                    std::optional<std::string_view> metadata = std::nullopt, std::uint32_t instance = 0) {
        std::string out;
        EXPECT_TRUE(reg.register_agent_json(type, id, instance, metadata, out).has_value()) << id;
        if (status != AgentStatus::Starting) {
            EXPECT_TRUE(reg.update_status(id, status).has_value());
        }
        return out;
    }
    std::string stored_text(std::string_view id) const {
        std::string out;
        const auto found = reg.get_json(id, out);
        EXPECT_TRUE(found.has_value() && *found) << "no entry " << id;
        return out;
    }
    json::Value stored(std::string_view id) const { return parsed(stored_text(id)); }
    bool present(std::string_view id) const {
        std::string out;
        return reg.get_json(id, out).value();
    }
    std::size_t with_status(AgentStatus s) const { return reg.counts().by_status[static_cast<std::size_t>(s)]; }

    std::vector<std::string> ids(std::optional<std::string_view> type, std::optional<std::string_view> status) const {
        std::string listed;
        EXPECT_TRUE(reg.list_json(type, status, listed).has_value());
        const json::Value all = parsed(listed);
        std::vector<std::string> out;
        for (const auto& e : all.as_array()) out.push_back(text_at(e, "agent_id"));
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
    const std::string text = add("Customer", "customer-123");
    EXPECT_EQ(clock->reads(), 1u);
    EXPECT_EQ(text,
              R"({"agent_id":"customer-123","agent_type":"Customer","status":"starting","instance":0,)"
              R"("registered_at":"2026-03-01T09:30:15.123456+00:00","last_active":"2026-03-01T09:30:15.123456+00:00",)"
              R"("metadata":{}})");
    EXPECT_EQ(stored_text("customer-123"), text);
}

TEST_F(RegistryTest, DuplicateIdIsRefusedAndLeavesTheEntryAlone) {
    add("Customer", "customer-123");
    const std::string before = stored_text("customer-123");
    clock->advance(5s);
    std::string out = "keep";
    auto again = reg.register_agent_json("Other", "customer-123", 7, "[1]", out);
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error(), MeshError::agent_already_registered("customer-123"));
    EXPECT_EQ(again.error().message(), "Agent 'customer-123' is already registered");
    EXPECT_EQ(out, "keep");
    EXPECT_EQ(stored_text("customer-123"), before);
    EXPECT_EQ(reg.count(), 1u);
    EXPECT_EQ(with_status(AgentStatus::Starting), 1u);
}

// Both writing paths of the record: texts copied whole, and texts that need escaping.
TEST_F(RegistryTest, EntryJsonForms) {
    struct Case {
        const char* type;
        const char* id;
        std::uint32_t instance;
        std::optional<std::string_view> metadata;
        const char* expected;  // % stands for the two timestamps
    };
    const Case cases[] = {
        {"T", "array", 1, " [1, 2] ", R"({"agent_id":"array","agent_type":"T","status":"starting","instance":1,%"metadata":[1,2]})"},
        {"T", "null", 2, "null", R"({"agent_id":"null","agent_type":"T","status":"starting","instance":2,%"metadata":null})"},
        {"T", "sorted", 3, R"({"b":1,"a":2})", R"({"agent_id":"sorted","agent_type":"T","status":"starting","instance":3,%"metadata":{"a":2,"b":1}})"},
        {"T", "max_instance", 4294967295u, std::nullopt, R"({"agent_id":"max_instance","agent_type":"T","status":"starting","instance":4294967295,%"metadata":{}})"},
        {"", "", 0, R"("text")", R"({"agent_id":"","agent_type":"","status":"starting","instance":0,%"metadata":"text"})"},
        {"T", "q\"\\\n", 0, std::nullopt, R"({"agent_id":"q\"\\\n","agent_type":"T","status":"starting","instance":0,%"metadata":{}})"},
        {"q\x1f\"", "esc-type", 0, std::nullopt, R"({"agent_id":"esc-type","agent_type":"q\u001f\"","status":"starting","instance":0,%"metadata":{}})"},
    };
    const std::string stamps = R"("registered_at":")" + now_text() + R"(","last_active":")" + now_text() + R"(",)";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        std::string expected = c.expected;
        expected.replace(expected.find('%'), 1, stamps);
        EXPECT_EQ(add(c.type, c.id, AgentStatus::Starting, c.metadata, c.instance), expected);
        std::string got = "[";
        ASSERT_TRUE(reg.get_json(c.id, got).value());
        EXPECT_EQ(got, "[" + expected);
    }
    std::string listed;
    ASSERT_TRUE(reg.list_json(std::nullopt, std::nullopt, listed).has_value());
    EXPECT_EQ(test::sorted_items(listed).size(), std::size(cases));
}

TEST_F(RegistryTest, UpdateStatusSetsEveryStatusAndRefreshesLastActive) {
    add("Customer", "c1");
    const std::string registered = text_at(stored("c1"), "registered_at");
    for (AgentStatus status : kAllStatuses) {
        for (int repeat = 0; repeat < 2; ++repeat) {  // the same status again still refreshes
            clock->advance(1ms);
            ASSERT_TRUE(reg.update_status("c1", status).has_value());
            const json::Value e = stored("c1");
            EXPECT_EQ(text_at(e, "status"), status_name(status));
            EXPECT_EQ(text_at(e, "last_active"), now_text());
            EXPECT_EQ(text_at(e, "registered_at"), registered);
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
        const std::string before = stored_text(id);
        clock->advance(1s);
        // The type given to route is only used in the error; it is not compared with the entry's.
        auto r = reg.route("Other", id);
        if (c.routable) {
            ASSERT_TRUE(r.has_value());
            const json::Value after = stored(id);
            EXPECT_EQ(text_at(after, "status"), "running");
            EXPECT_EQ(text_at(after, "last_active"), now_text());
            EXPECT_EQ(text_at(after, "registered_at"), text_at(parsed(before), "registered_at"));
            EXPECT_EQ(text_at(after, "agent_type"), "Customer");
        } else {
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(r.error(), MeshError::agent_not_found("Other", id));
            EXPECT_EQ(stored_text(id), before);
        }
    }
    auto missing = reg.route("Customer", "ghost");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().message(), "Agent 'Customer/ghost' not found in registry");
    EXPECT_EQ(with_status(AgentStatus::Running), 4u);
    EXPECT_EQ(with_status(AgentStatus::Stopped), 1u);
    EXPECT_EQ(with_status(AgentStatus::Error), 1u);
}

TEST(RouteDescriptor, NamesTheCallAndEscapesItsTexts) {
    std::string out = ">";
    write_route_descriptor("Cu\"st", "c-1", "m\n", out);
    EXPECT_EQ(out, R"(>{"agent_id":"c-1","agent_type":"Cu\"st","method":"m\n","node":"localhost","status":"routed"})");
}

TEST_F(RegistryTest, RefusalsDoNotReadTheClock) {
    add("Customer", "c1", AgentStatus::Stopped);
    clock->set_failure(ManualClock::Failure::Throw);
    const auto reads = clock->reads();
    std::string out;
    EXPECT_FALSE(reg.register_agent_json("Customer", "c1", 0, std::nullopt, out).has_value());
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
    EXPECT_EQ(with_status(AgentStatus::Error), 0u);
    EXPECT_FALSE(present("c1"));
    EXPECT_TRUE(reg.deregister("c1").has_value());
    EXPECT_TRUE(reg.deregister("never").has_value());

    clock->advance(1h);
    const json::Value again = parsed(add("Other", "c1", AgentStatus::Starting, std::nullopt, 2));
    EXPECT_EQ(text_at(again, "status"), "starting");
    EXPECT_EQ(text_at(again, "registered_at"), now_text());
    EXPECT_EQ(text_at(again, "agent_type"), "Other");
    EXPECT_EQ(with_status(AgentStatus::Starting), 1u);
}

// The undo the facade runs when a registration's result cannot be handed back.
TEST_F(RegistryTest, UndoTakesBackOnlyItsOwnRegistration) {
    std::string out;
    const auto first = reg.register_agent_json("T", "a", 0, std::nullopt, out);
    ASSERT_TRUE(first.has_value());
    reg.undo("a", *first);
    EXPECT_FALSE(present("a"));
    EXPECT_EQ(reg.counts().total, 0u);
    EXPECT_EQ(with_status(AgentStatus::Starting), 0u);

    // A later registration of the same id is not the one undone.
    const auto second = reg.register_agent_json("T", "a", 1, std::nullopt, out);
    ASSERT_TRUE(second.has_value());
    reg.undo("a", *first);
    EXPECT_TRUE(present("a"));
    ASSERT_TRUE(reg.update_status("a", AgentStatus::Idle).has_value());
    reg.undo("a", *second);
    EXPECT_FALSE(present("a"));
    EXPECT_EQ(with_status(AgentStatus::Idle), 0u);
    reg.undo("a", *second);  // already gone: nothing to do
    EXPECT_EQ(reg.count(), 0u);
}

TEST_F(RegistryTest, ListFilters) {
    add("Customer", "c1", AgentStatus::Running);
    add("Customer", "c2", AgentStatus::Idle);
    add("Order", "o1", AgentStatus::Running);
    add("", "blank", AgentStatus::Stopped);
    add("customer", "lower");

    using V = std::vector<std::string>;
    EXPECT_EQ(ids(std::nullopt, std::nullopt), (V{"blank", "c1", "c2", "lower", "o1"}));
    EXPECT_EQ(ids("Customer", std::nullopt), (V{"c1", "c2"}));
    EXPECT_EQ(ids(std::nullopt, "running"), (V{"c1", "o1"}));
    EXPECT_EQ(ids("Customer", "running"), (V{"c1"}));
    EXPECT_EQ(ids("", std::nullopt), (V{"blank"}));
    EXPECT_EQ(ids("Nobody", std::nullopt), V{});
    for (std::string_view bad : {"Running", "running ", "", "RUNNING"}) EXPECT_EQ(ids(std::nullopt, bad), V{}) << bad;
    // The listing holds each record as get_json writes it.
    std::string listed;
    ASSERT_TRUE(reg.list_json("Customer", "idle", listed).has_value());
    EXPECT_EQ(listed, "[" + stored_text("c2") + "]");
}

TEST_F(RegistryTest, EmptyRegistry) {
    EXPECT_EQ(reg.count(), 0u);
    EXPECT_EQ(reg.counts().by_status, (std::array<std::size_t, kAgentStatusCount>{}));
    std::string out;
    ASSERT_TRUE(reg.list_json(std::nullopt, std::nullopt, out).has_value());
    EXPECT_EQ(out, "[]");
    EXPECT_FALSE(present("x"));
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
            case 0: {
                std::string out;
                EXPECT_EQ(reg.register_agent_json("T", id, 0, std::nullopt, out).has_value(), !present);
                model.try_emplace(id, AgentStatus::Starting);
                break;
            }
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
            ASSERT_EQ(with_status(s), static_cast<std::size_t>(expected))
                << "step " << step << " status " << status_name(s);
        }
    }
    std::string listed;
    ASSERT_TRUE(reg.list_json(std::nullopt, std::nullopt, listed).has_value());
    const json::Value all = parsed(listed);
    ASSERT_EQ(all.as_array().size(), model.size());
    for (const auto& e : all.as_array()) EXPECT_EQ(text_at(e, "status"), status_name(model.at(text_at(e, "agent_id"))));
}

TEST_F(RegistryTest, LookupsUseTheTextAsGivenByteForByte) {
    const std::string long_id(10000, 'x');
    add("T", long_id);
    add("T", "caf\xc3\xa9");
    add("T", std::string("nul\0id", 6));
    EXPECT_EQ(text_at(stored(long_id), "agent_id"), long_id);
    EXPECT_EQ(text_at(stored("caf\xc3\xa9"), "agent_id"), "caf\xc3\xa9");
    EXPECT_TRUE(present(std::string_view("nul\0id", 6)));
    EXPECT_FALSE(present("nul"));
    EXPECT_FALSE(present("CAF\xc3\xa9"));
}

TEST_F(RegistryTest, MovedRegistryKeepsItsAgents) {
    add("T", "a", AgentStatus::Idle);
    AgentRegistry moved(std::move(reg));
    EXPECT_EQ(moved.count(), 1u);
    EXPECT_EQ(moved.counts().by_status[static_cast<std::size_t>(AgentStatus::Idle)], 1u);
    AgentRegistry assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.count(), 1u);
}

// Every operation of a poisoned registry fails the same way, writing nothing; the counts read 0.
void expect_poisoned(AgentRegistry& reg) {
    const MeshError poisoned = MeshError::state("registry lock poisoned");
    EXPECT_TRUE(reg.poisoned());
    EXPECT_EQ(poisoned.message(), "State error: registry lock poisoned");

    std::string out;
    auto registered = reg.register_agent_json("T", "new", 0, std::nullopt, out);
    ASSERT_FALSE(registered.has_value());
    EXPECT_EQ(registered.error(), poisoned);
    for (std::string_view id : {"a", "ghost"}) {
        auto got = reg.get_json(id, out);
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error(), poisoned);
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
    auto listed = reg.list_json("T", "idle", out);
    ASSERT_FALSE(listed.has_value());
    EXPECT_EQ(listed.error(), poisoned);
    EXPECT_EQ(out, "");
    EXPECT_EQ(reg.count(), 0u);
    EXPECT_EQ(reg.counts().total, 0u);
}

enum class ClockCulprit { Register, Update, Route };

class RegistryClockFailure : public RegistryTest, public ::testing::WithParamInterface<ClockCulprit> {};

// A clock that fails inside a section poisons the registry for good; a register writes nothing.
TEST_P(RegistryClockFailure, PoisonsForGood) {
    add("T", "a", AgentStatus::Stopping);
    clock->set_failure(ManualClock::Failure::Throw);
    std::string out;
    switch (GetParam()) {
        case ClockCulprit::Register:
            EXPECT_THROW((void)reg.register_agent_json("T", "b", 0, std::nullopt, out), ClockError);
            break;
        case ClockCulprit::Update: EXPECT_THROW((void)reg.update_status("a", AgentStatus::Stopped), ClockError); break;
        case ClockCulprit::Route: EXPECT_THROW((void)reg.route("T", "a"), ClockError); break;
    }
    EXPECT_EQ(out, "");
    expect_poisoned(reg);
    clock->set_failure(ManualClock::Failure::None);  // a working clock does not heal it
    expect_poisoned(reg);
}

INSTANTIATE_TEST_SUITE_P(Operations, RegistryClockFailure,
                         ::testing::Values(ClockCulprit::Register, ClockCulprit::Update, ClockCulprit::Route));

TEST_F(RegistryTest, ListJsonOfManyAgentsHoldsEachOnce) {
    constexpr int kAgents = 100000;
    for (int i = 0; i < kAgents; ++i) {
        std::string out;
        ASSERT_TRUE(reg.register_agent_json(i % 2 ? "Odd" : "Even", "agent-" + std::to_string(i),
                                            static_cast<std::uint32_t>(i), std::nullopt, out));
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
