// The interpreter face of the mesh: the module entry point, the KorvoMesh type and every
// method. Owned references, the exception boundary with the result conversions, and the
// argument matcher live in py_ref.h, py_call.h and py_args.h; each method here matches its
// arguments, calls one component operation and converts the answer.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include <memory>

#include "channel.h"
#include "base/clock.h"
#include "base/error.h"
#include "health.h"
#include "json/canonical.h"
#include "json/json_text.h"
#include "migration.h"
#include "plan.h"
#include "registry.h"
#include "state.h"
#include "facade/py_args.h"
#include "facade/py_call.h"
#include "facade/py_ref.h"

#ifndef KORVO_VERSION
#error "KORVO_VERSION must be defined by the build (the project version)"
#endif

namespace korvo {
namespace {

using namespace facade;

// ---------------------------------------------------------------------------------------
// The process-wide init record: the interpreter that first loaded the module, the module
// object, and the types created for it. Nothing else in the module is global.

struct InitRecord {
    std::atomic<std::int64_t> interpreter{-1};
    PyObject* module = nullptr;
    PyTypeObject* mesh_type = nullptr;
    PyObject* internal_fault = nullptr;
};
InitRecord g_init;

// ---------------------------------------------------------------------------------------
// The mesh object

struct MeshFields {
    Plan plan;
    AgentRegistry registry;
    InMemoryStateStore store;
    MigrationController migrations;
    MeshChannel channel;
};

struct MeshObject {
    PyObject_HEAD
    // Constructed in place by the constructor; released field by field in declaration order.
    alignas(MeshFields) unsigned char storage[sizeof(MeshFields)];
    bool live;

    MeshFields& f() noexcept { return *std::launder(reinterpret_cast<MeshFields*>(storage)); }
};

MeshFields& fields(PyObject* self) noexcept { return reinterpret_cast<MeshObject*>(self)->f(); }

// ---- constructor ----------------------------------------------------------------------

constexpr Signature kNewSig = signature("__new__", str("app_name"), str("plan_json", ""));

PyObject* mesh_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kNewSig, args, kwargs, a)) return nullptr;
        const std::string_view app_name = a[0].text;
        const std::string_view plan_text = a[1].text;

        Plan plan;
        if (plan_text.empty()) {
            plan = Plan::named(std::string(app_name));
        } else {
            auto decoded = Plan::from_json(plan_text);
            if (!decoded) {
                raise_mesh_error(decoded.error());
                return nullptr;
            }
            plan = std::move(*decoded);
        }
        std::string effective = plan.app_name.empty() ? std::string(app_name) : plan.app_name;
        MigrationController migrations(std::move(effective));
        AgentRegistry registry;
        InMemoryStateStore store;
        MeshChannel channel;

        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        auto* obj = reinterpret_cast<MeshObject*>(self);
        std::construct_at(reinterpret_cast<MeshFields*>(obj->storage),
                          MeshFields{std::move(plan), std::move(registry), std::move(store), std::move(migrations),
                                     std::move(channel)});
        obj->live = true;
        return self;
    });
}

void mesh_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<MeshObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (obj->live) {
        try {
            MeshFields& mf = obj->f();
            // Release in declaration order: plan, registry, store, controller, channel.
            { Plan released = std::move(mf.plan); }
            { AgentRegistry released = std::move(mf.registry); }
            { InMemoryStateStore released = std::move(mf.store); }
            { MigrationController released = std::move(mf.migrations); }
            { MeshChannel released = std::move(mf.channel); }
            std::destroy_at(&mf);
        } catch (...) {
            raise_internal_fault("failure while releasing a mesh");
            PyErr_WriteUnraisable(self);
        }
        obj->live = false;
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- property and plan ------------------------------------------------------------------

PyObject* mesh_get_app_name(PyObject* self, void*) {
    return guarded([&] { return to_str(fields(self).plan.app_name); });
}

PyObject* mesh_plan_json(PyObject* self, PyObject*) {
    return guarded([&] {
        OutBuffer lease;
        std::string& out = lease.text();
        fields(self).plan.write_json(out);
        return to_str(out);
    });
}

// ---- agents -----------------------------------------------------------------------------

constexpr Signature kRegisterSig = signature("register_agent", str("agent_type"), str("agent_id"), u32("instance"), optional_str("metadata_json"));

PyObject* mesh_register_agent(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kRegisterSig, args, nargs, kwnames, a)) return nullptr;
        std::optional<json::Value> metadata;
        if (a[3].present) {
            auto parsed = json::parse(a[3].text);
            if (!check(parsed)) return nullptr;
            metadata = std::move(*parsed);
        }
        OutBuffer lease;
        std::string& out = lease.text();
        AgentRegistry& registry = fields(self).registry;
        auto done = registry.register_agent_json(a[0].text, a[1].text, static_cast<std::uint32_t>(a[2].number),
                                                 std::move(metadata), out);
        if (!check(done)) return nullptr;
        return delivered(to_str(out), [&] { registry.undo(a[1].text, *done); });
    });
}

