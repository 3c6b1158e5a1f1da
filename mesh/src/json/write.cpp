#include "json/write.h"

#include <charconv>

namespace korvo::json {
namespace {

void write_array(const Array& a, std::string& out) {
    out.push_back('[');
    bool first = true;
    for (const Value& v : a) {
        if (!first) out.push_back(',');
        first = false;
        write(v, out);
    }
    out.push_back(']');
}

void write_object(const Object& o, std::string& out) {
    out.push_back('{');
    bool first = true;
    for (const Member& m : o) {
        write_key(m.name, first, out);
        first = false;
        write(m.value, out);
    }
    out.push_back('}');
}

}  // namespace

void write_string(std::string_view s, std::string& out) {
    out.reserve(out.size() + s.size() + 2);
    out.push_back('"');
    const char* p = s.data();
    const char* end = p + s.size();
    const char* run = p;
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (kEscape[c] == 0) continue;
        out.append(run, static_cast<std::size_t>(p - run));
        run = p + 1;
        write_escape(c, out);
    }
    out.append(run, static_cast<std::size_t>(end - run));
    out.push_back('"');
}

void write_uint(std::uint64_t n, std::string& out) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

void write_int(std::int64_t n, std::string& out) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

void write(const Value& value, std::string& out) {
    switch (value.type()) {
        case Value::Type::Null: out += "null"; break;
        case Value::Type::Bool: out += value.as_bool() ? "true" : "false"; break;
        case Value::Type::UInt: write_uint(value.as_uint(), out); break;
        case Value::Type::Int: write_int(value.as_int(), out); break;
        case Value::Type::Float: write_float(value.as_float(), out); break;
        case Value::Type::String: write_string(value.as_string(), out); break;
        case Value::Type::Array: write_array(value.as_array(), out); break;
        case Value::Type::Object: write_object(value.as_object(), out); break;
    }
}

}  // namespace korvo::json
