// _korvo_reference: the yardstick the JSON engine is measured against. Benchmarks only; never
// installed. It does what a careful engineer would do with a fast parsing library to get the
// same canonical text as the mesh: simdjson's DOM parse, then a writer over the DOM that puts
// each object's members in bytewise order of name (the last of equal names kept) and writes
// strings, integers and floats as the mesh's writer does (its own primitives, so that what is
// compared is the reading and the ordering, not two ways of printing a float).
//
//   parse(data: bytes) -> None          the DOM parse alone
//   canonical(data: bytes) -> bytes     parse, then the sorted canonical text
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <simdjson.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "json/write.h"

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

class SortedWriter {
public:
    void write(element e, std::string& out) {
        switch (e.type()) {
            case element_type::OBJECT: object(e.get_object().value_unsafe(), out); break;
            case element_type::ARRAY: {
                out.push_back('[');
                bool first = true;
                const simdjson::dom::array items = e.get_array().value_unsafe();
                for (element v : items) {
                    if (!first) out.push_back(',');
                    first = false;
                    write(v, out);
                }
                out.push_back(']');
                break;
            }
            case element_type::STRING: korvo::json::write_string(e.get_string().value_unsafe(), out); break;
            case element_type::INT64: korvo::json::write_int(e.get_int64().value_unsafe(), out); break;
            case element_type::UINT64: korvo::json::write_uint(e.get_uint64().value_unsafe(), out); break;
            case element_type::DOUBLE: korvo::json::write_float(e.get_double().value_unsafe(), out); break;
            case element_type::BOOL: out += e.get_bool().value_unsafe() ? "true" : "false"; break;
            case element_type::NULL_VALUE: out += "null"; break;
        }
    }

private:
    struct Member {
        std::string_view name;
        element value;
        std::uint32_t place;
    };

    void object(simdjson::dom::object o, std::string& out) {
        // The members of every open object share one list, innermost last.
        const std::size_t first = members_.size();
        std::uint32_t place = 0;
        for (auto field : o) members_.push_back({field.key, field.value, place++});
        const auto begin = members_.begin() + static_cast<std::ptrdiff_t>(first);
        std::sort(begin, members_.end(), [](const Member& a, const Member& b) {
            return a.name != b.name ? a.name < b.name : a.place < b.place;
        });
        out.push_back('{');
        bool written = false;
        for (std::size_t i = first; i < members_.size(); ++i) {
            if (i + 1 < members_.size() && members_[i + 1].name == members_[i].name) continue;  // a later one wins
            if (written) out.push_back(',');
            written = true;
            korvo::json::write_string(members_[i].name, out);
            out.push_back(':');
            write(members_[i].value, out);
        }
        out.push_back('}');
        members_.resize(first);
    }

    std::vector<Member> members_;
};

struct State {
    simdjson::dom::parser parser;
    SortedWriter writer;
    std::string out;
};
// The parser and the writer keep their buffers between calls, as a long-running service would.
State& state() {
    static State kept;
    return kept;
}

bool parse_bytes(PyObject* arg, element& doc) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(arg, &data, &size) < 0) return false;
    // The bytes object's own buffer is padded by the interpreter only by one byte, so the
    // parser copies it into its padded buffer, as it would any text it did not allocate.
    const auto error = state().parser.parse(data, static_cast<std::size_t>(size)).get(doc);
    if (error) {
        PyErr_SetString(PyExc_ValueError, simdjson::error_message(error));
        return false;
    }
    return true;
}

PyObject* parse(PyObject*, PyObject* arg) {
    element doc;
    if (!parse_bytes(arg, doc)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* canonical(PyObject*, PyObject* arg) {
    element doc;
    if (!parse_bytes(arg, doc)) return nullptr;
    std::string& out = state().out;
    out.clear();
    state().writer.write(doc, out);
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyMethodDef kMethods[] = {
    {"parse", parse, METH_O, "The DOM parse alone."},
    {"canonical", canonical, METH_O, "The DOM parse, then the sorted canonical text."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_korvo_reference", "The JSON engine's yardstick.", -1, kMethods,
                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__korvo_reference(void) {
    return PyModule_Create(&kModule);
}
