// The migration methods, each one's parameters, docstring and body together.
#include "facade/mesh_type.h"

namespace korvo::facade {
namespace {

// The record a change wrote, or, when its str cannot be made, the change taken back.
PyObject* changed(MeshFields& mesh, const Args& a, const Result<MigrationChange>& change, const std::string& record) {
    if (!check(change)) return nullptr;
    return delivered(to_str(record), [&] { mesh.migrations.undo(a[0].text, *change); });
}

struct StartMigration {
    static constexpr Signature sig = signature("start_migration", str("variable_name"), str("source_backend"),
                                               str("target_backend"));
    static constexpr char doc[] = R"(Start a zero-downtime migration for a storage variable.

Args:
    variable_name:  Fully-qualified storage name, e.g. ``"counter.Counts"``.
    source_backend: Current backend name, e.g. ``"sqlite"``.
    target_backend: Target backend name, e.g. ``"redis"``.

Returns:
    JSON string of the initial :class:`MigrationState` (stage 1).

Raises:
    ValueError: If a non-complete migration already exists for this variable.)";

    static PyObject* call(MeshFields& mesh, const Args& a) {
        OutBuffer out;
        return changed(mesh, a, mesh.migrations.start_json(a[0].text, a[1].text, a[2].text, out.text()), out.text());
    }
};

struct AdvanceMigration {
    static constexpr Signature sig = signature("advance_migration", str("variable_name"), u64("discrepancy_count"),
                                               u64("keys_migrated"));
    static constexpr char doc[] = R"(Advance a migration to its next stage.

Args:
    variable_name:     Storage variable name.
    discrepancy_count: Number of read discrepancies observed in this stage.
    keys_migrated:     Number of keys copied during this stage.

Returns:
    JSON string of the updated :class:`MigrationState`.)";

    static PyObject* call(MeshFields& mesh, const Args& a) {
        OutBuffer out;
        auto change = mesh.migrations.advance_json(a[0].text, a[1].number, a[2].number, out.text());
        return changed(mesh, a, change, out.text());
    }
};

struct RollbackMigration {
    static constexpr Signature sig = signature("rollback_migration", str("variable_name"));
    static constexpr char doc[] = R"(Roll back a migration by one stage.

Returns:
    JSON string of the updated :class:`MigrationState`.)";

    static PyObject* call(MeshFields& mesh, const Args& a) {
        OutBuffer out;
        return changed(mesh, a, mesh.migrations.rollback_json(a[0].text, out.text()), out.text());
    }
};

struct GetMigration {
    static constexpr Signature sig = signature("get_migration", str("variable_name"));
    static constexpr char doc[] = R"(Get the current migration state for a variable.

Returns:
    JSON string, or ``None`` if no migration exists for this variable.)";

    static PyObject* call(MeshFields& mesh, const Args& a) {
        OutBuffer out;
        return optional_str_or_raise(mesh.migrations.get_json(a[0].text, out.text()), out.text());
    }
};

struct ListMigrations {
    static constexpr Signature sig = signature("list_migrations");
    static constexpr char doc[] = R"(List all migrations (active and completed).

Returns:
    JSON array string.)";

    static PyObject* call(MeshFields& mesh) {
        OutBuffer out;
        const bool long_listing = mesh.migrations.count() >= kReleaseFromEntries;
        return str_or_raise(released_if(long_listing, [&] { return mesh.migrations.list_json(out.text()); }),
                            out.text());
    }
};

constexpr auto kMethods =
    methods<StartMigration, AdvanceMigration, RollbackMigration, GetMigration, ListMigrations>();

}  // namespace

std::span<const Method> migration_methods() noexcept { return kMethods; }

}  // namespace korvo::facade
