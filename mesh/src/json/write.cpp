#include "json/write.h"

#include "base/bytes.h"
#include "base/digits.h"

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
    const char* p = s.data();
    const char* end = p + s.size();
    // The bytes that take an escape are the ones the reader stops at in a string; most texts
    // have none, and go in whole.
    p = bytes::string_run(p, end);
    if (p == end) {
        write_sized(s.size() + 2, out, [&](RawWriter& w) {
            w.put("\"");
            w.put(s);
            w.put("\"");
        });
        return;
    }
    out.reserve(out.size() + s.size() + 2);
    out.push_back('"');
    const char* run = s.data();
    while (p != end) {  // at a byte that takes an escape
        out.append(run, static_cast<std::size_t>(p - run));
        write_escape(static_cast<unsigned char>(*p), out);
        run = ++p;
        p = bytes::string_run(p, end);
    }
    out.append(run, static_cast<std::size_t>(end - run));
    out.push_back('"');
}

void write_uint(std::uint64_t n, std::string& out) {
    write_sized(RawWriter::kMaxUintDigits, out, [&](RawWriter& w) { w.put_uint(n); });
}

void write_int(std::int64_t n, std::string& out) { digits::append(out, n); }

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
