// Canonicalizing: reading and writing in one pass.
//
// The canonical text is written straight into the output as the input is read. Arrays, strings
// and numbers need nothing more. An object's members are written in the order they come, each
// one's place noted; when the object closes and its names turn out not to be in strictly
// ascending order, its members are put in order (sort_keep_last, the rule of the value tree too)
// by copying the object's text aside and laying the members back in sorted order.
#include "json/canonical.h"

#include <cstdint>
#include <vector>

#include "json/walk.h"
#include "json/write.h"

namespace korvo::json {
namespace {

// Writes a string body as write_string() writes the text it decodes to.
struct Escaped {
    std::string& out;
    bool escaped = false;  // the text held an escape, so its bytes are not the text's bytes

    void run(const char* begin, const char* end) { out.append(begin, end); }
    void escape(char letter) {
        escaped = true;
        switch (letter) {
            case '/': out.push_back('/'); break;
            case '"': out.append("\\\"", 2); break;
            case '\\': out.append("\\\\", 2); break;
            default: {
                const char esc[2] = {'\\', letter};
                out.append(esc, 2);
            }
        }
    }
    void code_point(unsigned cp) {
        escaped = true;
        if (cp < 0x80 && kEscape[cp] != 0) {
            write_escape(static_cast<unsigned char>(cp), out);
        } else {
            utf8::encode(cp, out);
        }
    }
};

// The name a canonical key text (without its quotes) stands for.
std::string decode_canonical(std::string_view text) {
    std::string name;
    name.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            name.push_back(text[i]);
            continue;
        }
        switch (text[++i]) {
            case 'b': name.push_back('\b'); break;
            case 'f': name.push_back('\f'); break;
            case 'n': name.push_back('\n'); break;
            case 'r': name.push_back('\r'); break;
            case 't': name.push_back('\t'); break;
            case 'u':  // only \u00XX comes out of the writer
                name.push_back(static_cast<char>(scan::hex_value(text[i + 3]) * 16 + scan::hex_value(text[i + 4])));
                i += 4;
                break;
            default: name.push_back(text[i]); break;  // the quote and the backslash
        }
    }
    return name;
}

// The sink that writes canonical text. One value is written at a time, so slots carry nothing;
// the members of every open object are noted in one list, innermost last.
class CanonicalWriter {
public:
    struct Slot {};

    explicit CanonicalWriter(std::string& out) noexcept : out_(out) {}

    void null(Slot) { out_ += "null"; }
    void boolean(Slot, bool b) { out_ += b ? "true" : "false"; }
    bool number(Cursor& c, Slot, const NumberText& n) {
        if (n.zero_by_exponent) {
            out_ += n.negative() ? "-0.0" : "0.0";
            return true;
        }
        // An integer without leading zeros already reads as its canonical digits; what is left to
        // settle is whether it fits the integer kinds at all.
        std::uint64_t sig = 0;
        if (n.integer(sig)) {
            if (!n.negative()) {
                out_.append(n.int_begin, n.int_end);
                return true;
            }
            if (sig == 0) {
                out_ += "-0.0";
                return true;
            }
            if (sig <= (std::uint64_t{1} << 63)) {
                out_.append(n.start, n.int_end);
                return true;
            }
        }
        Number v;
        if (!c.number_value(n, v)) return false;
        write_float(v.d, out_);
        return true;
    }
    bool string(Cursor& c, Slot) {
        out_.push_back('"');
        Escaped body{out_};
        if (!c.string_body<kStrict>(body)) return false;
        out_.push_back('"');
        return true;
    }

    struct Array {
        bool first = true;
    };
    Array begin_array(Slot) {
        out_.push_back('[');
        return {};
    }
    Slot element(Array& a) {
        if (!a.first) out_.push_back(',');
        a.first = false;
        return {};
    }
    void end_array(Array&) { out_.push_back(']'); }