constexpr Signature kAgentIdSig = signature("get_agent", str("agent_id"));

PyObject* mesh_get_agent(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kAgentIdSig, args, nargs, kwnames, a)) return nullptr;
        OutBuffer lease;
        std::string& out = lease.text();
        auto found = fields(self).registry.get_json(a[0].text, out);
        if (!check(found)) return nullptr;
        if (!*found) Py_RETURN_NONE;
        return to_str(out);
    });
}

constexpr Signature kListAgentsSig = signature("list_agents", optional_str("agent_type"), optional_str("status"));

PyObject* mesh_list_agents(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kListAgentsSig, args, nargs, kwnames, a)) return nullptr;
        std::optional<std::string_view> type_filter, status_filter;
        if (a[0].present) type_filter = a[0].text;
        if (a[1].present) status_filter = a[1].text;
        OutBuffer lease;
        std::string& out = lease.text();
        auto status = fields(self).registry.list_json(type_filter, status_filter, out);
        return str_or_raise(status, out);
    });
}

constexpr Signature kUpdateStatusSig = signature("update_agent_status", str("agent_id"), str("status"));

PyObject* mesh_update_agent_status(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kUpdateStatusSig, args, nargs, kwnames, a)) return nullptr;
        const auto status = status_from_name(a[1].text);
        if (!status) {
            std::string message;
            write_unknown_status(a[1].text, message);
            Ref text(to_str(message));
            if (text) PyErr_SetObject(PyExc_ValueError, text.get());
            return nullptr;
        }
        return none_or_raise(fields(self).registry.update_status(a[0].text, *status));
    });
}

constexpr Signature kDeregisterSig = signature("deregister_agent", str("agent_id"));

PyObject* mesh_deregister_agent(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kDeregisterSig, args, nargs, kwnames, a)) return nullptr;
        return none_or_raise(fields(self).registry.deregister(a[0].text));
    });
}

constexpr Signature kRouteSig = signature("route_agent_call", str("agent_type"), str("agent_id"), str("method"), str("args_json", "{}"));

PyObject* mesh_route_agent_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kRouteSig, args, nargs, kwnames, a)) return nullptr;
        // The arguments must be JSON; their value is the caller's business, so nothing is kept.
        if (a[3].present) {
            auto read = json::check(a[3].text);
            if (!read) {
                raise_mesh_error(read.error().to_mesh_error());
                return nullptr;
            }
        }
        // The descriptor is made before the agent is marked: a call that fails for want of memory
        // leaves the agent as it was.
        OutBuffer lease;
        std::string& out = lease.text();
        write_route_descriptor(a[0].text, a[1].text, a[2].text, out);
        Ref descriptor(to_str(out));
        if (!descriptor) return nullptr;
        auto routed = fields(self).registry.route(a[0].text, a[1].text);
        if (!check(routed)) return nullptr;
        return descriptor.release();
    });
}

// ---- state ------------------------------------------------------------------------------

constexpr Signature kStateGetSig = signature("state_get", str("key"));

PyObject* mesh_state_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kStateGetSig, args, nargs, kwnames, a)) return nullptr;
        OutBuffer lease;
        std::string& out = lease.text();
        auto found = fields(self).store.get_text(a[0].text, out);
        if (!check(found)) return nullptr;
        if (!*found) Py_RETURN_NONE;
        return to_str(out);
    });
}

constexpr Signature kStateSetSig = signature("state_set", str("key"), str("value_json"));

PyObject* mesh_state_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kStateSetSig, args, nargs, kwnames, a)) return nullptr;
        // Read straight into the stored canonical text; no value tree is built.
        return none_or_raise(fields(self).store.set_text(a[0].text, a[1].text));
    });
}

