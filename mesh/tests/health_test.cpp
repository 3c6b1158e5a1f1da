#include "health.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "channel.h"
#include "migration.h"
#include "registry.h"
#include "state.h"
#include "support/manual_clock.h"

namespace korvo {
namespace {

using test::ManualClock;

struct Mesh {
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(TimePoint(std::chrono::seconds(1'700'000'000)));
    bool store_fails = false;
    bool channel_fails = false;
    AgentRegistry registry{clock};
    InMemoryStateStore store{[this] {
        if (store_fails) throw std::runtime_error("injected");
    }};
    MigrationController migrations{"app", clock};
    MeshChannel channel{clock, [this] {
        if (channel_fails) throw std::runtime_error("injected");
    }};

    std::string snapshot() {
        std::string out;
        write_health_json("app", read_health(registry, store, migrations, channel), out);
        return out;
    }
    void add_agent(std::string_view id) {
        std::string out;
        ASSERT_TRUE(registry.register_agent_json("T", id, 0, std::nullopt, out));
    }
    void start(std::string_view name) {
        std::string out;
        ASSERT_TRUE(migrations.start_json(name, "s", "t", out));
    }
};

TEST(Health, CountsEveryComponent) {
    Mesh m;
    for (const char* id : {"a", "b", "c"}) m.add_agent(id);
    ASSERT_TRUE(m.registry.update_status("a", AgentStatus::Running));
    ASSERT_TRUE(m.registry.update_status("b", AgentStatus::Stopped));
    ASSERT_TRUE(m.store.set("k", json::Value(std::uint64_t{1})));
    m.start("v");
    ASSERT_TRUE(m.channel.publish("t", "null"));
    EXPECT_EQ(m.snapshot(),
              R"({"agents":{"error":0,"idle":0,"running":1,"total":3},"app":"app","channels":{"topics":1},)"
              R"("migrations":{"active":1},"state":{"keys":1},"status":"ok"})");
}

// Each component poisoned on its own: its counts read 0 and the snapshot says so.
TEST(Health, PoisonedComponentIsReportedAsDegraded) {
    for (int which = 0; which < 4; ++which) {
        Mesh m;
        m.add_agent("a");
        ASSERT_TRUE(m.store.set("k", json::Value()));
        m.start("v");
        ASSERT_TRUE(m.channel.publish("t", "null"));
        std::string text;
        switch (which) {
            case 0:
                m.clock->set_failure(ManualClock::Failure::Throw);
                EXPECT_THROW((void)m.registry.update_status("a", AgentStatus::Idle), ClockError);
                break;
            case 1:
                m.store_fails = true;
                EXPECT_THROW((void)m.store.set("k2", json::Value()), std::runtime_error);
                break;
            case 2:
                m.clock->set_failure(ManualClock::Failure::Throw);
                EXPECT_THROW((void)m.migrations.advance_json("v", 0, 0, text), ClockError);
                break;
            default:
                m.channel_fails = true;
                EXPECT_THROW((void)m.channel.publish("u", "null"), std::runtime_error);
                break;
        }
        const HealthCounts c = read_health(m.registry, m.store, m.migrations, m.channel);
        EXPECT_TRUE(c.degraded) << which;
        EXPECT_EQ(c.agents_total, which == 0 ? 0u : 1u);
        EXPECT_EQ(c.state_keys, which == 1 ? 0u : 1u);
        EXPECT_EQ(c.active_migrations, which == 2 ? 0u : 1u);
        EXPECT_EQ(c.topics, which == 3 ? 0u : 1u);
        EXPECT_NE(m.snapshot().find(R"("status":"degraded"})"), std::string::npos) << which;
    }
}

TEST(Health, SummaryQuotesTheName) {
    HealthCounts c;
    c.agents_total = 2;
    c.state_keys = 3;
    c.active_migrations = 1;
    std::string out;
    write_summary("my\"app\x1b", c, out);
    EXPECT_EQ(out, R"(KorvoMesh(app="my\"app\u{1b}", agents=2, state_keys=3, migrations=1))");
}

}  // namespace
}  // namespace korvo
