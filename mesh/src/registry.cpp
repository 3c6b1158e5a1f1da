#include "registry.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "base/block.h"
#include "base/listing.h"
#include "base/lock.h"
#include "base/per_thread.h"
#include "base/text_map.h"
#include "base/text_quote.h"
#include "json/canonical.h"
#include "json/record.h"
#include "json/write.h"

namespace korvo {
namespace {

// The host name of the local loopback interface: calls are routed within this process.
constexpr std::string_view kLocalNode = "localhost";

constexpr std::size_t index_of(AgentStatus status) noexcept { return static_cast<std::size_t>(status); }

constexpr std::size_t kLongestStatusName = [] {
    std::size_t most = 0;
    for (const std::string_view name : kStatusNames) most = std::max(most, name.size());
    return most;
}();

MeshError lock_poisoned() { return MeshError::state("registry lock poisoned"); }



using json::escaped_size;

// A timestamp as a record keeps it: its text, at most 35 characters.
struct Stamp {
    char text[35];
    std::uint8_t size = 0;
    Stamp& operator=(const TimestampText& t) noexcept {
        std::memcpy(text, t.data.data(), sizeof text);
        size = static_cast<std::uint8_t>(t.size);
        return *this;
    }
    std::string_view view() const noexcept { return {text, size}; }
};

// An agent as the registry holds it: one block, this header and the agent's fixed texts after it
// (id, type, canonical metadata). `status` and `last_active` change in place, under the exclusive
// lock. Its JSON record is kAgentRecord.
class AgentEntry : public Placed {
public:
    using Owner = UniqueBlock<AgentEntry>;

    static Owner make(std::string_view type, std::string_view id, std::uint32_t instance, std::string_view metadata) {
        Owner a = make_unique_block<AgentEntry>(id.size() + type.size() + metadata.size());
        a->id_size_ = static_cast<std::uint32_t>(id.size());
        a->type_size_ = static_cast<std::uint32_t>(type.size());
        a->metadata_size_ = static_cast<std::uint32_t>(metadata.size());
        a->instance = instance;
        char* p = Block<AgentEntry>::bytes(a.get());
        std::memcpy(p, id.data(), id.size());
        std::memcpy(p + id.size(), type.data(), type.size());
        std::memcpy(p + id.size() + type.size(), metadata.data(), metadata.size());
        a->id_json_ = static_cast<std::uint32_t>(escaped_size(id));
        a->type_json_ = static_cast<std::uint32_t>(escaped_size(type));
        return a;
    }

    std::string_view id() const noexcept { return {bytes(), id_size_}; }
    std::string_view type() const noexcept { return {bytes() + id_size_, type_size_}; }
    std::string_view metadata() const noexcept { return {bytes() + id_size_ + type_size_, metadata_size_}; }
    json::SizedText id_text() const noexcept { return {id(), id_json_}; }
    json::SizedText type_text() const noexcept { return {type(), type_json_}; }
    std::string_view status_text() const noexcept { return status_name(status); }
    std::string_view registered_text() const noexcept { return registered_at.view(); }
    std::string_view last_active_text() const noexcept { return last_active.view(); }

    // Placed::generation tells this registration from a later one with the same id.
    std::uint32_t instance = 0;
    AgentStatus status = AgentStatus::Starting;
    Stamp registered_at;
    Stamp last_active;

private:
    friend struct Block<AgentEntry>;
    AgentEntry() = default;
    const char* bytes() const noexcept { return Block<AgentEntry>::bytes(this); }

