// Agents: their statuses, the records the registry keeps of them, and the routing of calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/error.h"
#include "json/cursor.h"

namespace korvo {

struct LockWait;  // base/lock.h

enum class AgentStatus : std::uint8_t { Starting, Running, Idle, Stopping, Stopped, Error };
// The statuses' names, in the order of AgentStatus: the one list of them.
inline constexpr auto kStatusNames =
    std::to_array<std::string_view>({"starting", "running", "idle", "stopping", "stopped", "error"});
inline constexpr std::size_t kAgentStatusCount = kStatusNames.size();
static_assert(kAgentStatusCount == static_cast<std::size_t>(AgentStatus::Error) + 1, "a status without its name");

std::string_view status_name(AgentStatus status) noexcept;
// Exact, case-sensitive match of one of the names; nullopt for any other text.
std::optional<AgentStatus> status_from_name(std::string_view name) noexcept;
// The message for a text that names no status: the text quoted, then the names there are.
void write_unknown_status(std::string_view name, std::string& out);

// The descriptor of a call routed to an agent of this process:
// {"agent_id":..,"agent_type":..,"method":..,"node":"localhost","status":"routed"}
void write_route_descriptor(std::string_view agent_type, std::string_view agent_id, std::string_view method,
                            std::string& out);

// A registration as it was made, so that a caller who cannot hand its result on can take it back.
struct Registration {
    std::uint64_t generation = 0;  // tells this registration's entry from a later one with the same id
};

// The agents, by id. Results are written as the agents' JSON records (AgentEntry, registry.cpp).
class AgentRegistry {
public:
    // `wait`, when given, is what a call lets go of while it waits for the registry's lock.
    explicit AgentRegistry(std::shared_ptr<const Clock> clock = system_clock(), const LockWait* wait = nullptr);
    ~AgentRegistry();
    AgentRegistry(AgentRegistry&&) noexcept;
    AgentRegistry& operator=(AgentRegistry&&) noexcept;

    // Registers an agent with status starting and appends its record to `out`. The metadata comes
    // as JSON text, canonicalized once here (absent: the empty object); text that does not read
    // fails with SerializationError before anything else is done.
    Result<Registration> register_agent_json(std::string_view agent_type, std::string_view agent_id,
                                             std::uint32_t instance, std::optional<std::string_view> metadata_json,
                                             std::string& out, json::Source source = json::Source::Bytes);
    // Removes the entry `done` made, if it is still there and still the same entry; never fails.
    void undo(std::string_view agent_id, const Registration& done) noexcept;
    // True and the agent's record appended when present; false when absent.
    Result<bool> get_json(std::string_view agent_id, std::string& out) const;
    // "[" records "," ... "]" of the agents that pass both filters; a status filter that names no
    // status matches nothing.
    Status list_json(std::optional<std::string_view> agent_type, std::optional<std::string_view> status,
                     std::string& out) const;
    Status update_status(std::string_view agent_id, AgentStatus status);
    Status deregister(std::string_view agent_id);

    // Routing in one exclusive section: the agent must exist and be neither stopped nor
    // errored (else AgentNotFound(agent_type, agent_id)); it is then marked running.
    Status route(std::string_view agent_type, std::string_view agent_id);

    std::size_t count() const noexcept;
    // The counts the health views read, all in one section.
    struct Counts {
        std::size_t total = 0;
        std::array<std::size_t, kAgentStatusCount> by_status{};
    };
    Counts counts() const noexcept;
    bool poisoned() const noexcept;

private:
    struct Core;
    std::shared_ptr<Core> core_;
};

}  // namespace korvo
