#include "migration.h"

#include <charconv>
#include <cstring>

#include <array>
#include <utility>

#include "json/write.h"
#include "base/lock.h"
#include "base/text_map.h"

#include <boost/unordered/unordered_flat_set.hpp>

namespace korvo {
namespace {

// The records, found by their variable's name. A record may be replaced in place by one of the
// same name (a completed migration started anew), so the set lets it be changed.
struct Entry {
    mutable MigrationRecord rec;
};
struct EntryHash : TextHash {
    using TextHash::operator();
    std::size_t operator()(const Entry& e) const noexcept { return TextHash::operator()(e.rec.identity->variable_name); }
};
struct EntryEq {
    using is_transparent = void;
    static std::string_view name(const Entry& e) noexcept { return e.rec.identity->variable_name; }
    static std::string_view name(std::string_view s) noexcept { return s; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept {
        return same_text(name(a), name(b));
    }
};
using Map = boost::unordered_flat_set<Entry, EntryHash, EntryEq>;

// Totals stop at the largest value rather than wrapping back to small numbers.
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

std::unexpected<MeshError> migration_error(std::string_view detail) { return fail(MeshError::migration(detail)); }

MeshError lock_poisoned() { return MeshError::migration("lock poisoned"); }

std::unexpected<MeshError> quoted_error(std::string_view before, std::string_view name, std::string_view after) {
    std::string text;
    text.reserve(before.size() + name.size() + after.size());
    text.append(before).append(name).append(after);
    return migration_error(text);
}

std::unexpected<MeshError> not_found(std::string_view name) {
    return quoted_error("No migration in progress for '", name, "'");
}

// The record's keys are fixed identifiers: written as they are, with no escaping pass.
void write_plain_key(std::string_view key, std::string& out) {
    out.append(",\"", 2).append(key).append("\":", 2);
}

void write_field(std::string_view key, std::string_view text, std::string& out) {
    write_plain_key(key, out);
    json::write_string(text, out);
}

void write_field(std::string_view key, std::uint64_t n, std::string& out) {
    write_plain_key(key, out);
    json::write_uint(n, out);
}

struct RecordText {
    std::string_view variable_name, source_backend, target_backend;
    std::uint8_t stage;
    std::string_view stage_name, started_at, advanced_at;
    std::uint64_t discrepancy_count, keys_migrated;
    std::string_view app_name;
};

void write_record(const RecordText& r, std::string& out) {
    out.reserve(out.size() + 200 + r.variable_name.size() + r.source_backend.size() + r.target_backend.size() +
                r.app_name.size());
    out.append("{\"variable_name\":");
    json::write_string(r.variable_name, out);
    write_field("source_backend", r.source_backend, out);
    write_field("target_backend", r.target_backend, out);
    write_field("stage", std::uint64_t{r.stage}, out);
    write_field("stage_name", r.stage_name, out);
    write_field("started_at", r.started_at, out);
    write_field("advanced_at", r.advanced_at, out);
    write_field("discrepancy_count", r.discrepancy_count, out);
    write_field("keys_migrated", r.keys_migrated, out);
    write_field("app_name", r.app_name, out);
    out.push_back('}');
}

}  // namespace

std::string_view stage_name(std::uint8_t stage) noexcept {
    return stage < kStageNames.size() ? kStageNames[stage] : std::string_view();
}

void MigrationState::write_json(std::string& out) const {
    write_record({variable_name, source_backend, target_backend, stage, stage_name, started_at, advanced_at,
                  discrepancy_count, keys_migrated, app_name},
                 out);
}

void write_migrations_json(const std::vector<MigrationState>& records, std::string& out) {
    out.push_back('[');
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i != 0) out.push_back(',');
        records[i].write_json(out);
    }
    out.push_back(']');
}

MigrationIdentity::MigrationIdentity(std::string_view name, std::string_view source, std::string_view target)
    : variable_name(name), source_backend(source), target_backend(target) {
    head.reserve(80 + name.size() + source.size() + target.size());
    head.append("{\"variable_name\":");
    json::write_string(name, head);
    write_field("source_backend", source, head);
    write_field("target_backend", target, head);
    write_plain_key("stage", head);
}

