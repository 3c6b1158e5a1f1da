// The state store methods, each one's parameters, docstring and body together.
#include "facade/mesh_type.h"

namespace korvo::facade {
namespace {

struct StateGet {
    static constexpr Signature sig = signature("state_get", str("key"));
    static constexpr char doc[] = R"(Get a value from the shared state store.

Returns:
    JSON string for the value, or ``None`` if the key does not exist.)";

    static PyObject* call(MeshFields& mesh, const Args& a) {
        // The stored text is held, not copied, and read into the str after the lock is released.
        const auto stored = mesh.store.get_stored(a[0].text);
        if (!check(stored)) return nullptr;
        if (!*stored) Py_RETURN_NONE;
        return to_str((*stored)->text(), (*stored)->shape());
    }
};

struct StateSet {
    static constexpr Signature sig = signature("state_set", str("key"), str("value_json"));
    static constexpr char doc[] = R"(Set a value in the shared state store.

Args:
    key:        Arbitrary string key.
    value_json: JSON-encoded value to store.)";

    // Read straight into the stored canonical text; no value tree is built.
    static PyObject* call(MeshFields& mesh, const Args& a) {
        // A str argument is well-formed UTF-8: the store need not check its strings again.
        const bool long_text = a[0].text.size() + a[1].text.size() >= kReleaseFromBytes;
        return none_or_raise(released_if(long_text, [&] {
            return mesh.store.set_text(a[0].text, a[1].text, json::Source::Utf8);
        }));
    }
};

struct StateDelete {
    static constexpr Signature sig = signature("state_delete", str("key"));
    static constexpr char doc[] = "Delete a key from the state store.  No-op if the key does not exist.";

    static PyObject* call(MeshFields& mesh, const Args& a) { return none_or_raise(mesh.store.remove(a[0].text)); }
};

struct StateExists {
    static constexpr Signature sig = signature("state_exists", str("key"));
    static constexpr char doc[] = "Check whether a key exists in the state store.";

    static PyObject* call(MeshFields& mesh, const Args& a) { return bool_or_raise(mesh.store.exists(a[0].text)); }
};

struct StateKeys {
    static constexpr Signature sig = signature("state_keys", str("prefix", ""));
    static constexpr char doc[] = "Return all keys that start with `prefix` (sorted).";

    static PyObject* call(MeshFields& mesh, const Args& a) {
        // However few keys match, a listing may first have to bring the key index up to date.
        const bool long_listing = mesh.store.len() >= kReleaseFromEntries;
        return str_list_or_raise(released_if(long_listing, [&] { return mesh.store.list_keys(a[0].text); }));
    }
};

constexpr auto kMethods = methods<StateGet, StateSet, StateDelete, StateExists, StateKeys>();

}  // namespace

std::span<const Method> state_methods() noexcept { return kMethods; }

}  // namespace korvo::facade
