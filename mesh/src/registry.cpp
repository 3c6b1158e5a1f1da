#include "registry.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include <boost/unordered/unordered_flat_set.hpp>

#include "base/lock.h"
#include "base/per_thread.h"
#include "base/text_map.h"
#include "base/text_quote.h"
#include "json/canonical.h"
#include "json/read.h"
#include "json/write.h"

namespace korvo {
namespace {

constexpr std::array<std::string_view, kAgentStatusCount> kStatusNames{
    "starting", "running", "idle", "stopping", "stopped", "error",
};

// The host name of the local loopback interface: calls are routed within this process.
constexpr std::string_view kLocalNode = "localhost";

constexpr std::size_t index_of(AgentStatus status) noexcept { return static_cast<std::size_t>(status); }

MeshError lock_poisoned() { return MeshError::state("registry lock poisoned"); }

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

// How long a text is once written as a JSON string without its quotes.
std::size_t escaped_size(std::string_view text) noexcept {
    std::size_t n = text.size();
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (json::kEscape[b] != 0) n += json::kEscape[b] == 'u' ? 5 : 1;
    }
    return n;
}

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

// An agent as the registry stores it: one allocation holding its fixed texts after this header.
// `status` and `last_active` change in place, under the exclusive lock.
class Agent {
public:
    struct Free {
        void operator()(Agent* a) const noexcept { ::operator delete(a); }
    };
    using Ptr = std::unique_ptr<Agent, Free>;