    struct Object {
        std::size_t first_member;  // its members' first place in members_
        std::size_t content;       // where its text starts in the output, after the brace
    };
    Object begin_object(Slot) {
        out_.push_back('{');
        return {members_.size(), out_.size()};
    }
    bool key(Cursor& c, Object& o) {
        if (members_.size() != o.first_member) out_.push_back(',');
        const std::size_t begin = out_.size();
        out_.push_back('"');
        Escaped body{out_};
        if (!c.string_body<kStrict>(body)) return false;
        out_.push_back('"');
        members_.push_back({begin, out_.size(), 0, body.escaped});  // its end is noted once its value is written
        return true;
    }
    Slot member(Object&) {
        out_.push_back(':');
        return {};
    }
    // Members of objects inside this member's value were dropped when those objects closed, so
    // this member is the last one noted.
    void end_member(Object&) { members_.back().end = out_.size(); }
    void end_object(Object& o);

private:
    // Where one member of an open object sits in the output: the key from its opening quote to
    // its closing quote (inclusive), the value up to `end`.
    struct Span {
        std::size_t begin;
        std::size_t key_end;
        std::size_t end;
        bool escaped;  // the key's text holds an escape, so its bytes are not the name's bytes
    };

    std::string& out_;
    std::vector<Span> members_;
    // Scratch for putting one object in order, kept across objects.
    std::vector<std::uint32_t> order_;
    std::vector<std::string> names_;
    std::string aside_;
};

void CanonicalWriter::end_object(Object& o) {
    const std::size_t count = members_.size() - o.first_member;
    const Span* spans = members_.data() + o.first_member;
    bool escaped = false;
    for (std::size_t i = 0; i < count; ++i) escaped |= spans[i].escaped;
    // Names as the bytes they stand for; for keys without escapes that is the key's own text.
    if (escaped) {
        names_.clear();
        for (std::size_t i = 0; i < count; ++i) {
            names_.push_back(decode_canonical(
                std::string_view(out_).substr(spans[i].begin + 1, spans[i].key_end - spans[i].begin - 2)));
        }
    }
    const auto name = [&](std::uint32_t i) -> std::string_view {
        if (escaped) return names_[i];
        return std::string_view(out_).substr(spans[i].begin + 1, spans[i].key_end - spans[i].begin - 2);
    };
    order_.resize(count);
    for (std::size_t i = 0; i < count; ++i) order_[i] = static_cast<std::uint32_t>(i);
    const auto kept = sort_keep_last(order_.begin(), order_.end(), name);
    bool in_order = kept == order_.end();
    for (std::size_t i = 0; in_order && i < count; ++i) in_order = order_[i] == i;
    if (!in_order) {
        // Lay the members back in order from a copy.
        aside_.assign(out_, o.content, std::string::npos);
        out_.resize(o.content);
        for (auto it = order_.begin(); it != kept; ++it) {
            const Span& m = spans[*it];
            if (it != order_.begin()) out_.push_back(',');
            out_.append(aside_, m.begin - o.content, m.end - m.begin);
        }
    }
    out_.push_back('}');
    members_.resize(o.first_member);
}

template <Dialect D>
std::expected<void, ReadError> check_text(std::string_view text) {
    Cursor c(text);
    if (!check_value<D>(c) || !c.finish()) return std::unexpected(c.error());
    return {};
}

}  // namespace

std::expected<void, ReadError> canonicalize(std::string_view text, std::string& out) {
    const std::size_t start = out.size();
    out.reserve(start + text.size() + 16);
    Cursor c(text);
    CanonicalWriter writer(out);
    if (!Walk<kStrict, CanonicalWriter>(c, writer).value({}) || !c.finish()) {
        out.resize(start);
        return std::unexpected(c.error());
    }
    return {};
}

std::expected<void, ReadError> check(std::string_view text) { return check_text<kStrict>(text); }

std::expected<void, ReadError> check_lenient(std::string_view text) { return check_text<kLenientSkip>(text); }

}  // namespace korvo::json
