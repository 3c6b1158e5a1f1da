#include "registry.h"

#include <functional>
#include <string>
#include <unordered_map>
#include <utility>

#include "lock.h"

namespace korvo {
namespace {

constexpr std::array<std::string_view, kAgentStatusCount> kStatusNames{
    "starting", "running", "idle", "stopping", "stopped", "error",
};

constexpr std::size_t index_of(AgentStatus status) noexcept { return static_cast<std::size_t>(status); }

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

using EntryMap = std::unordered_map<std::string, AgentEntry, TextHash, std::equal_to<>>;

MeshError poisoned_error() { return MeshError::state("registry lock poisoned"); }

// Bytes of one entry's JSON apart from its texts and metadata: keys, punctuation, status,
// instance and two timestamps of at most 35 characters.
constexpr std::size_t kEntryJsonOverhead = 192;

// A guess at an entry's JSON size, good enough to reserve once instead of growing repeatedly.
std::size_t estimated_json_size(const AgentEntry& entry) noexcept {
    const auto& meta = entry.metadata;
    std::size_t meta_size = 64;
    if (meta.type() == json::Value::Type::Object && meta.as_object().empty()) meta_size = 2;
    return kEntryJsonOverhead + entry.agent_id.size() + entry.agent_type.size() + meta_size;
}

}  // namespace

std::string_view status_name(AgentStatus status) noexcept {
    const auto i = index_of(status);
    return i < kStatusNames.size() ? kStatusNames[i] : std::string_view{};
}

std::optional<AgentStatus> status_from_name(std::string_view name) noexcept {
    for (std::size_t i = 0; i < kStatusNames.size(); ++i) {
        if (kStatusNames[i] == name) return static_cast<AgentStatus>(i);
    }
    return std::nullopt;
}

void AgentEntry::write_json(std::string& out) const {
    out.append("{\"agent_id\":");
    json::write_string(agent_id, out);
    out.append(",\"agent_type\":");
    json::write_string(agent_type, out);
    out.append(",\"status\":\"").append(status_name(status)).append("\",\"instance\":");
    json::write_uint(instance, out);
    out.append(",\"registered_at\":");
    json::write_string(registered_at, out);
    out.append(",\"last_active\":");
    json::write_string(last_active, out);
    out.append(",\"metadata\":");
    json::write(metadata, out);
    out.push_back('}');
}

void write_entries_json(const std::vector<AgentEntry>& entries, std::string& out) {
    std::size_t estimate = 2;
    for (const auto& entry : entries) estimate += estimated_json_size(entry) + 1;
    out.reserve(out.size() + estimate);
    out.push_back('[');
    bool first = true;
    for (const auto& entry : entries) {
        if (!first) out.push_back(',');
        first = false;
        entry.write_json(out);
    }
    out.push_back(']');
}

// The shared state behind a registry handle. Every member is guarded by `lock`; `by_status`
// counts the entries per status and is kept in step by the exclusive operations.
struct AgentRegistry::Core {
    explicit Core(std::shared_ptr<const Clock> c) : clock(std::move(c)) {}

    mutable PoisonLock lock;
    std::shared_ptr<const Clock> clock;
    EntryMap entries;
    std::array<std::size_t, kAgentStatusCount> by_status{};

    // Registers under the exclusive lock and hands the stored entry to `done`.
    template <class Done>
    Status add(std::string_view agent_type, std::string_view agent_id, std::uint32_t instance,
               std::optional<json::Value>& metadata, Done&& done) {
        PoisonLock::Exclusive guard(lock);
        if (guard.poisoned()) return fail(poisoned_error());
        if (entries.find(agent_id) != entries.end()) return fail(MeshError::agent_already_registered(agent_id));
        std::string now = timestamp(*clock);
        AgentEntry entry;
        entry.agent_id.assign(agent_id);
        entry.agent_type.assign(agent_type);
        entry.status = AgentStatus::Starting;
        entry.instance = instance;
        entry.registered_at = now;
        entry.last_active = std::move(now);
        entry.metadata = metadata ? std::move(*metadata) : json::Value::object({});
        const auto it = entries.emplace(std::string(agent_id), std::move(entry)).first;
        ++by_status[index_of(AgentStatus::Starting)];
        done(it->second);
        return {};
    }

    // Sets a stored entry's status with a fresh last_active. The time is read before anything
    // changes, so a failing clock leaves the entry as it was.
    void set_status(AgentEntry& entry, AgentStatus status) {
        const TimestampText now = timestamp_text(*clock);
        --by_status[index_of(entry.status)];
        ++by_status[index_of(status)];
        entry.status = status;
        entry.last_active.assign(now.view());  // reuses the entry's buffer
    }