    static Ptr make(std::string_view type, std::string_view id, std::uint32_t instance, std::string_view metadata) {
        void* raw = ::operator new(sizeof(Agent) + id.size() + type.size() + metadata.size());
        Ptr a(::new (raw) Agent);
        a->id_size_ = static_cast<std::uint32_t>(id.size());
        a->type_size_ = static_cast<std::uint32_t>(type.size());
        a->metadata_size_ = static_cast<std::uint32_t>(metadata.size());
        a->instance = instance;
        char* p = a->bytes();
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

    // The record's JSON: its size (exact), and the writing, which allocates nothing once
    // `out` has that much room.
    std::size_t json_size() const noexcept {
        char digits[12];
        const auto instance_digits = std::to_chars(digits, digits + sizeof digits, instance).ptr - digits;
        return kFixed + id_json_ + type_json_ + status_name(status).size() + static_cast<std::size_t>(instance_digits) +
               registered_at.size + last_active.size + metadata_size_;
    }
    // The most json_size() can become by stamping and status changes.
    std::size_t json_size_bound() const noexcept {
        return kFixed + id_json_ + type_json_ + 8 + 10 + 2 * sizeof(Stamp::text) + metadata_size_;
    }
    void write_json(std::string& out) const {
        const bool plain = id_json_ == id_size_ && type_json_ == type_size_;
        if (!plain) {
            write_entry_head(id(), type(), status, instance, registered_at.view(), last_active.view(), out);
            out.append(metadata()).push_back('}');
            return;
        }
        // Nothing to escape: the pieces are copied as they are, into room made once.
        const std::size_t old = out.size();
        out.resize_and_overwrite(old + json_size(), [&](char* buf, std::size_t) {
            char* o = buf + old;
            const auto put = [&](std::string_view t) {
                std::memcpy(o, t.data(), t.size());
                o += t.size();
            };
            put("{\"agent_id\":\"");
            put(id());
            put("\",\"agent_type\":\"");
            put(type());
            put("\",\"status\":\"");
            put(status_name(status));
            put("\",\"instance\":");
            o = std::to_chars(o, o + 10, instance).ptr;
            put(",\"registered_at\":\"");
            put(registered_at.view());
            put("\",\"last_active\":\"");
            put(last_active.view());
            put("\",\"metadata\":");
            put(metadata());
            *o++ = '}';
            return static_cast<std::size_t>(o - buf);
        });
    }

    AgentEntry entry() const {
        auto meta = json::read(metadata());
        return AgentEntry{{},
                          std::string(id()),
                          std::string(type()),
                          status,
                          instance,
                          std::string(registered_at.view()),
                          std::string(last_active.view()),
                          meta ? std::move(*meta) : json::Value()};
    }

    std::uint64_t generation = 0;  // tells this registration from a later one with the same id
    std::uint32_t instance = 0;
    AgentStatus status = AgentStatus::Starting;
    Stamp registered_at;
    Stamp last_active;

private:
    // The JSON's fixed part: keys, quotes, punctuation.
    static constexpr std::size_t kFixed = sizeof("{\"agent_id\":\"\",\"agent_type\":\"\",\"status\":\"\",\"instance\":"
                                                 ",\"registered_at\":\"\",\"last_active\":\"\",\"metadata\":}") -
                                          1;
    Agent() = default;
    char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
    const char* bytes() const noexcept { return reinterpret_cast<const char*>(this + 1); }

    std::uint32_t id_size_ = 0;
    std::uint32_t type_size_ = 0;
    std::uint32_t metadata_size_ = 0;
    std::uint32_t id_json_ = 0;
    std::uint32_t type_json_ = 0;
};

// The table holds each agent through its pointer; the pointer is swapped out (never the id)
// when the agent leaves, so the set may hand it out as mutable.
struct Slot {
    mutable Agent::Ptr agent;
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
    bool operator()(const A& a, const B& b) const noexcept {
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
// Exclusive sections allocate nothing whose size the caller decides: a new agent (its texts and
// canonical metadata) is made before the lock is taken, a result written under the lock goes
// into room reserved before it, every error is built after it, and a removed agent is freed
// after it. What a section may still allocate is the table's growth (strong guarantee).
struct AgentRegistry::Core {
    explicit Core(std::shared_ptr<const Clock> c) : clock(std::move(c)) {}

    mutable PoisonLock lock;
    std::shared_ptr<const Clock> clock;
    Table table;
    std::array<std::size_t, kAgentStatusCount> by_status{};
    std::uint64_t last_generation = 0;

    Agent* find(std::string_view id) const {
        const auto it = table.find(id);
        return it == table.end() ? nullptr : it->agent.get();
    }

    // Sets a stored agent's status with a fresh last_active. The time is read before anything
    // changes, so a failing clock leaves the agent as it was.
    void set_status(Agent& agent, AgentStatus status) {
        const TimestampText now = timestamp_text(*clock);
        --by_status[index_of(agent.status)];
        ++by_status[index_of(status)];
        agent.status = status;
        agent.last_active = now;
    }

    // Takes an agent out of the table; the caller frees it after the lock is released.
    Agent::Ptr take(Table::iterator it) noexcept {
        Agent::Ptr gone = std::move(it->agent);
        --by_status[index_of(gone->status)];
        table.erase(it);
        return gone;
    }

    // Visits the agents that pass both filters; the caller holds the lock. A status filter that
    // names no status matches nothing.
    template <class Visit>
    void for_each_kept(std::optional<std::string_view> agent_type, std::optional<std::string_view> status,
                       Visit&& visit) const {
        std::optional<AgentStatus> wanted;
        if (status) {
            wanted = status_from_name(*status);
            if (!wanted) return;
        }
        for (const Slot& slot : table) {
            const Agent& a = *slot.agent;
            if (agent_type && a.type() != *agent_type) continue;
            if (wanted && a.status != *wanted) continue;
            visit(a);
        }
    }
};

AgentRegistry::AgentRegistry(std::shared_ptr<const Clock> clock)
    : core_(std::make_shared<Core>(clock ? std::move(clock) : system_clock())) {}
AgentRegistry::~AgentRegistry() = default;
AgentRegistry::AgentRegistry(AgentRegistry&&) noexcept = default;
AgentRegistry& AgentRegistry::operator=(AgentRegistry&&) noexcept = default;

Result<Registration> AgentRegistry::add(std::string_view agent_type, std::string_view agent_id,
                                        std::uint32_t instance, std::string_view metadata, std::string* write,
                                        TimestampText& stamp) {
    Core& core = *core_;
    Agent::Ptr fresh = Agent::make(agent_type, agent_id, instance, metadata);
    if (write) write->reserve(write->size() + fresh->json_size_bound());
    enum class Added : unsigned char { Yes, Taken };
    Registration made;  // read under the lock: other registrations move the counter on after it
    const auto added = core.lock.write(lock_poisoned, [&] {
        if (core.find(agent_id)) return Added::Taken;
        stamp = timestamp_text(*core.clock);
        fresh->registered_at = stamp;
        fresh->last_active = stamp;
        fresh->generation = made.generation = core.last_generation + 1;
        Agent& agent = *fresh;
        core.table.insert(Slot{std::move(fresh)});
        ++core.last_generation;
        ++core.by_status[index_of(AgentStatus::Starting)];
        if (write) agent.write_json(*write);  // into the room reserved above
        return Added::Yes;
    });
    if (!added) return fail(added.error());
    if (*added == Added::Taken) return fail(MeshError::agent_already_registered(agent_id));
    return made;
}

Result<AgentEntry> AgentRegistry::register_agent(std::string_view agent_type, std::string_view agent_id,
                                                 std::uint32_t instance, std::optional<json::Value> metadata) {
    json::Value meta = metadata ? std::move(*metadata) : json::Value::object({});
    const std::string meta_text = json::to_text(meta);
    AgentEntry copy{{}, std::string(agent_id), std::string(agent_type), AgentStatus::Starting, instance, {}, {},
                    std::move(meta)};
    copy.registered_at.reserve(sizeof(TimestampText::data));
    copy.last_active.reserve(sizeof(TimestampText::data));
    TimestampText stamp;
    auto done = add(agent_type, agent_id, instance, meta_text, nullptr, stamp);
    if (!done) return fail(std::move(done.error()));
    copy.registered_at.assign(stamp.view());  // within the room reserved
    copy.last_active.assign(stamp.view());
    return copy;
}

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
    const std::size_t old_size = out.size();
    TimestampText stamp;
    auto done = add(agent_type, agent_id, instance, metadata, &out, stamp);
    if (!done) out.resize(old_size);
    return done;
}

void AgentRegistry::undo(std::string_view agent_id, const Registration& done) noexcept {
    Agent::Ptr removed;  // freed after the lock is released
    core_->lock.exclusive([&]() noexcept {
        const auto it = core_->table.find(agent_id);
        if (it == core_->table.end() || it->agent->generation != done.generation) return;
        removed = core_->take(it);
    });
}

Result<std::optional<AgentEntry>> AgentRegistry::get(std::string_view agent_id) const {
    return core_->lock.read(lock_poisoned, [&] {
        const Agent* a = core_->find(agent_id);
        return a ? std::optional<AgentEntry>(a->entry()) : std::optional<AgentEntry>();
    });
}

Result<bool> AgentRegistry::get_json(std::string_view agent_id, std::string& out) const {
    return core_->lock.read(lock_poisoned, [&] {
        const Agent* a = core_->find(agent_id);
        if (!a) return false;
        a->write_json(out);
        return true;
    });
}

Result<std::vector<AgentEntry>> AgentRegistry::list(std::optional<std::string_view> agent_type,
                                                    std::optional<std::string_view> status) const {
    return core_->lock.read(lock_poisoned, [&] {
        std::vector<AgentEntry> copies;
        core_->for_each_kept(agent_type, status, [&](const Agent& a) { copies.push_back(a.entry()); });
        return copies;
    });
}

Status AgentRegistry::list_json(std::optional<std::string_view> agent_type, std::optional<std::string_view> status,
                                std::string& out) const {
    return core_->lock.read(lock_poisoned, [&] {
        // One pass to size the buffer, one to write it, both in the same shared section.
        std::size_t size = 2;
        core_->for_each_kept(agent_type, status, [&](const Agent& a) { size += a.json_size() + 1; });
        out.reserve(out.size() + size);
        out.push_back('[');
        bool first = true;
        core_->for_each_kept(agent_type, status, [&](const Agent& a) {
            if (!first) out.push_back(',');
            first = false;
            a.write_json(out);
        });
        out.push_back(']');
    });
}

Status AgentRegistry::update_status(std::string_view agent_id, AgentStatus status) {
    const auto found = core_->lock.write(lock_poisoned, [&] {
        Agent* a = core_->find(agent_id);
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
        Agent* a = core_->find(agent_id);
        if (!a || a->status == AgentStatus::Stopped || a->status == AgentStatus::Error) return false;
        core_->set_status(*a, AgentStatus::Running);
        return true;
    });
    if (!routed) return fail(routed.error());
    if (!*routed) return fail(MeshError::agent_not_found(agent_type, agent_id));
    return {};
}

Status AgentRegistry::deregister(std::string_view agent_id) {
    Agent::Ptr removed;  // freed after the lock is released
    return core_->lock.write(lock_poisoned, [&] {
        const auto it = core_->table.find(agent_id);
        if (it != core_->table.end()) removed = core_->take(it);
    });
}

std::size_t AgentRegistry::count() const noexcept {
    return core_->lock.shared([&] { return core_->table.size(); }).value_or(0);
}

std::size_t AgentRegistry::count_by_status(std::string_view status) const noexcept {
    const auto wanted = status_from_name(status);
    if (!wanted) return 0;
    return core_->lock.shared([&] { return core_->by_status[index_of(*wanted)]; }).value_or(0);
}

AgentRegistry::Counts AgentRegistry::counts() const noexcept {
    return core_->lock.shared([&] { return Counts{core_->table.size(), core_->by_status}; }).value_or(Counts{});
}

bool AgentRegistry::poisoned() const noexcept { return core_->lock.poisoned(); }

std::optional<AgentEntry> AgentRegistry::inspect(std::string_view agent_id) const {
    return core_->lock.inspect([&] {
        const Agent* a = core_->find(agent_id);
        return a ? std::optional<AgentEntry>(a->entry()) : std::optional<AgentEntry>();
    });
}

}  // namespace korvo
