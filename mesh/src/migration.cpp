#include "migration.h"

#include <array>
#include <unordered_map>
#include <utility>

#include "json_text.h"
#include "lock.h"

namespace korvo {
namespace {

constexpr std::array<std::string_view, kStageDone + 1> kStageNames = {
    "idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done",
};

struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>{}(name); }
};

using Map = std::unordered_map<std::string, MigrationState, NameHash, std::equal_to<>>;

// Totals stop at the largest value rather than wrapping back to small numbers.
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

std::unexpected<MeshError> migration_error(std::string_view detail) { return fail(MeshError::migration(detail)); }

std::unexpected<MeshError> poisoned_error() { return migration_error("lock poisoned"); }

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

}  // namespace

std::string_view stage_name(std::uint8_t stage) noexcept {
    return stage < kStageNames.size() ? kStageNames[stage] : std::string_view();
}

void MigrationState::write_json(std::string& out) const {
    out.reserve(out.size() + 200 + variable_name.size() + source_backend.size() + target_backend.size() +
                app_name.size());
    out.append("{\"variable_name\":");
    json::write_string(variable_name, out);
    write_field("source_backend", source_backend, out);
    write_field("target_backend", target_backend, out);
    write_field("stage", std::uint64_t{stage}, out);
    write_field("stage_name", stage_name, out);
    write_field("started_at", started_at, out);
    write_field("advanced_at", advanced_at, out);
    write_field("discrepancy_count", discrepancy_count, out);
    write_field("keys_migrated", keys_migrated, out);
    write_field("app_name", app_name, out);
    out.push_back('}');
}

void write_migrations_json(const std::vector<MigrationState>& records, std::string& out) {
    out.push_back('[');
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i != 0) out.push_back(',');
        records[i].write_json(out);
    }
    out.push_back(']');
}

struct MigrationController::Core {
    Core(std::string name, std::shared_ptr<const Clock> c)
        : app_name(std::move(name)), clock(c ? std::move(c) : system_clock()) {}

    // The operations below expect `lock` held exclusively and not poisoned. Each reads the
    // clock before touching the record, so a failing clock leaves the record as it was (the
    // escaping exception still poisons the lock).
    Result<const MigrationState*> start(std::string_view name, std::string_view source, std::string_view target);
    Result<const MigrationState*> advance(std::string_view name, std::uint64_t discrepancies, std::uint64_t keys);
    Result<const MigrationState*> rollback(std::string_view name);

    PoisonLock lock;
    Map map;
    std::size_t active = 0;  // records below stage 6
    const std::string app_name;
    const std::shared_ptr<const Clock> clock;
};

Result<const MigrationState*> MigrationController::Core::start(std::string_view name, std::string_view source,
                                                               std::string_view target) {
    auto it = map.find(name);
    if (it != map.end() && it->second.stage < kStageDone) {
        const MigrationState& rec = it->second;
        std::string text;
        text.reserve(name.size() + rec.stage_name.size() + 56);
        text.append("Migration for '").append(name).append("' already in progress at stage ");
        text.append(std::to_string(rec.stage)).append(" (").append(rec.stage_name).append(")");
        return migration_error(text);
    }
    std::string now = timestamp(*clock);
    MigrationState fresh{
        .variable_name = std::string(name),
        .source_backend = std::string(source),
        .target_backend = std::string(target),
        .stage = 1,
        .stage_name = std::string(stage_name(1)),
        .started_at = now,
        .advanced_at = std::move(now),
        .discrepancy_count = 0,
        .keys_migrated = 0,
        .app_name = app_name,
    };
    if (it == map.end()) {
        it = map.emplace(std::string(name), std::move(fresh)).first;
    } else {
        it->second = std::move(fresh);  // replaces a completed record
    }
    ++active;
    return &it->second;
}

Result<const MigrationState*> MigrationController::Core::advance(std::string_view name, std::uint64_t discrepancies,
                                                                 std::uint64_t keys) {
    const auto it = map.find(name);
    if (it == map.end()) return not_found(name);
    MigrationState& rec = it->second;
    if (rec.stage >= kStageDone) return quoted_error("Migration for '", name, "' is already complete");
    const TimestampText now = timestamp_text(*clock);
    ++rec.stage;
    rec.stage_name.assign(stage_name(rec.stage));
    rec.advanced_at.assign(now.view());
    rec.discrepancy_count = saturating_add(rec.discrepancy_count, discrepancies);
    rec.keys_migrated = saturating_add(rec.keys_migrated, keys);
    if (rec.stage == kStageDone) --active;
    return &rec;
}

Result<const MigrationState*> MigrationController::Core::rollback(std::string_view name) {
    const auto it = map.find(name);
    if (it == map.end()) return not_found(name);
    MigrationState& rec = it->second;
    if (rec.stage == 0) return migration_error("Already at initial stage \u2014 cannot roll back further");
    if (rec.stage >= kStageDone) return migration_error("Cannot roll back a completed migration");
    const TimestampText now = timestamp_text(*clock);
    --rec.stage;
    rec.stage_name.assign(stage_name(rec.stage));
    rec.advanced_at.assign(now.view());
    return &rec;
}