constexpr Signature kStateDeleteSig = signature("state_delete", str("key"));

PyObject* mesh_state_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kStateDeleteSig, args, nargs, kwnames, a)) return nullptr;
        return none_or_raise(fields(self).store.remove(a[0].text));
    });
}

constexpr Signature kStateExistsSig = signature("state_exists", str("key"));

PyObject* mesh_state_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kStateExistsSig, args, nargs, kwnames, a)) return nullptr;
        auto found = fields(self).store.exists(a[0].text);
        if (!check(found)) return nullptr;
        return PyBool_FromLong(*found);
    });
}

constexpr Signature kStateKeysSig = signature("state_keys", str("prefix", ""));

PyObject* mesh_state_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kStateKeysSig, args, nargs, kwnames, a)) return nullptr;
        auto keys = fields(self).store.keys_with_prefix(a[0].text);
        if (!check(keys)) return nullptr;
        Ref list(PyList_New(static_cast<Py_ssize_t>(keys->size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < keys->size(); ++i) {
            PyObject* item = to_str((*keys)[i]);
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

// ---- topics -----------------------------------------------------------------------------

constexpr Signature kPublishSig = signature("publish", str("topic"), str("payload_json"));

PyObject* mesh_publish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kPublishSig, args, nargs, kwnames, a)) return nullptr;
        auto parsed = json::parse(a[1].text);
        if (!check(parsed)) return nullptr;
        auto delivered = fields(self).channel.publish(a[0].text, std::move(*parsed));
        if (!check(delivered)) return nullptr;
        return PyLong_FromSize_t(*delivered);
    });
}

// ---- migrations -------------------------------------------------------------------------

constexpr Signature kStartSig = signature("start_migration", str("variable_name"), str("source_backend"), str("target_backend"));

PyObject* mesh_start_migration(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kStartSig, args, nargs, kwnames, a)) return nullptr;
        OutBuffer lease;
        std::string& out = lease.text();
        MigrationController& migrations = fields(self).migrations;
        auto change = migrations.start_json(a[0].text, a[1].text, a[2].text, out);
        if (!check(change)) return nullptr;
        return delivered(to_str(out), [&] { migrations.undo(a[0].text, *change); });
    });
}

constexpr Signature kAdvanceSig = signature("advance_migration", str("variable_name"), u64("discrepancy_count"), u64("keys_migrated"));

PyObject* mesh_advance_migration(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kAdvanceSig, args, nargs, kwnames, a)) return nullptr;
        OutBuffer lease;
        std::string& out = lease.text();
        MigrationController& migrations = fields(self).migrations;
        auto change = migrations.advance_json(a[0].text, a[1].number, a[2].number, out);
        if (!check(change)) return nullptr;
        return delivered(to_str(out), [&] { migrations.undo(a[0].text, *change); });
    });
}

constexpr Signature kRollbackSig = signature("rollback_migration", str("variable_name"));

PyObject* mesh_rollback_migration(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kRollbackSig, args, nargs, kwnames, a)) return nullptr;
        OutBuffer lease;
        std::string& out = lease.text();
        MigrationController& migrations = fields(self).migrations;
        auto change = migrations.rollback_json(a[0].text, out);
        if (!check(change)) return nullptr;
        return delivered(to_str(out), [&] { migrations.undo(a[0].text, *change); });
    });
}

constexpr Signature kGetMigrationSig = signature("get_migration", str("variable_name"));

PyObject* mesh_get_migration(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kGetMigrationSig, args, nargs, kwnames, a)) return nullptr;
        OutBuffer lease;
        std::string& out = lease.text();
        auto found = fields(self).migrations.get_json(a[0].text, out);
        if (!check(found)) return nullptr;
        if (!*found) Py_RETURN_NONE;
        return to_str(out);
    });
}

PyObject* mesh_list_migrations(PyObject* self, PyObject*) {
    return guarded([&] {
        OutBuffer lease;
        std::string& out = lease.text();
        auto status = fields(self).migrations.list_json(out);
        return str_or_raise(status, out);
    });
}

// ---- health -----------------------------------------------------------------------------

