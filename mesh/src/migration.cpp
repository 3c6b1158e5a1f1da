#include "migration.h"

#include <algorithm>
#include <array>
#include <memory>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "base/digits.h"
#include "base/listing.h"
#include "base/lock.h"
#include "base/text_map.h"
#include "json/record.h"

namespace korvo {
namespace {

// The records, found by their variable's name; each is held where it was made, so the order of
// records that listings go over can hold it by address. A record may be replaced in place by one
// of the same name (a completed migration started anew).
struct Entry : Placed {
    MigrationState rec;
};
using EntryOwner = std::unique_ptr<Entry>;
// The set holds each record through its owner, which is moved out (never the name) only as the
// record leaves, so the set may hand it out as mutable.
struct Slot {
    mutable EntryOwner entry;
    Entry* operator->() const noexcept { return entry.get(); }
    Entry& operator*() const noexcept { return *entry; }
};
struct EntryHash : TextHash {
    using TextHash::operator();
    std::size_t operator()(const Slot& e) const noexcept { return TextHash::operator()(e->rec.identity->variable_name); }
};
struct EntryEq {
    using is_transparent = void;
    static std::string_view name(const Slot& e) noexcept { return e->rec.identity->variable_name; }
    static std::string_view name(std::string_view s) noexcept { return s; }
    template <class A, class B>
    [[gnu::always_inline]] bool operator()(const A& a, const B& b) const noexcept {
        return same_text(name(a), name(b));
    }
};
using Map = boost::unordered_flat_set<Slot, EntryHash, EntryEq>;

// Listings take every record.
struct AllRecords {
    bool keeps(const Entry&) const noexcept { return true; }
};

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

constexpr std::size_t kLongestStageName = [] {
    std::size_t most = 0;
    for (const std::string_view name : kStageNames) most = std::max(most, name.size());
    return most;
}();

// A migration's record, field by field, in three runs by what holds them: the identity (written
// once, at the start: MigrationIdentity::head), the state (at every write), and the controller's
// name (once per controller: its tail).
constexpr auto kIdentityFields = json::record(json::text("variable_name", &MigrationIdentity::variable_name),
                                              json::text("source_backend", &MigrationIdentity::source_backend),
                                              json::text("target_backend", &MigrationIdentity::target_backend));
constexpr auto kStateFields = json::record(
    json::uint("stage", &MigrationState::stage),
    json::plain("stage_name", [](const MigrationState& m) { return stage_name(m.stage); }, kLongestStageName),
    json::plain("started_at", [](const MigrationState& m) { return m.identity->started_at.view(); },
                sizeof(TimestampText::data)),
    json::plain("advanced_at", [](const MigrationState& m) { return m.advanced_at.view(); },
                sizeof(TimestampText::data)),
    json::uint("discrepancy_count", &MigrationState::discrepancy_count),
    json::uint("keys_migrated", &MigrationState::keys_migrated));
constexpr auto kControllerFields = json::record(json::text("app_name", [](std::string_view app) { return app; }));
constexpr auto kMigrationState = json::record(kIdentityFields, kStateFields, kControllerFields);
constexpr std::size_t kStateFrom = json::kValueCount<kIdentityFields>;
constexpr std::size_t kControllerFrom = kStateFrom + json::kValueCount<kStateFields>;

// The record of `m`; `tail` is the controller's part of every record.
void write_record(const MigrationState& m, std::string_view tail, std::string& out) {
    json::write_record_between<kMigrationState, kStateFrom, kControllerFrom>(m.identity->head, m, tail, out);
}
std::size_t record_most(const MigrationState& m, std::string_view tail) {
    return m.identity->head.size() + json::record_most<kStateFields>(m) + tail.size();
}

}  // namespace

std::string_view stage_name(std::uint8_t stage) noexcept {
    return stage < kStageNames.size() ? kStageNames[stage] : std::string_view();
}

MigrationIdentity::MigrationIdentity(std::string_view name, std::string_view source, std::string_view target)
    : variable_name(name), source_backend(source), target_backend(target) {
    json::write_record<kMigrationState, 0, kStateFrom>(*this, head);
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
    Core(std::string name, std::shared_ptr<const Clock> c, const LockWait* wait)
        : lock(wait), app_name(std::move(name)), clock(c ? std::move(c) : system_clock()) {
        json::write_record<kMigrationState, kControllerFrom>(std::string_view(app_name), tail);
    }

    // Before a record changes or leaves: what listings in progress need of it.
    void keep_for_listings(const Entry& e) noexcept {
        if (!order.listing()) [[likely]] return;
        order.before_change(e, [&](const Entry& k, std::string& out) { write_record(k.rec, tail, out); });
    }

    PoisonLock lock;
    Map map;
    SlicedOrder<Entry, AllRecords> order;  // every record in the order it came, for listings
    std::size_t active = 0;  // records below the last stage
    const std::string app_name;
    std::string tail;  // every record's JSON ends with it: ,"app_name":…}
    const std::shared_ptr<const Clock> clock;
};

MigrationController::MigrationController(std::string app_name, std::shared_ptr<const Clock> clock,
                                         const LockWait* wait)
    : core_(std::make_shared<Core>(std::move(app_name), std::move(clock), wait)) {}
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
    text.append(name).append("' already in progress at stage ");
    digits::append(text, o.stage);
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
    auto made = std::make_unique<Entry>();  // used when the name is new
    return apply(variable_name, [&] {
        Outcome o;
        auto it = core.map.find(variable_name);
        if (it != core.map.end() && (*it)->rec.stage < kStageDone) {
            o.refusal = Refusal::InProgress;
            o.stage = (*it)->rec.stage;
            return o;
        }
        const TimestampText now = timestamp_text(*core.clock);
        identity->started_at = now;
        MigrationState fresh{std::move(identity), 1, now, 0, 0};
        Entry* entry = nullptr;
        if (it == core.map.end()) {
            made->rec = std::move(fresh);
            entry = made.get();
            core.map.insert(Slot{std::move(made)});
            try {
                core.order.add(*entry);
            } catch (...) {
                core.map.erase(variable_name);
                throw;
            }
        } else {
            entry = &**it;
            core.keep_for_listings(*entry);
            o.change.before.emplace(std::move(entry->rec));  // a completed record, kept for undo
            entry->rec = std::move(fresh);
        }
        ++core.active;
        o.change.after = entry->rec;
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
        MigrationState& rec = (*it)->rec;
        if (rec.stage >= kStageDone) {
            o.refusal = forward ? Refusal::Complete : Refusal::CannotRollBack;
        } else if (!forward && rec.stage == 0) {
            o.refusal = Refusal::AtInitial;
        }
        if (o.refusal != Refusal::None) return o;
        const TimestampText now = timestamp_text(*core.clock);
        core.keep_for_listings(**it);
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
    EntryOwner removed;  // freed after the lock is released
    core.lock.exclusive([&]() noexcept {
        const auto it = core.map.find(variable_name);
        if (it == core.map.end()) return;
        Entry& entry = **it;
        MigrationState& rec = entry.rec;
        const MigrationState& after = change.after;
        // Only a record still exactly as the change left it is put back.
        if (rec.identity != after.identity || rec.stage != after.stage ||
            rec.advanced_at.view() != after.advanced_at.view()) {
            return;
        }
        const bool was_active = rec.stage < kStageDone;
        bool now_active = false;
        core.keep_for_listings(entry);
        if (change.before) {
            rec = *change.before;
            now_active = rec.stage < kStageDone;
        } else {
            core.order.remove(entry);
            removed = std::move(it->entry);
            core.map.erase(it);
        }
        if (was_active && !now_active) --core.active;
        if (!was_active && now_active) ++core.active;
    });
}

// Each change's record is written from its snapshot.
namespace {

auto into_json(std::string_view tail, std::string& out) {
    return [tail, &out, old_size = out.size()](const MigrationState& after) {
        try {
            write_record(after, tail, out);
        } catch (...) {
            out.resize(old_size);
            throw;
        }
    };
}

}  // namespace

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

std::optional<MigrationState> find_record(const Map& map, std::string_view name) {
    const auto it = map.find(name);
    return it == map.end() ? std::optional<MigrationState>() : std::optional<MigrationState>((*it)->rec);
}

}  // namespace

// Reads take a snapshot under the lock (records share their identity, so nothing is copied
// but a handle) and write their text after it is released.
Result<bool> MigrationController::get_json(std::string_view variable_name, std::string& out) const {
    const auto found = core_->lock.read(lock_poisoned, [&] { return find_record(core_->map, variable_name); });
    if (!found) return fail(found.error());
    if (!*found) return false;
    write_record(**found, core_->tail, out);
    return true;
}

Status MigrationController::list_json(std::string& out) const {
    const Core& core = *core_;
    return core.order.list(
        core.lock, lock_poisoned, AllRecords{}, [&](const Entry& e) { return record_most(e.rec, core.tail); },
        [&](const Entry& e, std::string& text) { write_record(e.rec, core.tail, text); }, out);
}

std::size_t MigrationController::count() const noexcept {
    if (!core_) return 0;
    return core_->lock.shared([&] { return core_->map.size(); }).value_or(0);
}

std::size_t MigrationController::count_active() const noexcept {
    if (!core_) return 0;
    return core_->lock.shared([&] { return core_->active; }).value_or(0);
}

bool MigrationController::poisoned() const noexcept { return core_ && core_->lock.poisoned(); }

}  // namespace korvo
