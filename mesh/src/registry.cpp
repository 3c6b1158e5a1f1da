#include "registry.h"

#include <functional>
#include <string>
#include <utility>

#include "base/lock.h"
#include "base/text_map.h"
#include "base/text_quote.h"
#include "json/write.h"

namespace korvo {
namespace {

constexpr std::array<std::string_view, kAgentStatusCount> kStatusNames{
    "starting", "running", "idle", "stopping", "stopped", "error",
};

// The host name of the local loopback interface: calls are routed within this process.
constexpr std::string_view kLocalNode = "localhost";

constexpr std::size_t index_of(AgentStatus status) noexcept { return static_cast<std::size_t>(status); }


// A stored entry and the registration that made it.
struct Stored {
    AgentEntry entry;
    std::uint64_t generation = 0;
};

using EntryMap = TextMap<Stored>;

MeshError lock_poisoned() { return MeshError::state("registry lock poisoned"); }

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

// Room for any timestamp, reserved when an entry is made so that stamping it later, under the
// exclusive lock, never allocates.
constexpr std::size_t kStampRoom = sizeof(TimestampText::data);

// Everything of an entry's JSON up to and including `"metadata":`.
void write_entry_head(std::string_view agent_id, std::string_view agent_type, AgentStatus status,
                      std::uint32_t instance, std::string_view registered_at, std::string_view last_active,
                      std::string& out) {
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

void write_unknown_status(std::string_view name, std::string& out) {
    out += "Unknown status ";
    append_quoted(name, out);
    out += ". Valid values: ";
    for (std::size_t i = 0; i < kStatusNames.size(); ++i) {
        if (i > 0) out += ", ";
        out += kStatusNames[i];
    }
}

void write_route_descriptor(std::string_view agent_type, std::string_view agent_id, std::string_view method,
                            std::string& out) {
    out.reserve(out.size() + agent_type.size() + agent_id.size() + method.size() + 96);
    out += R"({"agent_id":)";
    json::write_string(agent_id, out);
    out += R"(,"agent_type":)";
    json::write_string(agent_type, out);
    out += R"(,"method":)";
    json::write_string(method, out);
    out += R"(,"node":")";
    out += kLocalNode;
    out += R"(","status":"routed"})";
}

