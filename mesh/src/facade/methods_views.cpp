// The read-only views of a whole mesh: the health snapshot, the plan, the summary line that
// repr() shows and the app_name property.
#include "base/utf8.h"
#include "facade/mesh_type.h"
#include "health.h"

namespace korvo::facade {
namespace {

struct HealthSnapshot {
    static constexpr Signature sig = signature("health_snapshot");
    static constexpr char doc[] = R"(Return a JSON health snapshot of the entire mesh.

The snapshot includes agent counts by status, state-store key count,
active migration count, and channel topic count.)";

    static PyObject* call(MeshFields& mesh) {
        const HealthCounts counts = read_health(mesh.registry, mesh.store, mesh.migrations, mesh.channel);
        OutBuffer out;
        write_health_json(mesh.plan.app_name, counts, out.text());
        // Names, numbers and escapes are ASCII: the snapshot is ASCII when the app's name is.
        return to_str(out.text(), utf8::ascii(mesh.plan.app_name));
    }
};

struct PlanJson {
    static constexpr Signature sig = signature("plan_json");
    static constexpr char doc[] = "Return the solved plan as a JSON string.";

    static PyObject* call(MeshFields& mesh) {
        OutBuffer out;
        mesh.plan.write_json(out.text());
        return to_str(out.text());
    }
};

constexpr auto kMethods = methods<HealthSnapshot, PlanJson>();

PyObject* get_app_name(PyObject* self, void*) noexcept {
    return guarded([&] { return to_str(fields(self).plan.app_name); });
}

}  // namespace

std::span<const Method> view_methods() noexcept { return kMethods; }

PyObject* mesh_repr(PyObject* self) noexcept {
    return guarded([&] {
        MeshFields& mesh = fields(self);
        const HealthCounts counts = read_summary_counts(mesh.registry, mesh.store, mesh.migrations);
        OutBuffer out;
        write_summary(mesh.plan.app_name, counts, out.text());
        return to_str(out.text());
    });
}

PyGetSetDef app_name_property() noexcept {
    return {"app_name", get_app_name, nullptr, "Application name.", nullptr};
}

}  // namespace korvo::facade