    std::uint32_t id_size_ = 0;
    std::uint32_t type_size_ = 0;
    std::uint32_t metadata_size_ = 0;
    std::uint32_t id_json_ = 0;
    std::uint32_t type_json_ = 0;
};

// An agent's record, field by field.
constexpr auto kAgentRecord = json::record(
    json::text("agent_id", &AgentEntry::id_text), json::text("agent_type", &AgentEntry::type_text),
    json::plain("status", &AgentEntry::status_text, kLongestStatusName), json::uint("instance", &AgentEntry::instance),
    json::plain("registered_at", &AgentEntry::registered_text, sizeof(Stamp::text)),
    json::plain("last_active", &AgentEntry::last_active_text, sizeof(Stamp::text)),
    json::raw("metadata", &AgentEntry::metadata));

// The descriptor of a routed call, read from the call's own texts.
struct Routed {
    json::SizedText agent_type, agent_id, method;  // sized: the plain ones go in with the fixed text
};
constexpr auto kRouteDescriptor =
    json::record(json::text("agent_id", &Routed::agent_id), json::text("agent_type", &Routed::agent_type),
                 json::text("method", &Routed::method), json::constant("node", kLocalNode),
                 json::constant("status", "routed"));

// What a listing keeps: the agents of one type, of one status, or both.
struct AgentFilter {
    std::optional<std::string_view> type;
    std::optional<AgentStatus> status;
    bool keeps(const AgentEntry& a) const noexcept {
        return (!type || a.type() == *type) && (!status || a.status == *status);
    }
};

// The table holds each agent through its owner; the owner is swapped out (never the id) when the
// agent leaves, so the set may hand it out as mutable.
struct Slot {
    mutable AgentEntry::Owner agent;
};
struct SlotHash : TextHash {
    using TextHash::operator();
    std::size_t operator()(const Slot& s) const noexcept { return TextHash::operator()(s.agent->id()); }
};
struct SlotEq {
    using is_transparent = void;
    static std::string_view id(const Slot& s) noexcept { return s.agent->id(); }
    static std::string_view id(std::string_view s) noexcept { return s; }
    template <class A, class B>
    [[gnu::always_inline]] bool operator()(const A& a, const B& b) const noexcept {
        return same_text(id(a), id(b));
    }
};
using Table = boost::unordered_flat_set<Slot, SlotHash, SlotEq>;

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
    json::write_record<kRouteDescriptor>(Routed{json::sized(agent_type), json::sized(agent_id), json::sized(method)}, out);
}

// The shared state behind a registry handle. Every member is guarded by `lock`; `by_status`
// counts the entries per status and is kept in step by the exclusive operations.
//
// Exclusive sections allocate nothing whose size the caller decides: a new agent (its texts and
// canonical metadata) is made before the lock is taken, a result written under the lock goes
// into room reserved before it, every error is built after it, and a removed agent is freed
// after it. What a section may still allocate is the table's and the order's growth (strong
// guarantee), and the records it keeps for listings in progress, which fail the listing, not
// the section, when there is no memory for them.
struct AgentRegistry::Core {
    Core(std::shared_ptr<const Clock> c, const LockWait* wait) : lock(wait), clock(std::move(c)) {}

    mutable PoisonLock lock;
    std::shared_ptr<const Clock> clock;
    Table table;
    std::array<std::size_t, kAgentStatusCount> by_status{};
    SlicedOrder<AgentEntry, AgentFilter> order;  // every agent in the order it came, for listings

    void keep_for_listings(const AgentEntry& a) noexcept {
        order.before_change(a, [](const AgentEntry& e, std::string& out) { json::write_record<kAgentRecord>(e, out); });
    }

    AgentEntry* find(std::string_view id) const {
        const auto it = table.find(id);
        return it == table.end() ? nullptr : it->agent.get();
    }

    // Sets a stored agent's status with a fresh last_active. The time is read before anything
    // changes, so a failing clock leaves the agent as it was.
    void set_status(AgentEntry& agent, AgentStatus status) {
        const TimestampText now = timestamp_text(*clock);
        if (order.listing()) [[unlikely]] keep_for_listings(agent);
        --by_status[index_of(agent.status)];
        ++by_status[index_of(status)];
        agent.status = status;
        agent.last_active = now;
    }

