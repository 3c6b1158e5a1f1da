// The mesh-wide health views: the JSON snapshot and the one-line summary.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvo {

class AgentRegistry;
class InMemoryStateStore;
class MigrationController;
class MeshChannel;

// Counts gathered from the components one after another (not an atomic view).
struct HealthCounts {
    std::size_t agents_total = 0;
    std::size_t agents_running = 0;
    std::size_t agents_idle = 0;
    std::size_t agents_error = 0;
    std::size_t state_keys = 0;
    std::size_t active_migrations = 0;
    std::size_t topics = 0;
    // A component whose lock was poisoned reports zeros; the snapshot then says "degraded".
    bool degraded = false;
};

// Reads every count, each call taking and releasing its own component's lock in turn.
HealthCounts read_health(const AgentRegistry& registry, const InMemoryStateStore& store,
                         const MigrationController& migrations, const MeshChannel& channel);

// Reads the three counts the summary line shows: agents_total, state_keys, active_migrations.
HealthCounts read_summary_counts(const AgentRegistry& registry, const InMemoryStateStore& store,
                                 const MigrationController& migrations);

// {"agents":{"error":..,"idle":..,"running":..,"total":..},"app":..,"channels":{"topics":..},
//  "migrations":{"active":..},"state":{"keys":..},"status":"ok"|"degraded"}
void write_health_json(std::string_view app, const HealthCounts& counts, std::string& out);

// KorvoMesh(app="…", agents=N, state_keys=N, migrations=N)
void write_summary(std::string_view app, const HealthCounts& counts, std::string& out);

}  // namespace korvo