    // Visits the entries that pass both filters; the caller holds the lock. A status filter
    // that names no status matches nothing.
    template <class Visit>
    void for_each_kept(std::optional<std::string_view> agent_type, std::optional<std::string_view> status,
                       Visit&& visit) const {
        std::optional<AgentStatus> wanted;
        if (status) {
            wanted = status_from_name(*status);
            if (!wanted) return;
        }
        for (const auto& [id, entry] : entries) {
            if (agent_type && entry.agent_type != *agent_type) continue;
            if (wanted && entry.status != *wanted) continue;
            visit(entry);
        }
    }
};

AgentRegistry::AgentRegistry(std::shared_ptr<const Clock> clock)
    : core_(std::make_shared<Core>(clock ? std::move(clock) : system_clock())) {}
AgentRegistry::~AgentRegistry() = default;
AgentRegistry::AgentRegistry(AgentRegistry&&) noexcept = default;
AgentRegistry& AgentRegistry::operator=(AgentRegistry&&) noexcept = default;

Result<AgentEntry> AgentRegistry::register_agent(std::string_view agent_type, std::string_view agent_id,
                                                 std::uint32_t instance, std::optional<json::Value> metadata) {
    std::optional<AgentEntry> copy;
    auto done = core_->add(agent_type, agent_id, instance, metadata, [&](const AgentEntry& e) { copy.emplace(e); });
    if (!done) return fail(std::move(done.error()));
    return std::move(*copy);
}

Status AgentRegistry::register_agent_json(std::string_view agent_type, std::string_view agent_id,
                                          std::uint32_t instance, std::optional<json::Value> metadata,
                                          std::string& out) {
    return core_->add(agent_type, agent_id, instance, metadata, [&](const AgentEntry& e) {
        out.reserve(out.size() + estimated_json_size(e));
        e.write_json(out);
    });
}

Result<std::optional<AgentEntry>> AgentRegistry::get(std::string_view agent_id) const {
    PoisonLock::Shared guard(core_->lock);
    if (guard.poisoned()) return fail(poisoned_error());
    const auto it = core_->entries.find(agent_id);
    if (it == core_->entries.end()) return std::optional<AgentEntry>{};
    return std::optional<AgentEntry>{it->second};
}

Result<bool> AgentRegistry::get_json(std::string_view agent_id, std::string& out) const {
    PoisonLock::Shared guard(core_->lock);
    if (guard.poisoned()) return fail(poisoned_error());
    const auto it = core_->entries.find(agent_id);
    if (it == core_->entries.end()) return false;
    out.reserve(out.size() + estimated_json_size(it->second));
    it->second.write_json(out);
    return true;
}

Result<std::vector<AgentEntry>> AgentRegistry::list(std::optional<std::string_view> agent_type,
                                                    std::optional<std::string_view> status) const {
    PoisonLock::Shared guard(core_->lock);
    if (guard.poisoned()) return fail(poisoned_error());
    std::vector<AgentEntry> kept;
    if (!agent_type && !status) kept.reserve(core_->entries.size());
    core_->for_each_kept(agent_type, status, [&](const AgentEntry& e) { kept.push_back(e); });
    return kept;
}

Status AgentRegistry::list_json(std::optional<std::string_view> agent_type, std::optional<std::string_view> status,
                                std::string& out) const {
    PoisonLock::Shared guard(core_->lock);
    if (guard.poisoned()) return fail(poisoned_error());
    // One pass to size the buffer, one to write it, both in the same shared section.
    std::size_t estimate = 2;
    core_->for_each_kept(agent_type, status, [&](const AgentEntry& e) { estimate += estimated_json_size(e) + 1; });
    out.reserve(out.size() + estimate);
    out.push_back('[');
    bool first = true;
    core_->for_each_kept(agent_type, status, [&](const AgentEntry& e) {
        if (!first) out.push_back(',');
        first = false;
        e.write_json(out);
    });
    out.push_back(']');
    return {};
}

Status AgentRegistry::update_status(std::string_view agent_id, AgentStatus status) {
    PoisonLock::Exclusive guard(core_->lock);
    if (guard.poisoned()) return fail(poisoned_error());
    const auto it = core_->entries.find(agent_id);
    if (it == core_->entries.end()) return fail(MeshError::agent_not_found("", agent_id));
    core_->set_status(it->second, status);
    return {};
}

Status AgentRegistry::route(std::string_view agent_type, std::string_view agent_id) {
    PoisonLock::Exclusive guard(core_->lock);
    if (guard.poisoned()) return fail(poisoned_error());
    const auto it = core_->entries.find(agent_id);
    if (it == core_->entries.end() || it->second.status == AgentStatus::Stopped ||
        it->second.status == AgentStatus::Error) {
        return fail(MeshError::agent_not_found(agent_type, agent_id));
    }
    core_->set_status(it->second, AgentStatus::Running);
    return {};
}

Status AgentRegistry::deregister(std::string_view agent_id) {
    PoisonLock::Exclusive guard(core_->lock);
    if (guard.poisoned()) return fail(poisoned_error());
    const auto it = core_->entries.find(agent_id);
    if (it == core_->entries.end()) return {};
    --core_->by_status[index_of(it->second.status)];
    core_->entries.erase(it);
    return {};
}

std::size_t AgentRegistry::count() const noexcept {
    PoisonLock::Shared guard(core_->lock);
    return guard.poisoned() ? 0 : core_->entries.size();
}

std::size_t AgentRegistry::count_by_status(std::string_view status) const noexcept {
    const auto wanted = status_from_name(status);
    if (!wanted) return 0;
    PoisonLock::Shared guard(core_->lock);
    return guard.poisoned() ? 0 : core_->by_status[index_of(*wanted)];
}

bool AgentRegistry::poisoned() const noexcept { return core_->lock.poisoned(); }

std::optional<AgentEntry> AgentRegistry::inspect(std::string_view agent_id) const {
    PoisonLock::Shared guard(core_->lock);
    const auto it = core_->entries.find(agent_id);
    if (it == core_->entries.end()) return std::nullopt;
    return it->second;
}

}  // namespace korvo