MigrationController::MigrationController(std::string app_name, std::shared_ptr<const Clock> clock)
    : core_(std::make_shared<Core>(std::move(app_name), std::move(clock))) {}
MigrationController::~MigrationController() = default;
MigrationController::MigrationController(MigrationController&&) noexcept = default;
MigrationController& MigrationController::operator=(MigrationController&&) noexcept = default;

namespace {

// One exclusive section around a state change: `change` runs on the core and `emit` turns the
// changed record into the result while the lock is still held.
template <class R, class CoreT, class Change, class Emit>
R exclusive_change(CoreT& core, Change&& change, Emit&& emit) {
    PoisonLock::Exclusive guard(core.lock);
    if (guard.poisoned()) return poisoned_error();
    auto rec = change(core);
    if (!rec) return fail(std::move(rec.error()));
    return emit(**rec);
}

MigrationState copy_of(const MigrationState& rec) { return rec; }

}  // namespace

Result<MigrationState> MigrationController::start(std::string_view variable_name, std::string_view source_backend,
                                                  std::string_view target_backend) {
    return exclusive_change<Result<MigrationState>>(
        *core_, [&](Core& c) { return c.start(variable_name, source_backend, target_backend); }, copy_of);
}

Result<MigrationState> MigrationController::advance(std::string_view variable_name, std::uint64_t discrepancy_count,
                                                    std::uint64_t keys_migrated) {
    return exclusive_change<Result<MigrationState>>(
        *core_, [&](Core& c) { return c.advance(variable_name, discrepancy_count, keys_migrated); }, copy_of);
}

Result<MigrationState> MigrationController::rollback(std::string_view variable_name) {
    return exclusive_change<Result<MigrationState>>(
        *core_, [&](Core& c) { return c.rollback(variable_name); }, copy_of);
}

Status MigrationController::start_json(std::string_view variable_name, std::string_view source_backend,
                                       std::string_view target_backend, std::string& out) {
    return exclusive_change<Status>(
        *core_, [&](Core& c) { return c.start(variable_name, source_backend, target_backend); },
        [&](const MigrationState& rec) -> Status {
            rec.write_json(out);
            return {};
        });
}

Status MigrationController::advance_json(std::string_view variable_name, std::uint64_t discrepancy_count,
                                         std::uint64_t keys_migrated, std::string& out) {
    return exclusive_change<Status>(
        *core_, [&](Core& c) { return c.advance(variable_name, discrepancy_count, keys_migrated); },
        [&](const MigrationState& rec) -> Status {
            rec.write_json(out);
            return {};
        });
}

Status MigrationController::rollback_json(std::string_view variable_name, std::string& out) {
    return exclusive_change<Status>(
        *core_, [&](Core& c) { return c.rollback(variable_name); },
        [&](const MigrationState& rec) -> Status {
            rec.write_json(out);
            return {};
        });
}

Result<std::optional<MigrationState>> MigrationController::get(std::string_view variable_name) const {
    PoisonLock::Shared guard(core_->lock);
    if (guard.poisoned()) return poisoned_error();
    const auto it = core_->map.find(variable_name);
    if (it == core_->map.end()) return std::optional<MigrationState>();
    return std::optional<MigrationState>(it->second);
}

Result<bool> MigrationController::get_json(std::string_view variable_name, std::string& out) const {
    PoisonLock::Shared guard(core_->lock);
    if (guard.poisoned()) return poisoned_error();
    const auto it = core_->map.find(variable_name);
    if (it == core_->map.end()) return false;
    it->second.write_json(out);
    return true;
}

Result<std::vector<MigrationState>> MigrationController::list_all() const {
    PoisonLock::Shared guard(core_->lock);
    if (guard.poisoned()) return poisoned_error();
    std::vector<MigrationState> records;
    records.reserve(core_->map.size());
    for (const auto& entry : core_->map) records.push_back(entry.second);
    return records;
}

Status MigrationController::list_json(std::string& out) const {
    PoisonLock::Shared guard(core_->lock);
    if (guard.poisoned()) return poisoned_error();
    out.push_back('[');
    bool first = true;
    for (const auto& entry : core_->map) {
        if (!first) out.push_back(',');
        first = false;
        entry.second.write_json(out);
    }
    out.push_back(']');
    return {};
}

std::size_t MigrationController::count_active() const noexcept {
    if (!core_) return 0;
    PoisonLock::Shared guard(core_->lock);
    return guard.poisoned() ? 0 : core_->active;
}

bool MigrationController::poisoned() const noexcept { return core_ && core_->lock.poisoned(); }

}  // namespace korvo