void MigrationRecord::write_json(std::string_view tail, std::string& out) const {
    // Ready-made head and tail around the parts that change, in room made once.
    static constexpr std::string_view kStageName = ",\"stage_name\":\"", kStarted = "\",\"started_at\":\"",
                                      kAdvanced = "\",\"advanced_at\":\"",
                                      kDiscrepancies = "\",\"discrepancy_count\":", kKeys = ",\"keys_migrated\":";
    const MigrationIdentity& id = *identity;
    const std::string_view name = stage_name(stage);
    const std::size_t most = id.head.size() + tail.size() + name.size() + id.started_at.size + advanced_at.size +
                             kStageName.size() + kStarted.size() + kAdvanced.size() + kDiscrepancies.size() +
                             kKeys.size() + 3 * json::RawWriter::kMaxUintDigits;
    json::write_sized(most, out, [&](json::RawWriter& w) {
        w.put(id.head);
        w.put_uint(stage);
        w.put(kStageName);
        w.put(name);
        w.put(kStarted);
        w.put(id.started_at.view());
        w.put(kAdvanced);
        w.put(advanced_at.view());
        w.put(kDiscrepancies);
        w.put_uint(discrepancy_count);
        w.put(kKeys);
        w.put_uint(keys_migrated);
        w.put(tail);
    });
}

MigrationState MigrationRecord::state(std::string_view app_name) const {
    const MigrationIdentity& id = *identity;
    MigrationState s;
    s.variable_name = id.variable_name;
    s.source_backend = id.source_backend;
    s.target_backend = id.target_backend;
    s.stage = stage;
    s.stage_name = stage_name(stage);
    s.started_at = id.started_at.view();
    s.advanced_at = advanced_at.view();
    s.discrepancy_count = discrepancy_count;
    s.keys_migrated = keys_migrated;
    s.app_name = app_name;
    return s;
}

// Every member but the two constants is guarded by `lock`.
//
// Exclusive sections allocate nothing whose size the caller decides: a new record and its key are
// made before the lock is taken, results are snapshots (which share the record's identity) written
// out after it is released, and every error is built after it is released. What a section may
// still allocate is the map's node and its growth (strong guarantee). Each section reads the clock
// before it touches a record, so a failing clock leaves the record as it was (the escaping
// exception still poisons the lock).
struct MigrationController::Core {
    Core(std::string name, std::shared_ptr<const Clock> c)
        : app_name(std::move(name)), clock(c ? std::move(c) : system_clock()) {
        write_field("app_name", app_name, tail);
        tail.push_back('}');
    }

    PoisonLock lock;
    Map map;
    std::size_t active = 0;  // records below the last stage
    const std::string app_name;
    std::string tail;  // every record's JSON ends with it: ,"app_name":…}
    const std::shared_ptr<const Clock> clock;
};

MigrationController::MigrationController(std::string app_name, std::shared_ptr<const Clock> clock)
    : core_(std::make_shared<Core>(std::move(app_name), std::move(clock))) {}
MigrationController::~MigrationController() = default;
MigrationController::MigrationController(MigrationController&&) noexcept = default;
MigrationController& MigrationController::operator=(MigrationController&&) noexcept = default;

namespace {

// How a stage change ended, decided under the lock; the error text is made after it.
enum class Refusal : unsigned char { None, NotFound, InProgress, Complete, AtInitial, CannotRollBack };

struct Outcome {
    Refusal refusal = Refusal::None;
    std::uint8_t stage = 0;  // the stage met, for the in-progress text
    MigrationChange change;
};

std::unexpected<MeshError> refusal_error(const Outcome& o, std::string_view name) {
    switch (o.refusal) {
        case Refusal::NotFound: return not_found(name);
        case Refusal::Complete: return quoted_error("Migration for '", name, "' is already complete");
        case Refusal::AtInitial: return migration_error("Already at initial stage \u2014 cannot roll back further");
        case Refusal::CannotRollBack: return migration_error("Cannot roll back a completed migration");
        case Refusal::InProgress:
        case Refusal::None: break;
    }
    std::string text = "Migration for '";
    text.append(name).append("' already in progress at stage ").append(std::to_string(o.stage));
    text.append(" (").append(stage_name(o.stage)).append(")");
    return migration_error(text);
}

}  // namespace

// Runs a stage change's section; a refusal decided under the lock becomes its error after it.
template <class Section>
Result<MigrationChange> MigrationController::apply(std::string_view variable_name, Section&& section) {
    auto outcome = core_->lock.write(lock_poisoned, section);
    if (!outcome) return fail(std::move(outcome.error()));
    if (outcome->refusal != Refusal::None) return refusal_error(*outcome, variable_name);
    return std::move(outcome->change);
}

