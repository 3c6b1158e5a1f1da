// Zero-downtime migrations of storage variables through fixed stages.
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

namespace korvo {

struct LockWait;  // base/lock.h

// The stages in order: a record starts at stage 1, is active below the last, complete at it.
inline constexpr auto kStageNames = std::to_array<std::string_view>(
    {"idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done"});
inline constexpr auto kStageDone = static_cast<std::uint8_t>(kStageNames.size() - 1);
std::string_view stage_name(std::uint8_t stage) noexcept;

// The parts of a migration that never change after its start, and its record's JSON up to the
// parts that do, written once: {"variable_name":…,"source_backend":…,"target_backend":…
struct MigrationIdentity {
    MigrationIdentity(std::string_view variable_name, std::string_view source_backend,
                      std::string_view target_backend);
    std::string variable_name;
    std::string source_backend;
    std::string target_backend;
    TimestampText started_at;
    std::string head;
};

// A migration as the controller holds it. Copying one shares its identity, so a snapshot taken
// under the lock allocates nothing; its record is written after the lock is released.
struct MigrationState {
    std::shared_ptr<const MigrationIdentity> identity;
    std::uint8_t stage = 1;
    TimestampText advanced_at;
    std::uint64_t discrepancy_count = 0;
    std::uint64_t keys_migrated = 0;
};

// A stage change (start, advance, rollback) as it was made, so that a caller who cannot hand its
// result on can take it back (`MigrationController::undo`).
struct MigrationChange {
    MigrationState after;                  // the migration as the change left it
    std::optional<MigrationState> before;  // what it replaced; none when `start` created it
};

class MigrationController {
public:
    // `wait`, when given, is what a call lets go of while it waits for the controller's lock.
    explicit MigrationController(std::string app_name, std::shared_ptr<const Clock> clock = system_clock(),
                                 const LockWait* wait = nullptr);
    ~MigrationController();
    MigrationController(MigrationController&&) noexcept;
    MigrationController& operator=(MigrationController&&) noexcept;

    // Each change appends the migration's record to `out`, written after the lock is released from a
    // snapshot taken under it. Should writing fail, the change is undone before the failure goes on.
    Result<MigrationChange> start_json(std::string_view variable_name, std::string_view source_backend,
                                       std::string_view target_backend, std::string& out);
    Result<MigrationChange> advance_json(std::string_view variable_name, std::uint64_t discrepancy_count,
                                         std::uint64_t keys_migrated, std::string& out);
    Result<MigrationChange> rollback_json(std::string_view variable_name, std::string& out);
    // Puts back what `change` replaced, if the migration is still as the change left it; never fails.
    void undo(std::string_view variable_name, const MigrationChange& change) noexcept;
    // True and the record appended when present; false when absent.
    Result<bool> get_json(std::string_view variable_name, std::string& out) const;
    // "[" records "," ... "]" of every migration, active and completed.
    Status list_json(std::string& out) const;
    std::size_t count_active() const noexcept;
    std::size_t count() const noexcept;  // every record, completed ones included

    bool poisoned() const noexcept;

private:
    Result<MigrationChange> start_change(std::string_view variable_name, std::string_view source_backend,
                                         std::string_view target_backend);
    Result<MigrationChange> step_change(std::string_view variable_name, bool forward, std::uint64_t discrepancy_count,
                                        std::uint64_t keys_migrated);
    template <class Section>
    Result<MigrationChange> apply(std::string_view variable_name, Section&& section);
    template <class Deliver>
    Result<MigrationChange> delivered(std::string_view variable_name, Result<MigrationChange> change,
                                      Deliver&& deliver);

    struct Core;
    std::shared_ptr<Core> core_;
};

}  // namespace korvo
