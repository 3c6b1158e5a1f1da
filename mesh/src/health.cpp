#include "health.h"

#include "channel.h"
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

void write_health_json(std::string_view app, const HealthCounts& c, std::string& out) {
    // Each half, around the name, is known to fit in this much.
    constexpr std::size_t kMost = 160 + 7 * json::RawWriter::kMaxUintDigits;
    json::write_sized(kMost, out, [&](json::RawWriter& w) {
        w.put(R"({"agents":{"error":)");
        w.put_uint(c.agents_error);
        w.put(R"(,"idle":)");
        w.put_uint(c.agents_idle);
        w.put(R"(,"running":)");
        w.put_uint(c.agents_running);
        w.put(R"(,"total":)");
        w.put_uint(c.agents_total);
        w.put(R"(},"app":)");
    });
    json::write_string(app, out);
    json::write_sized(kMost, out, [&](json::RawWriter& w) {
        w.put(R"(,"channels":{"topics":)");
        w.put_uint(c.topics);
        w.put(R"(},"migrations":{"active":)");
        w.put_uint(c.active_migrations);
        w.put(R"(},"state":{"keys":)");
        w.put_uint(c.state_keys);
        w.put(c.degraded ? R"(},"status":"degraded"})" : R"(},"status":"ok"})");
    });
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
