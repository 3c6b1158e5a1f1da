#include "json/read.h"

#include "json/walk.h"

namespace korvo::json {
namespace {

// Decodes a string body into text.
struct Decoded {
    std::string& text;
    void run(const char* begin, const char* end) { text.append(begin, static_cast<std::size_t>(end - begin)); }
    void escape(char byte) { text.push_back(byte); }
    void code_point(unsigned cp) { utf8::append(text, cp); }
};

}  // namespace

// The sink that builds a value tree; slots are the values being filled.
class TreeBuilder {
public:
    using Slot = Value*;

    void null(Slot s) noexcept { s->v_.emplace<std::monostate>(); }
    void boolean(Slot s, bool b) noexcept { s->v_ = b; }
    bool number(Cursor& c, Slot s, const NumberText& n) {
        Number v;
        if (!c.number_value(n, v)) return false;
        switch (v.kind) {
            case Number::Kind::UInt: s->v_ = v.u; break;
            case Number::Kind::Int: s->v_ = v.i; break;
            case Number::Kind::Float: s->v_ = v.d; break;
        }
        return true;
    }
    bool string(Cursor& c, Slot s) {
        Decoded out{s->v_.emplace<std::string>()};
        return c.string_body<kStrict>(out);
    }

    Array* begin_array(Slot s) { return &s->v_.emplace<Array>(); }
    Slot element(Array* a) { return &a->emplace_back(); }
    void end_array(Array*) noexcept {}

    struct Open {
        Value* target;
        Object members;
    };
    Open begin_object(Slot s) { return Open{s, {}}; }
    bool key(Cursor& c, Open& o) {
        Decoded out{o.members.emplace_back().name};
        return c.string_body<kStrict>(out);
    }
    Slot member(Open& o) { return &o.members.back().value; }
    void end_member(Open&) noexcept {}
    void end_object(Open& o) {
        finish_object(o.members);
        o.target->v_ = std::move(o.members);
    }
};

bool read_value(Cursor& c, Value& out) {
    TreeBuilder tree;
    return Walk<kStrict, TreeBuilder>(c, tree).value(&out);
}

bool read_string_body(Cursor& c, std::string& out) {
    Decoded decoded{out};
    return c.string_body<kStrict>(decoded);
}

std::expected<Value, ReadError> read(std::string_view text) {
    Cursor c(text);
    Value value;
    if (!read_value(c, value) || !c.finish()) return std::unexpected(c.error());
    return value;
}

}  // namespace korvo::json