PyObject* mesh_health_snapshot(PyObject* self, PyObject*) {
    return guarded([&] {
        MeshFields& mf = fields(self);
        const HealthCounts counts = read_health(mf.registry, mf.store, mf.migrations, mf.channel);
        OutBuffer lease;
        std::string& out = lease.text();
        write_health_json(mf.plan.app_name, counts, out);
        return to_str(out);
    });
}

PyObject* mesh_repr(PyObject* self) {
    return guarded([&] {
        MeshFields& mf = fields(self);
        const HealthCounts counts = read_summary_counts(mf.registry, mf.store, mf.migrations);
        OutBuffer lease;
        std::string& out = lease.text();
        write_summary(mf.plan.app_name, counts, out);
        return to_str(out);
    });
}

// ---------------------------------------------------------------------------------------
// Type and module definitions

#define KORVO_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef kMethods[] = {
    {"plan_json", mesh_plan_json, METH_NOARGS,
     "plan_json($self)\n--\n\nReturn the solved plan as a JSON string."},
    {"register_agent", KORVO_FASTCALL(mesh_register_agent), METH_FASTCALL | METH_KEYWORDS,
     "register_agent($self, agent_type, agent_id, instance=0, metadata_json=None)\n--\n\n"
     "Register a new agent instance.\n\n"
     "Args:\n"
     "    agent_type:    Class name, e.g. ``\"Customer\"``.\n"
     "    agent_id:      Unique identity key, e.g. ``\"customer-123\"``.\n"
     "    instance:      Replica index (0-based, default 0).\n"
     "    metadata_json: Optional JSON object with extra fields.\n\n"
     "Returns:\n"
     "    JSON string representing the created :class:`AgentEntry`.\n\n"
     "Raises:\n"
     "    RuntimeError: If the agent ID is already registered."},
    {"update_agent_status", KORVO_FASTCALL(mesh_update_agent_status), METH_FASTCALL | METH_KEYWORDS,
     "update_agent_status($self, agent_id, status)\n--\n\n"
     "Update the status of a registered agent.\n\n"
     "Args:\n"
     "    agent_id: The agent's unique ID.\n"
     "    status:   One of ``\"starting\"``, ``\"running\"``, ``\"idle\"``,\n"
     "              ``\"stopping\"``, ``\"stopped\"``, ``\"error\"``.\n\n"
     "Raises:\n"
     "    ValueError: If the status string is not recognised.\n"
     "    KeyError:   If the agent ID is not registered."},
    {"deregister_agent", KORVO_FASTCALL(mesh_deregister_agent), METH_FASTCALL | METH_KEYWORDS,
     "deregister_agent($self, agent_id)\n--\n\n"
     "Deregister an agent.  No-op if the ID does not exist."},
    {"get_agent", KORVO_FASTCALL(mesh_get_agent), METH_FASTCALL | METH_KEYWORDS,
     "get_agent($self, agent_id)\n--\n\n"
     "Look up an agent by ID.\n\n"
     "Returns:\n"
     "    JSON string for the agent, or ``None`` if not found."},
    {"list_agents", KORVO_FASTCALL(mesh_list_agents), METH_FASTCALL | METH_KEYWORDS,
     "list_agents($self, agent_type=None, status=None)\n--\n\n"
     "List agents, optionally filtered.\n\n"
     "Args:\n"
     "    agent_type: Filter by type name (``None`` = all types).\n"
     "    status:     Filter by status string (``None`` = all statuses).\n\n"
     "Returns:\n"
     "    JSON array string of agent records."},
    {"route_agent_call", KORVO_FASTCALL(mesh_route_agent_call), METH_FASTCALL | METH_KEYWORDS,
     "route_agent_call($self, agent_type, agent_id, method, args_json=\"{}\")\n--\n\n"
     "Route a call to an agent and return routing metadata as JSON.\n\n"
     "This method validates that the agent exists and is not stopped/errored,\n"
     "then marks it as ``\"running\"`` and returns a routing descriptor.  The\n"
     "actual Python method dispatch is performed by the caller using the\n"
     "returned metadata.\n\n"
     "Args:\n"
     "    agent_type: Agent class name.\n"
     "    agent_id:   Agent identity key.\n"
     "    method:     Method name to invoke.\n"
     "    args_json:  JSON object of keyword arguments (default ``\"{}\"``) .\n\n"
     "Returns:\n"
     "    JSON object ``{\"status\": \"routed\", \"agent_id\": \"\u2026\", \u2026}``.\n\n"
     "Raises:\n"
     "    KeyError:   If the agent is not registered or has stopped."},
    {"state_get", KORVO_FASTCALL(mesh_state_get), METH_FASTCALL | METH_KEYWORDS,
     "state_get($self, key)\n--\n\n"
     "Get a value from the shared state store.\n\n"
     "Returns:\n"
     "    JSON string for the value, or ``None`` if the key does not exist."},
    {"state_set", KORVO_FASTCALL(mesh_state_set), METH_FASTCALL | METH_KEYWORDS,
     "state_set($self, key, value_json)\n--\n\n"
     "Set a value in the shared state store.\n\n"
     "Args:\n"
     "    key:        Arbitrary string key.\n"
     "    value_json: JSON-encoded value to store."},
    {"state_delete", KORVO_FASTCALL(mesh_state_delete), METH_FASTCALL | METH_KEYWORDS,
     "state_delete($self, key)\n--\n\n"
     "Delete a key from the state store.  No-op if the key does not exist."},
    {"state_exists", KORVO_FASTCALL(mesh_state_exists), METH_FASTCALL | METH_KEYWORDS,
     "state_exists($self, key)\n--\n\n"
     "Check whether a key exists in the state store."},
    {"state_keys", KORVO_FASTCALL(mesh_state_keys), METH_FASTCALL | METH_KEYWORDS,
     "state_keys($self, prefix=\"\")\n--\n\n"
     "Return all keys that start with `prefix` (sorted)."},
    {"publish", KORVO_FASTCALL(mesh_publish), METH_FASTCALL | METH_KEYWORDS,
     "publish($self, topic, payload_json)\n--\n\n"
     "Publish a message to a topic.\n\n"
     "Args:\n"
     "    topic:        Topic name string.\n"
     "    payload_json: JSON-encoded message payload.\n\n"
     "Returns:\n"
     "    Number of active receivers that received the message."},
    {"start_migration", KORVO_FASTCALL(mesh_start_migration), METH_FASTCALL | METH_KEYWORDS,
     "start_migration($self, variable_name, source_backend, target_backend)\n--\n\n"
     "Start a zero-downtime migration for a storage variable.\n\n"
     "Args:\n"
     "    variable_name:  Fully-qualified storage name, e.g. ``\"counter.Counts\"``.\n"
     "    source_backend: Current backend name, e.g. ``\"sqlite\"``.\n"
     "    target_backend: Target backend name, e.g. ``\"redis\"``.\n\n"
     "Returns:\n"
     "    JSON string of the initial :class:`MigrationState` (stage 1).\n\n"
     "Raises:\n"
     "    ValueError: If a non-complete migration already exists for this variable."},
    {"advance_migration", KORVO_FASTCALL(mesh_advance_migration), METH_FASTCALL | METH_KEYWORDS,
     "advance_migration($self, variable_name, discrepancy_count=0, keys_migrated=0)\n--\n\n"
     "Advance a migration to its next stage.\n\n"
     "Args:\n"
     "    variable_name:     Storage variable name.\n"
     "    discrepancy_count: Number of read discrepancies observed in this stage.\n"
     "    keys_migrated:     Number of keys copied during this stage.\n\n"
     "Returns:\n"
     "    JSON string of the updated :class:`MigrationState`."},
    {"rollback_migration", KORVO_FASTCALL(mesh_rollback_migration), METH_FASTCALL | METH_KEYWORDS,
     "rollback_migration($self, variable_name)\n--\n\n"
     "Roll back a migration by one stage.\n\n"
     "Returns:\n"
     "    JSON string of the updated :class:`MigrationState`."},
    {"get_migration", KORVO_FASTCALL(mesh_get_migration), METH_FASTCALL | METH_KEYWORDS,
     "get_migration($self, variable_name)\n--\n\n"
     "Get the current migration state for a variable.\n\n"
     "Returns:\n"
     "    JSON string, or ``None`` if no migration exists for this variable."},
    {"list_migrations", mesh_list_migrations, METH_NOARGS,
     "list_migrations($self)\n--\n\n"
     "List all migrations (active and completed).\n\n"
     "Returns:\n"
     "    JSON array string."},
    {"health_snapshot", mesh_health_snapshot, METH_NOARGS,
     "health_snapshot($self)\n--\n\n"
     "Return a JSON health snapshot of the entire mesh.\n\n"
     "The snapshot includes agent counts by status, state-store key count,\n"
     "active migration count, and channel topic count."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"app_name", mesh_get_app_name, nullptr, "Application name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kTypeDoc[] =
    "KorvoMesh(app_name, plan_json=\"\")\n--\n\n"
    "The runtime mesh for a Korvo application.\n\n"
    "Create one per application process (Python):\n\n"
    "```python\n"
    "mesh = KorvoMesh(\"myapp\", plan_json)\n"
    "```\n\n"
    "All methods are synchronous and GIL-aware \u2014 they release the GIL during\n"
    "any blocking work.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {Py_tp_new, reinterpret_cast<void*>(mesh_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mesh_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(mesh_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kTypeSpec = {
    "KorvoMesh",
    static_cast<int>(sizeof(MeshObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "korvo_mesh",
    "Python module `korvo_mesh`.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds `value` (stolen) under `name` and appends the name to `__all__`.
bool add_exported(PyObject* module, const char* name, PyObject* value) {
    Ref owned(value);
    if (!owned) return false;
    PyObject* all = nullptr;
    if (PyDict_GetItemStringRef(PyModule_GetDict(module), "__all__", &all) < 0) return false;
    Ref all_ref(all);
    if (!all_ref) {
        all_ref = Ref(PyList_New(0));
        if (!all_ref || PyModule_AddObjectRef(module, "__all__", all_ref.get()) < 0) return false;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all_ref.get(), text.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

// The type's name carries no module prefix. The interpreter warns about such names when
// it builds the type; that warning must not turn into an import failure under -W error, so
// it is silenced for the one call, and `__module__` is set afterwards for pickling and help().
PyTypeObject* create_mesh_type() {
    Ref warnings(PyImport_ImportModule("warnings"));
    if (!warnings) return nullptr;
    Ref context(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
    if (!context) return nullptr;
    Ref entered(PyObject_CallMethod(context.get(), "__enter__", nullptr));
    if (!entered) return nullptr;
    Ref filtered(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore", PyExc_DeprecationWarning));
    PyObject* type = filtered ? PyType_FromSpec(&kTypeSpec) : nullptr;
    Ref exited(PyObject_CallMethod(context.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    if (!type) return nullptr;
    Ref type_ref(type);
    if (!exited) return nullptr;
    Ref module_name(PyUnicode_FromString("korvo_mesh"));
    if (!module_name) return nullptr;
    auto* as_type = reinterpret_cast<PyTypeObject*>(type);
    if (PyDict_SetItemString(as_type->tp_dict, "__module__", module_name.get()) < 0) return nullptr;
    PyType_Modified(as_type);
    return reinterpret_cast<PyTypeObject*>(type_ref.release());
}

PyObject* init_module() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    std::int64_t expected = -1;
    if (!g_init.interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "korvo_mesh does not support sub-interpreters: it is already loaded in another "
                        "interpreter of this process");
        return nullptr;
    }
    if (g_init.module) return Py_NewRef(g_init.module);

    if (!g_init.internal_fault) {
        g_init.internal_fault = PyErr_NewExceptionWithDoc(
            "korvo_mesh.InternalFault",
            "A broken invariant inside korvo_mesh. It derives from BaseException so that ordinary\n"
            "`except Exception` handlers do not swallow it; it is never an expected outcome.",
            PyExc_BaseException, nullptr);
        if (!g_init.internal_fault) return nullptr;
    }
    if (!g_init.mesh_type) {
        g_init.mesh_type = create_mesh_type();
        if (!g_init.mesh_type) return nullptr;
    }
    Ref module(PyModule_Create(&kModuleDef));
    if (!module) return nullptr;
    if (!add_exported(module.get(), "KorvoMesh", Py_NewRef(reinterpret_cast<PyObject*>(g_init.mesh_type))) ||
        !add_exported(module.get(), "__version__", PyUnicode_FromString(KORVO_VERSION))) {
        return nullptr;
    }
    g_init.module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

PyObject* facade::internal_fault_class() noexcept { return g_init.internal_fault; }

}  // namespace korvo

PyMODINIT_FUNC PyInit_korvo_mesh(void) {
    return korvo::facade::guarded([] { return korvo::init_module(); });
}
