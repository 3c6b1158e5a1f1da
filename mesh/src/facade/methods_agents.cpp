// The agent methods, each one's parameters, docstring and body together.
#include <optional>
#include <span>
#include <string_view>

#include "facade/mesh_type.h"
#include "json/canonical.h"
#include "json/read.h"

namespace korvo::facade {
namespace {

struct RegisterAgent {
    static constexpr Signature sig = signature("register_agent", str("agent_type"), str("agent_id"),
                                               u32("instance"), optional_str("metadata_json"));
    static constexpr char doc[] = R"(Register a new agent instance.

Args:
    agent_type:    Class name, e.g. ``"Customer"``.
    agent_id:      Unique identity key, e.g. ``"customer-123"``.
    instance:      Replica index (0-based, default 0).
    metadata_json: Optional JSON object with extra fields.

Returns:
    JSON string representing the created :class:`AgentEntry`.

Raises:
    RuntimeError: If the agent ID is already registered.)";

    static PyObject* call(MeshFields& mesh, const Args& a) {
        std::optional<std::string_view> metadata;
        if (a[3].present) metadata = a[3].text;
        OutBuffer out;
        const bool long_text = a[0].text.size() + a[1].text.size() + a[3].text.size() >= kReleaseFromBytes;
        auto done = released_if(long_text, [&] {
            return mesh.registry.register_agent_json(a[0].text, a[1].text, static_cast<std::uint32_t>(a[2].number),
                                                     metadata, out.text(), json::Source::Utf8);
        });
        if (!check(done)) return nullptr;
        return delivered(to_str(out.text()), [&] { mesh.registry.undo(a[1].text, *done); });
    }
};

// Docstring lines stay within this many columns.
constexpr std::size_t kDocWidth = 72;

// Appends ``"a"``, ``"b"``, … ``"z"``. for the names given, wrapped within kDocWidth columns,
// each line after the first starting at `indent`.
void append_doc_choices(std::span<const std::string_view> names, std::string_view indent, std::string& out) {
    std::size_t column = out.size() - (out.rfind('\n') + 1);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::size_t width = names[i].size() + 7;  // ``"…"`` and the comma or full stop
        if (column + 1 + width > kDocWidth) {
            out.append("\n").append(indent);
            column = indent.size();
        } else {
            out.push_back(' ');
            ++column;
        }
        out.append("``\"").append(names[i]).append("\"``").push_back(i + 1 < names.size() ? ',' : '.');
        column += width;
    }
}

struct UpdateAgentStatus {
    static constexpr Signature sig = signature("update_agent_status", str("agent_id"), str("status"));
    static void write_doc(std::string& out) {
        out += R"(Update the status of a registered agent.

Args:
    agent_id: The agent's unique ID.
    status:   One of)";
        append_doc_choices(kStatusNames, "              ", out);
        out += R"(

Raises:
    ValueError: If the status string is not recognised.
    KeyError:   If the agent ID is not registered.)";
    }

    static PyObject* call(MeshFields& mesh, const Args& a) {
        const auto status = status_from_name(a[1].text);
        if (!status) {
            OutBuffer message;
            write_unknown_status(a[1].text, message.text());
            Ref text(to_str(message.text()));
            if (text) PyErr_SetObject(PyExc_ValueError, text.get());
            return nullptr;
        }
        return none_or_raise(mesh.registry.update_status(a[0].text, *status));
    }
};

struct DeregisterAgent {
    static constexpr Signature sig = signature("deregister_agent", str("agent_id"));
    static constexpr char doc[] = "Deregister an agent.  No-op if the ID does not exist.";

    static PyObject* call(MeshFields& mesh, const Args& a) {
        return none_or_raise(mesh.registry.deregister(a[0].text));
    }
};

struct GetAgent {
    static constexpr Signature sig = signature("get_agent", str("agent_id"));
    static constexpr char doc[] = R"(Look up an agent by ID.

Returns:
    JSON string for the agent, or ``None`` if not found.)";

    static PyObject* call(MeshFields& mesh, const Args& a) {
        OutBuffer out;
        return optional_str_or_raise(mesh.registry.get_json(a[0].text, out.text()), out.text());
    }
};

struct ListAgents {
    static constexpr Signature sig = signature("list_agents", optional_str("agent_type"), optional_str("status"));
    static constexpr char doc[] = R"(List agents, optionally filtered.

Args:
    agent_type: Filter by type name (``None`` = all types).
    status:     Filter by status string (``None`` = all statuses).

Returns:
    JSON array string of agent records.)";

    static std::optional<std::string_view> filter(const Arg& arg) {
        if (!arg.present) return std::nullopt;
        return arg.text;
    }
    static PyObject* call(MeshFields& mesh, const Args& a) {
        OutBuffer out;
        const bool long_listing = mesh.registry.count() >= kReleaseFromEntries;
        const auto listed =
            released_if(long_listing, [&] { return mesh.registry.list_json(filter(a[0]), filter(a[1]), out.text()); });
        return str_or_raise(listed, out.text());
    }
};

struct RouteAgentCall {
    static constexpr Signature sig = signature("route_agent_call", str("agent_type"), str("agent_id"),
                                               str("method"), str("args_json", "{}"));
    static constexpr char doc[] = R"(Route a call to an agent and return routing metadata as JSON.

This method validates that the agent exists and is not stopped/errored,
then marks it as ``"running"`` and returns a routing descriptor.  The
actual Python method dispatch is performed by the caller using the
returned metadata.

Args:
    agent_type: Agent class name.
    agent_id:   Agent identity key.
    method:     Method name to invoke.
    args_json:  JSON object of keyword arguments (default ``"{}"``) .

Returns:
    JSON object ``{"status": "routed", "agent_id": "…", …}``.

Raises:
    KeyError:   If the agent is not registered or has stopped.)";

    static PyObject* call(MeshFields& mesh, const Args& a) {
        // The arguments must be JSON; their value is the caller's business, so nothing is kept.
        if (a[3].present) {
            auto read = released_if(a[3].text.size() >= kReleaseFromBytes,
                                    [&] { return json::check(a[3].text, json::Source::Utf8); });
            if (!read) {
                raise_mesh_error(read.error().to_mesh_error());
                return nullptr;
            }
        }
        // The descriptor is made before the agent is marked: a call that fails for want of
        // memory leaves the agent as it was.
        OutBuffer out;
        write_route_descriptor(a[0].text, a[1].text, a[2].text, out.text());
        // Its names and constants are ASCII, and so are its escapes: it is ASCII when its texts are.
        const bool ascii = a[0].ascii && a[1].ascii && a[2].ascii;
        Ref descriptor(ascii ? to_str(out.text(), true) : to_str(out.text()));
        if (!descriptor) return nullptr;
        if (!check(mesh.registry.route(a[0].text, a[1].text))) return nullptr;
        return descriptor.release();
    }
};

constexpr auto kMethods =
    methods<RegisterAgent, UpdateAgentStatus, DeregisterAgent, GetAgent, ListAgents, RouteAgentCall>();

}  // namespace

std::span<const Method> agent_methods() noexcept { return kMethods; }

}  // namespace korvo::facade
