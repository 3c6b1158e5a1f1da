#include "health.h"

#include <algorithm>

#include "channel.h"
#include "json/record.h"
#include "json/write.h"
#include "migration.h"
#include "registry.h"
#include "state.h"
#include "base/text_quote.h"

namespace korvo {

HealthCounts read_health(const AgentRegistry& registry, const InMemoryStateStore& store,
                         const MigrationController& migrations, const MeshChannel& channel) {
    HealthCounts c;
    const AgentRegistry::Counts agents = registry.counts();  // one section for all four
    c.agents_total = agents.total;
    c.agents_running = agents.by_status[static_cast<std::size_t>(AgentStatus::Running)];
    c.agents_idle = agents.by_status[static_cast<std::size_t>(AgentStatus::Idle)];
    c.agents_error = agents.by_status[static_cast<std::size_t>(AgentStatus::Error)];
    c.state_keys = store.len();
    c.active_migrations = migrations.count_active();
    c.topics = channel.topic_count();
    c.degraded = registry.poisoned() || store.poisoned() || migrations.poisoned() || channel.poisoned();
    return c;
}

HealthCounts read_summary_counts(const AgentRegistry& registry, const InMemoryStateStore& store,
                                 const MigrationController& migrations) {
    HealthCounts c;
    c.agents_total = registry.count();
    c.state_keys = store.len();
    c.active_migrations = migrations.count_active();
    return c;
}

namespace {

// The snapshot as its record is read: the mesh's name and the counts.
struct Snapshot {
    json::SizedText app;  // sized: a plain name goes in with the fixed text
    const HealthCounts& c;
};

constexpr std::string_view kOk = "ok", kDegraded = "degraded";

constexpr auto kHealthRecord = json::record(
    json::object("agents", json::uint("error", [](const Snapshot& s) { return s.c.agents_error; }),
                 json::uint("idle", [](const Snapshot& s) { return s.c.agents_idle; }),
                 json::uint("running", [](const Snapshot& s) { return s.c.agents_running; }),
                 json::uint("total", [](const Snapshot& s) { return s.c.agents_total; })),
    json::text("app", &Snapshot::app),
    json::object("channels", json::uint("topics", [](const Snapshot& s) { return s.c.topics; })),
    json::object("migrations", json::uint("active", [](const Snapshot& s) { return s.c.active_migrations; })),
    json::object("state", json::uint("keys", [](const Snapshot& s) { return s.c.state_keys; })),
    json::plain("status", [](const Snapshot& s) { return s.c.degraded ? kDegraded : kOk; },
                std::max(kOk.size(), kDegraded.size())));

}  // namespace

void write_health_json(std::string_view app, const HealthCounts& c, std::string& out) {
    json::write_record<kHealthRecord>(Snapshot{json::sized(app), c}, out);
}

void write_summary(std::string_view app, const HealthCounts& c, std::string& out) {
    out += "KorvoMesh(app=";
    append_quoted(app, out);
    out += ", agents=";
    json::write_uint(c.agents_total, out);
    out += ", state_keys=";
    json::write_uint(c.state_keys, out);
    out += ", migrations=";
    json::write_uint(c.active_migrations, out);
    out += ')';
}

}  // namespace korvo
