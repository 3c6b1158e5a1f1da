// Zero-downtime migrations of storage variables through fixed stages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "clock.h"
#include "error.h"

namespace korvo {

inline constexpr std::uint8_t kStageDone = 6;
std::string_view stage_name(std::uint8_t stage) noexcept;

struct MigrationState {
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
    std::string to_json() const {
        std::string out;
        write_json(out);
        return out;
    }
    friend bool operator==(const MigrationState&, const MigrationState&) = default;
};

void write_migrations_json(const std::vector<MigrationState>& records, std::string& out);

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

    // Writing variants: the record JSON goes straight into `out` under the lock.
    Status start_json(std::string_view variable_name, std::string_view source_backend,
                      std::string_view target_backend, std::string& out);
    Status advance_json(std::string_view variable_name, std::uint64_t discrepancy_count, std::uint64_t keys_migrated,
                        std::string& out);
    Status rollback_json(std::string_view variable_name, std::string& out);
    Result<bool> get_json(std::string_view variable_name, std::string& out) const;
    Status list_json(std::string& out) const;

    bool poisoned() const noexcept;

private:
    struct Core;
    std::shared_ptr<Core> core_;
};

}  // namespace korvo