// Hands a change's record to `deliver`; should that fail, the change is undone before the
// failure goes on, so a caller told that the call failed finds the controller as it was.
template <class Deliver>
Result<MigrationChange> MigrationController::delivered(std::string_view variable_name, Result<MigrationChange> change,
                                                       Deliver&& deliver) {
    if (!change) return change;
    try {
        deliver(change->after);
    } catch (...) {
        undo(variable_name, *change);
        throw;
    }
    return change;
}

Result<MigrationChange> MigrationController::start_change(std::string_view variable_name,
                                                          std::string_view source_backend,
                                                          std::string_view target_backend) {
    Core& core = *core_;
    // The new record and its key, made before the lock.
    auto identity = std::make_shared<MigrationIdentity>(variable_name, source_backend, target_backend);
    return apply(variable_name, [&] {
        Outcome o;
        auto it = core.map.find(variable_name);
        if (it != core.map.end() && it->rec.stage < kStageDone) {
            o.refusal = Refusal::InProgress;
            o.stage = it->rec.stage;
            return o;
        }
        const TimestampText now = timestamp_text(*core.clock);
        identity->started_at = now;
        MigrationRecord fresh{std::move(identity), 1, now, 0, 0};
        if (it == core.map.end()) {
            it = core.map.insert(Entry{std::move(fresh)}).first;
        } else {
            o.change.before.emplace(std::move(it->rec));  // a completed record, kept for undo
            it->rec = std::move(fresh);
        }
        ++core.active;
        o.change.after = it->rec;
        return o;
    });
}

// One stage forward (advance, adding the reported counts) or back (rollback).
Result<MigrationChange> MigrationController::step_change(std::string_view variable_name, bool forward,
                                                         std::uint64_t discrepancy_count,
                                                         std::uint64_t keys_migrated) {
    Core& core = *core_;
    return apply(variable_name, [&] {
        Outcome o;
        const auto it = core.map.find(variable_name);
        if (it == core.map.end()) {
            o.refusal = Refusal::NotFound;
            return o;
        }
        MigrationRecord& rec = it->rec;
        if (rec.stage >= kStageDone) {
            o.refusal = forward ? Refusal::Complete : Refusal::CannotRollBack;
        } else if (!forward && rec.stage == 0) {
            o.refusal = Refusal::AtInitial;
        }
        if (o.refusal != Refusal::None) return o;
        const TimestampText now = timestamp_text(*core.clock);
        o.change.before.emplace(rec);
        if (forward) {
            ++rec.stage;
            rec.discrepancy_count = saturating_add(rec.discrepancy_count, discrepancy_count);
            rec.keys_migrated = saturating_add(rec.keys_migrated, keys_migrated);
            if (rec.stage == kStageDone) --core.active;
        } else {
            --rec.stage;
        }
        rec.advanced_at = now;
        o.change.after = rec;
        return o;
    });
}

void MigrationController::undo(std::string_view variable_name, const MigrationChange& change) noexcept {
    Core& core = *core_;
    MigrationRecord removed;  // freed after the lock is released
    core.lock.exclusive([&]() noexcept {
        const auto it = core.map.find(variable_name);
        if (it == core.map.end()) return;
        MigrationRecord& rec = it->rec;
        const MigrationRecord& after = change.after;
        // Only a record still exactly as the change left it is put back.
        if (rec.identity != after.identity || rec.stage != after.stage ||
            rec.advanced_at.view() != after.advanced_at.view()) {
            return;
        }
        const bool was_active = rec.stage < kStageDone;
        bool now_active = false;
        if (change.before) {
            rec = *change.before;
            now_active = rec.stage < kStageDone;
        } else {
            removed = std::move(rec);
            core.map.erase(it);
        }
        if (was_active && !now_active) --core.active;
        if (!was_active && now_active) ++core.active;
    });
}

// The copying and the writing forms of each change: the result is made from the change's snapshot.
namespace {

template <class Out>
auto into_state(std::string_view app_name, Out& out) {
    return [app_name, &out](const MigrationRecord& after) { out = after.state(app_name); };
}

template <class Out>
auto into_json(std::string_view app_name, Out& out) {
    return [app_name, &out, old_size = out.size()](const MigrationRecord& after) {
        try {
            after.write_json(app_name, out);  // the controller's record tail
        } catch (...) {
            out.resize(old_size);
            throw;
        }
    };
}

}  // namespace