void AgentEntry::write_json(std::string& out) const {
    write_entry_head(agent_id, agent_type, status, instance, registered_at, last_active, out);
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
//
// Exclusive sections allocate nothing whose size the caller decides: a new entry, its key and
// its metadata are made before the lock is taken, and every error is built after it is released.
// What a section may still allocate is the map's node and its growth (strong guarantee).
struct AgentRegistry::Core {
    explicit Core(std::shared_ptr<const Clock> c) : clock(std::move(c)) {}

    mutable PoisonLock lock;
    std::shared_ptr<const Clock> clock;
    EntryMap entries;
    std::array<std::size_t, kAgentStatusCount> by_status{};
    std::uint64_t last_generation = 0;

    enum class Added : unsigned char { Yes, Taken };

    // Stores `fresh` (made by the caller, stamped here) under `key` unless the id is taken. The
    // clock is read before anything changes, so a failing clock leaves the registry as it was.
    Held<Added> add(std::string& key, Stored& fresh, TimestampText& stamp, std::uint64_t& generation) {
        return lock.exclusive([&] {
            if (entries.find(std::string_view(key)) != entries.end()) return Added::Taken;
            stamp = timestamp_text(*clock);
            fresh.entry.registered_at.assign(stamp.view());  // within the room reserved
            fresh.entry.last_active.assign(stamp.view());
            fresh.generation = last_generation + 1;
            entries.emplace(std::move(key), std::move(fresh));
            generation = ++last_generation;
            ++by_status[index_of(AgentStatus::Starting)];
            return Added::Yes;
        });
    }

    // Sets a stored entry's status with a fresh last_active. The time is read before anything
    // changes, so a failing clock leaves the entry as it was.
    void set_status(AgentEntry& entry, AgentStatus status) {
        const TimestampText now = timestamp_text(*clock);
        --by_status[index_of(entry.status)];
        ++by_status[index_of(status)];
        entry.status = status;
        entry.last_active.assign(now.view());  // within the room reserved
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
        for (const auto& [id, stored] : entries) {
            if (agent_type && stored.entry.agent_type != *agent_type) continue;
            if (wanted && stored.entry.status != *wanted) continue;
            visit(stored.entry);
        }
    }
};

namespace {

// A new entry, made before the lock: copies of the caller's texts, the metadata (the empty object
// when there is none) and room for its two timestamps.
Stored make_entry(std::string_view agent_type, std::string_view agent_id, std::uint32_t instance,
                  std::optional<json::Value>& metadata) {
    Stored fresh;
    AgentEntry& e = fresh.entry;
    e.agent_id.assign(agent_id);
    e.agent_type.assign(agent_type);
    e.status = AgentStatus::Starting;
    e.instance = instance;
    e.registered_at.reserve(kStampRoom);
    e.last_active.reserve(kStampRoom);
    e.metadata = metadata ? std::move(*metadata) : json::Value::object({});
    return fresh;
}

}  // namespace

AgentRegistry::AgentRegistry(std::shared_ptr<const Clock> clock)
    : core_(std::make_shared<Core>(clock ? std::move(clock) : system_clock())) {}
AgentRegistry::~AgentRegistry() = default;
AgentRegistry::AgentRegistry(AgentRegistry&&) noexcept = default;
AgentRegistry& AgentRegistry::operator=(AgentRegistry&&) noexcept = default;

// Registers, then runs `deliver(stamp)` to make the caller's result. Should that fail (it may
// allocate), the registration is taken back before the failure goes on: a caller who is told the
// call failed finds the registry as it was.
template <class Deliver>
Result<Registration> AgentRegistry::add_then(std::string_view agent_type, std::string_view agent_id,
                                             std::uint32_t instance, std::optional<json::Value>& metadata,
                                             Deliver&& deliver) {
    Stored fresh = make_entry(agent_type, agent_id, instance, metadata);
    std::string key(agent_id);
    TimestampText stamp;
    std::uint64_t generation = 0;
    const auto added = core_->add(key, fresh, stamp, generation);
    if (!added) return fail(lock_poisoned());
    if (*added == Core::Added::Taken) return fail(MeshError::agent_already_registered(agent_id));
    const Registration done{generation};
    try {
        deliver(stamp);
    } catch (...) {
        undo(agent_id, done);
        throw;
    }
    return done;
}

Result<AgentEntry> AgentRegistry::register_agent(std::string_view agent_type, std::string_view agent_id,
                                                 std::uint32_t instance, std::optional<json::Value> metadata) {
    std::optional<json::Value> kept;  // the result's copy of the metadata
    if (metadata) kept = *metadata;
    AgentEntry copy;
    auto done = add_then(agent_type, agent_id, instance, metadata, [&](const TimestampText& stamp) {
        copy = AgentEntry{{},
                          std::string(agent_id),
                          std::string(agent_type),
                          AgentStatus::Starting,
                          instance,
                          std::string(stamp.view()),
                          std::string(stamp.view()),
                          kept ? std::move(*kept) : json::Value::object({})};
    });
    if (!done) return fail(std::move(done.error()));
    return copy;
}

Result<Registration> AgentRegistry::register_agent_json(std::string_view agent_type, std::string_view agent_id,
                                                        std::uint32_t instance, std::optional<json::Value> metadata,
                                                        std::string& out) {
    // The result's metadata text is written now: the entry itself goes into the map.
    std::string metadata_text = metadata ? json::to_text(*metadata) : std::string("{}");
    const std::size_t old_size = out.size();
    return add_then(agent_type, agent_id, instance, metadata, [&](const TimestampText& stamp) {
        try {
            out.reserve(old_size + kEntryJsonOverhead + agent_id.size() + agent_type.size() + metadata_text.size());
            write_entry_head(agent_id, agent_type, AgentStatus::Starting, instance, stamp.view(), stamp.view(), out);
            out.append(metadata_text).push_back('}');
        } catch (...) {
            out.resize(old_size);
            throw;
        }
    });
}

void AgentRegistry::undo(std::string_view agent_id, const Registration& done) noexcept {
    std::optional<EntryMap::node_type> removed;  // freed after the lock is released
    core_->lock.exclusive([&]() noexcept {
        const auto it = core_->entries.find(agent_id);
        if (it == core_->entries.end() || it->second.generation != done.generation) return;
        --core_->by_status[index_of(it->second.entry.status)];
        removed.emplace(core_->entries.extract(it));
    });
}

Result<std::optional<AgentEntry>> AgentRegistry::get(std::string_view agent_id) const {
    return core_->lock.read(lock_poisoned, [&] {
        const auto it = core_->entries.find(agent_id);
        if (it == core_->entries.end()) return std::optional<AgentEntry>{};
        return std::optional<AgentEntry>{it->second.entry};
    });
}

Result<bool> AgentRegistry::get_json(std::string_view agent_id, std::string& out) const {
    return core_->lock.read(lock_poisoned, [&] {
        const auto it = core_->entries.find(agent_id);
        if (it == core_->entries.end()) return false;
        out.reserve(out.size() + estimated_json_size(it->second.entry));
        it->second.entry.write_json(out);
        return true;
    });
}

Result<std::vector<AgentEntry>> AgentRegistry::list(std::optional<std::string_view> agent_type,
                                                    std::optional<std::string_view> status) const {
    return core_->lock.read(lock_poisoned, [&] {
        std::vector<AgentEntry> copies;
        if (!agent_type && !status) copies.reserve(core_->entries.size());
        core_->for_each_kept(agent_type, status, [&](const AgentEntry& e) { copies.push_back(e); });
        return copies;
    });
}

Status AgentRegistry::list_json(std::optional<std::string_view> agent_type, std::optional<std::string_view> status,
                                std::string& out) const {
    return core_->lock.read(lock_poisoned, [&] {
        // One pass to size the buffer, one to write it, both in the same shared section.
        std::size_t estimate = 2;
        core_->for_each_kept(agent_type, status,
                             [&](const AgentEntry& e) { estimate += estimated_json_size(e) + 1; });
        out.reserve(out.size() + estimate);
        out.push_back('[');
        bool first = true;
        core_->for_each_kept(agent_type, status, [&](const AgentEntry& e) {
            if (!first) out.push_back(',');
            first = false;
            e.write_json(out);
        });
        out.push_back(']');
    });
}

Status AgentRegistry::update_status(std::string_view agent_id, AgentStatus status) {
    const auto found = core_->lock.write(lock_poisoned, [&] {
        const auto it = core_->entries.find(agent_id);
        if (it == core_->entries.end()) return false;
        core_->set_status(it->second.entry, status);
        return true;
    });
    if (!found) return fail(found.error());
    if (!*found) return fail(MeshError::agent_not_found("", agent_id));
    return {};
}

Status AgentRegistry::route(std::string_view agent_type, std::string_view agent_id) {
    const auto routed = core_->lock.write(lock_poisoned, [&] {
        const auto it = core_->entries.find(agent_id);
        if (it == core_->entries.end() || it->second.entry.status == AgentStatus::Stopped ||
            it->second.entry.status == AgentStatus::Error) {
            return false;
        }
        core_->set_status(it->second.entry, AgentStatus::Running);
        return true;
    });
    if (!routed) return fail(routed.error());
    if (!*routed) return fail(MeshError::agent_not_found(agent_type, agent_id));
    return {};
}

Status AgentRegistry::deregister(std::string_view agent_id) {
    std::optional<EntryMap::node_type> removed;  // freed after the lock is released
    return core_->lock.write(lock_poisoned, [&] {
        const auto it = core_->entries.find(agent_id);
        if (it == core_->entries.end()) return;
        --core_->by_status[index_of(it->second.entry.status)];
        removed.emplace(core_->entries.extract(it));
    });
}

std::size_t AgentRegistry::count() const noexcept {
    return core_->lock.shared([&] { return core_->entries.size(); }).value_or(0);
}

std::size_t AgentRegistry::count_by_status(std::string_view status) const noexcept {
    const auto wanted = status_from_name(status);
    if (!wanted) return 0;
    return core_->lock.shared([&] { return core_->by_status[index_of(*wanted)]; }).value_or(0);
}

bool AgentRegistry::poisoned() const noexcept { return core_->lock.poisoned(); }

std::optional<AgentEntry> AgentRegistry::inspect(std::string_view agent_id) const {
    return core_->lock.inspect([&] {
        const auto it = core_->entries.find(agent_id);
        if (it == core_->entries.end()) return std::optional<AgentEntry>{};
        return std::optional<AgentEntry>{it->second.entry};
    });
}

}  // namespace korvo
