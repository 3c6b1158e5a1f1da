// Zero-downtime migrations of storage variables through fixed stages.
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
#include "json/write.h"


namespace korvo {

// The stages in order: a record starts at stage 1, is active below the last, complete at it.
inline constexpr std::array<std::string_view, 7> kStageNames = {
    "idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done",
};
inline constexpr auto kStageDone = static_cast<std::uint8_t>(kStageNames.size() - 1);
std::string_view stage_name(std::uint8_t stage) noexcept;

struct MigrationState : json::WritesJson<MigrationState> {
    std::string variable_name;
    std::string source_backend;
    std::string target_backend;
    std::uint8_t stage = 1;
    std::string stage_name;
    std::string started_at;
    std::string advanced_at;
    std::uint64_t discrepancy_count = 0;
    std::uint64_t keys_migrated = 0;
    std::string app_name;

    void write_json(std::string& out) const;
    friend bool operator==(const MigrationState&, const MigrationState&) = default;
};

void write_migrations_json(const std::vector<MigrationState>& records, std::string& out);

// The parts of a migration record that never change after its start, and its JSON's start,
// ready made: {"variable_name":…,"source_backend":…,"target_backend":…,"stage":
struct MigrationIdentity {
    MigrationIdentity(std::string_view variable_name, std::string_view source_backend,
                      std::string_view target_backend);
    std::string variable_name;
    std::string source_backend;
    std::string target_backend;
    TimestampText started_at;
    std::string head;
};

// A migration record as the controller stores it. Copying one shares its identity, so a snapshot
// taken under the lock allocates nothing; its JSON and copies are made after the lock is released.
struct MigrationRecord {
    std::shared_ptr<const MigrationIdentity> identity;
    std::uint8_t stage = 1;
    TimestampText advanced_at;
    std::uint64_t discrepancy_count = 0;
    std::uint64_t keys_migrated = 0;

    // `tail` is the controller's ready-made end of every record: ,"app_name":…}
    void write_json(std::string_view tail, std::string& out) const;
    MigrationState state(std::string_view app_name) const;
};

// A stage change (start, advance, rollback) as it was made, so that a caller who cannot hand its
// result on can take it back (`MigrationController::undo`).
struct MigrationChange {
    MigrationRecord after;                  // the record as the change left it
    std::optional<MigrationRecord> before;  // what it replaced; none when `start` created the record
};

class MigrationController {
public:
    explicit MigrationController(std::string app_name, std::shared_ptr<const Clock> clock = system_clock());
    ~MigrationController();
    MigrationController(MigrationController&&) noexcept;
    MigrationController& operator=(MigrationController&&) noexcept;

    Result<MigrationState> start(std::string_view variable_name, std::string_view source_backend,
                                 std::string_view target_backend);
    Result<MigrationState> advance(std::string_view variable_name, std::uint64_t discrepancy_count,
                                   std::uint64_t keys_migrated);
    Result<MigrationState> rollback(std::string_view variable_name);
    Result<std::optional<MigrationState>> get(std::string_view variable_name) const;
    Result<std::vector<MigrationState>> list_all() const;
    std::size_t count_active() const noexcept;

    // Writing variants: the record's JSON is appended to `out`, written after the lock is released
    // from a snapshot taken under it. Should writing fail, the change is undone before the
    // failure goes on.
    Result<MigrationChange> start_json(std::string_view variable_name, std::string_view source_backend,
                                       std::string_view target_backend, std::string& out);
    Result<MigrationChange> advance_json(std::string_view variable_name, std::uint64_t discrepancy_count,
                                         std::uint64_t keys_migrated, std::string& out);
    Result<MigrationChange> rollback_json(std::string_view variable_name, std::string& out);
    // Puts back what `change` replaced, if the record is still as the change left it; never fails.
    void undo(std::string_view variable_name, const MigrationChange& change) noexcept;
    Result<bool> get_json(std::string_view variable_name, std::string& out) const;
    Status list_json(std::string& out) const;

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