Result<MigrationState> MigrationController::start(std::string_view variable_name, std::string_view source_backend,
                                                  std::string_view target_backend) {
    MigrationState state;
    auto done = delivered(variable_name, start_change(variable_name, source_backend, target_backend),
                          into_state(core_->app_name, state));
    if (!done) return fail(std::move(done.error()));
    return state;
}

Result<MigrationState> MigrationController::advance(std::string_view variable_name, std::uint64_t discrepancy_count,
                                                    std::uint64_t keys_migrated) {
    MigrationState state;
    auto done = delivered(variable_name, step_change(variable_name, true, discrepancy_count, keys_migrated),
                          into_state(core_->app_name, state));
    if (!done) return fail(std::move(done.error()));
    return state;
}

Result<MigrationState> MigrationController::rollback(std::string_view variable_name) {
    MigrationState state;
    auto done = delivered(variable_name, step_change(variable_name, false, 0, 0), into_state(core_->app_name, state));
    if (!done) return fail(std::move(done.error()));
    return state;
}

Result<MigrationChange> MigrationController::start_json(std::string_view variable_name,
                                                        std::string_view source_backend,
                                                        std::string_view target_backend, std::string& out) {
    return delivered(variable_name, start_change(variable_name, source_backend, target_backend),
                     into_json(core_->tail, out));
}

Result<MigrationChange> MigrationController::advance_json(std::string_view variable_name,
                                                          std::uint64_t discrepancy_count,
                                                          std::uint64_t keys_migrated, std::string& out) {
    return delivered(variable_name, step_change(variable_name, true, discrepancy_count, keys_migrated),
                     into_json(core_->tail, out));
}

Result<MigrationChange> MigrationController::rollback_json(std::string_view variable_name, std::string& out) {
    return delivered(variable_name, step_change(variable_name, false, 0, 0), into_json(core_->tail, out));
}

namespace {

std::optional<MigrationRecord> find_record(const Map& map, std::string_view name) {
    const auto it = map.find(name);
    return it == map.end() ? std::optional<MigrationRecord>() : std::optional<MigrationRecord>(it->rec);
}

std::vector<MigrationRecord> snapshot_all(const Map& map) {
    std::vector<MigrationRecord> records;
    records.reserve(map.size());
    for (const auto& entry : map) records.push_back(entry.rec);
    return records;
}

}  // namespace

// Reads take a snapshot under the lock (records share their identity, so nothing is copied
// but a handle) and make their copies and text after it is released.
Result<std::optional<MigrationState>> MigrationController::get(std::string_view variable_name) const {
    const auto found = core_->lock.read(lock_poisoned, [&] { return find_record(core_->map, variable_name); });
    if (!found) return fail(found.error());
    if (!*found) return std::optional<MigrationState>();
    return std::optional<MigrationState>((*found)->state(core_->app_name));
}

Result<bool> MigrationController::get_json(std::string_view variable_name, std::string& out) const {
    const auto found = core_->lock.read(lock_poisoned, [&] { return find_record(core_->map, variable_name); });
    if (!found) return fail(found.error());
    if (!*found) return false;
    (*found)->write_json(core_->tail, out);
    return true;
}

Result<std::vector<MigrationState>> MigrationController::list_all() const {
    const auto records = core_->lock.read(lock_poisoned, [&] { return snapshot_all(core_->map); });
    if (!records) return fail(records.error());
    std::vector<MigrationState> states;
    states.reserve(records->size());
    for (const auto& rec : *records) states.push_back(rec.state(core_->app_name));
    return states;
}

Status MigrationController::list_json(std::string& out) const {
    const auto records = core_->lock.read(lock_poisoned, [&] { return snapshot_all(core_->map); });
    if (!records) return fail(records.error());
    out.push_back('[');
    for (std::size_t i = 0; i < records->size(); ++i) {
        if (i != 0) out.push_back(',');
        (*records)[i].write_json(core_->tail, out);
    }
    out.push_back(']');
    return {};
}

std::size_t MigrationController::count_active() const noexcept {
    if (!core_) return 0;
    return core_->lock.shared([&] { return core_->active; }).value_or(0);
}

bool MigrationController::poisoned() const noexcept { return core_ && core_->lock.poisoned(); }

}  // namespace korvo