    // Takes an agent out of the table; the caller frees it after the lock is released.
    AgentEntry::Owner take(Table::iterator it) noexcept {
        AgentEntry::Owner gone = std::move(it->agent);
        if (order.listing()) [[unlikely]] keep_for_listings(*gone);
        --by_status[index_of(gone->status)];
        table.erase(it);
        order.remove(*gone);
        return gone;
    }
};

AgentRegistry::AgentRegistry(std::shared_ptr<const Clock> clock, const LockWait* wait)
    : core_(std::make_shared<Core>(clock ? std::move(clock) : system_clock(), wait)) {}
AgentRegistry::~AgentRegistry() = default;
AgentRegistry::AgentRegistry(AgentRegistry&&) noexcept = default;
AgentRegistry& AgentRegistry::operator=(AgentRegistry&&) noexcept = default;

Result<Registration> AgentRegistry::register_agent_json(std::string_view agent_type, std::string_view agent_id,
                                                        std::uint32_t instance,
                                                        std::optional<std::string_view> metadata_json,
                                                        std::string& out, json::Source source) {
    static KORVO_THREAD_LOCAL std::string scratch;  // the canonical metadata, copied into the agent
    LentScratch lent(scratch);
    std::string& metadata = lent.text();
    if (!metadata_json) {
        metadata = "{}";
    } else if (auto read = json::canonicalize(*metadata_json, metadata, source); !read) {
        return fail(read.error().to_mesh_error());
    }
    Core& core = *core_;
    AgentEntry::Owner fresh = AgentEntry::make(agent_type, agent_id, instance, metadata);
    out.reserve(out.size() + json::record_most<kAgentRecord>(*fresh));
    enum class Added : unsigned char { Yes, Taken };
    Registration made;  // read under the lock: other registrations move the counter on after it
    const auto added = core.lock.write(lock_poisoned, [&] {
        if (core.find(agent_id)) return Added::Taken;
        const TimestampText stamp = timestamp_text(*core.clock);
        fresh->registered_at = stamp;
        fresh->last_active = stamp;
        AgentEntry& agent = *fresh;
        core.table.insert(Slot{std::move(fresh)});
        try {
            core.order.add(agent);
        } catch (...) {
            core.table.erase(agent.id());  // `agent` goes with it
            throw;
        }
        made.generation = agent.generation;
        ++core.by_status[index_of(AgentStatus::Starting)];
        json::write_record<kAgentRecord>(agent, out);  // into the room reserved above
        return Added::Yes;
    });
    if (!added) return fail(added.error());
    if (*added == Added::Taken) return fail(MeshError::agent_already_registered(agent_id));
    return made;
}

void AgentRegistry::undo(std::string_view agent_id, const Registration& done) noexcept {
    AgentEntry::Owner removed;  // freed after the lock is released
    core_->lock.exclusive([&]() noexcept {
        const auto it = core_->table.find(agent_id);
        if (it == core_->table.end() || it->agent->generation != done.generation) return;
        removed = core_->take(it);
    });
}

Result<bool> AgentRegistry::get_json(std::string_view agent_id, std::string& out) const {
    return core_->lock.read(lock_poisoned, [&] {
        const AgentEntry* a = core_->find(agent_id);
        if (!a) return false;
        json::write_record<kAgentRecord>(*a, out);
        return true;
    });
}

Status AgentRegistry::list_json(std::optional<std::string_view> agent_type, std::optional<std::string_view> status,
                                std::string& out) const {
    Core& core = *core_;
    AgentFilter filter{agent_type, std::nullopt};
    if (status) {
        // A status filter that names no status matches nothing.
        filter.status = status_from_name(*status);
        if (!filter.status) return core.lock.read(lock_poisoned, [&] { out += "[]"; });
    }
    return core.order.list(
        core.lock, lock_poisoned, filter, [](const AgentEntry& a) { return json::record_size<kAgentRecord>(a); },
        [](const AgentEntry& a, std::string& text) { json::write_record<kAgentRecord>(a, text); }, out);
}

Status AgentRegistry::update_status(std::string_view agent_id, AgentStatus status) {
    const auto found = core_->lock.write(lock_poisoned, [&] {
        AgentEntry* a = core_->find(agent_id);
        if (!a) return false;
        core_->set_status(*a, status);
        return true;
    });
    if (!found) return fail(found.error());
    if (!*found) return fail(MeshError::agent_not_found("", agent_id));
    return {};
}

Status AgentRegistry::route(std::string_view agent_type, std::string_view agent_id) {
    const auto routed = core_->lock.write(lock_poisoned, [&] {
        AgentEntry* a = core_->find(agent_id);
        if (!a || a->status == AgentStatus::Stopped || a->status == AgentStatus::Error) return false;
        core_->set_status(*a, AgentStatus::Running);
        return true;
    });
    if (!routed) return fail(routed.error());
    if (!*routed) return fail(MeshError::agent_not_found(agent_type, agent_id));
    return {};
}

Status AgentRegistry::deregister(std::string_view agent_id) {
    AgentEntry::Owner removed;  // freed after the lock is released
    return core_->lock.write(lock_poisoned, [&] {
        const auto it = core_->table.find(agent_id);
        if (it != core_->table.end()) removed = core_->take(it);
    });
}

std::size_t AgentRegistry::count() const noexcept {
    return core_->lock.shared([&] { return core_->table.size(); }).value_or(0);
}

AgentRegistry::Counts AgentRegistry::counts() const noexcept {
    return core_->lock.shared([&] { return Counts{core_->table.size(), core_->by_status}; }).value_or(Counts{});
}

bool AgentRegistry::poisoned() const noexcept { return core_->lock.poisoned(); }

}  // namespace korvo
