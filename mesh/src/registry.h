// Agents: their records and statuses, and the registry that holds them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/error.h"
#include "json/cursor.h"
#include "json/value.h"
#include "json/write.h"

namespace korvo {

enum class AgentStatus : std::uint8_t { Starting, Running, Idle, Stopping, Stopped, Error };
inline constexpr std::size_t kAgentStatusCount = 6;

std::string_view status_name(AgentStatus status) noexcept;
// Exact, case-sensitive match of one of the six names; nullopt for any other text.
std::optional<AgentStatus> status_from_name(std::string_view name) noexcept;
// Unknown status "{name}". Valid values: starting, running, idle, stopping, stopped, error
void write_unknown_status(std::string_view name, std::string& out);

struct AgentEntry : json::WritesJson<AgentEntry> {
    std::string agent_id;
    std::string agent_type;
    AgentStatus status = AgentStatus::Starting;
    std::uint32_t instance = 0;
    std::string registered_at;
    std::string last_active;
    json::Value metadata;

    // The record's compact JSON, fields in declaration order.
    void write_json(std::string& out) const;
    friend bool operator==(const AgentEntry&, const AgentEntry&) = default;
};

// "[" entries "," ... "]"
void write_entries_json(const std::vector<AgentEntry>& entries, std::string& out);

// The descriptor of a call routed to an agent of this process:
// {"agent_id":..,"agent_type":..,"method":..,"node":"localhost","status":"routed"}
void write_route_descriptor(std::string_view agent_type, std::string_view agent_id, std::string_view method,
                            std::string& out);

// A registration as it was made, so that a caller who cannot hand its result on can take it back.
struct Registration {
    std::uint64_t generation = 0;  // tells this registration's entry from a later one with the same id
};

class AgentRegistry {
public:
    explicit AgentRegistry(std::shared_ptr<const Clock> clock = system_clock());
    ~AgentRegistry();
    AgentRegistry(AgentRegistry&&) noexcept;
    AgentRegistry& operator=(AgentRegistry&&) noexcept;

    // A null metadata optional stores the empty object.
    Result<AgentEntry> register_agent(std::string_view agent_type, std::string_view agent_id, std::uint32_t instance,
                                      std::optional<json::Value> metadata);
    Result<std::optional<AgentEntry>> get(std::string_view agent_id) const;
    Result<std::vector<AgentEntry>> list(std::optional<std::string_view> agent_type,
                                         std::optional<std::string_view> status) const;
    Status update_status(std::string_view agent_id, AgentStatus status);
    Status deregister(std::string_view agent_id);
    std::size_t count() const noexcept;
    std::size_t count_by_status(std::string_view status) const noexcept;

    // Routing in one exclusive section: the agent must exist and be neither stopped nor
    // errored (else AgentNotFound(agent_type, agent_id)); it is then marked running.
    Status route(std::string_view agent_type, std::string_view agent_id);

    // Writing variants: the record JSON goes straight into `out`, with no copy of the entry.
    // The metadata comes as JSON text, canonicalized once here (absent: the empty object); text that
    // does not read fails with SerializationError before anything else is done.
    Result<Registration> register_agent_json(std::string_view agent_type, std::string_view agent_id,
                                             std::uint32_t instance, std::optional<std::string_view> metadata_json,
                                             std::string& out, json::Source source = json::Source::Bytes);
    // The counts the health views read, all in one section.
    struct Counts {
        std::size_t total = 0;
        std::array<std::size_t, kAgentStatusCount> by_status{};
    };
    Counts counts() const noexcept;
    // Removes the entry `done` made, if it is still there and still the same entry; never fails.
    void undo(std::string_view agent_id, const Registration& done) noexcept;
    // True and the entry's JSON appended when present; false when absent.
    Result<bool> get_json(std::string_view agent_id, std::string& out) const;
    Status list_json(std::optional<std::string_view> agent_type, std::optional<std::string_view> status,
                     std::string& out) const;

    bool poisoned() const noexcept;

    // Post-mortem diagnostics: a copy of the stored entry, read in a shared section even when the
    // lock is poisoned. Exclusive operations either finish every change they make or make none,
    // so an entry seen here is never half updated.
    std::optional<AgentEntry> inspect(std::string_view agent_id) const;

private:
    struct Core;
    // Registers an agent whose metadata is canonical text; `write` (may be null) appends the new
    // record's JSON to it under the lock, into room reserved before.
    Result<Registration> add(std::string_view agent_type, std::string_view agent_id, std::uint32_t instance,
                             std::string_view metadata, std::string* write, TimestampText& stamp);

    std::shared_ptr<Core> core_;
};

}  // namespace korvo
