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

#include "base/bytes.h"
#include "base/escapes.h"
#include "base/per_thread.h"
#include "base/utf8.h"
#include "json/walk.h"
#include "json/write.h"

namespace korvo::json {
namespace {

// Writes a string body as write_string() writes the text it decodes to.
struct Escaped {
    std::string& out;
    bool escaped = false;  // the text held an escape, so its bytes are not the text's bytes

    // Appended as (pointer, size) throughout: the (first, last) form takes libstdc++'s general
    // replace path, several times dearer.
    void run(const char* begin, const char* end) { out.append(begin, static_cast<std::size_t>(end - begin)); }
    // An escaped byte or code point is written as write_string writes the character.
    void escape(char byte) { code_point(static_cast<unsigned char>(byte)); }
    void code_point(unsigned cp) {
        escaped = true;
        if (cp < 0x80 && kEscape[cp] != 0) {
            write_escape(static_cast<unsigned char>(cp), out);
        } else {
            utf8::append(out, cp);
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
        const char letter = text[++i];
        if (letter == 'u') {  // only \u00XX comes out of the writer
            name.push_back(static_cast<char>(bytes::hex_value(text[i + 3]) * 16 + bytes::hex_value(text[i + 4])));
            i += 4;
        } else {
            name.push_back(static_cast<char>(escapes::kJsonByte[static_cast<unsigned char>(letter)]));
        }
    }
    return name;
}

// The sink that writes canonical text. One value is written at a time, so slots carry nothing;
// the members of every open object are noted in one list, innermost last.
class CanonicalWriter {
public:
    struct Slot {};

    // Where one member of an open object sits in the output: the key from its opening quote to
    // its closing quote (inclusive), the value up to `end`.
    struct Span {
        std::size_t begin;
        std::size_t key_end;
        std::size_t end;
        bool escaped;  // the key's text holds an escape, so its bytes are not the name's bytes
    };
    // What the writer keeps between objects and between calls: the members of every open object,
    // innermost last, and room for putting one object in order.
    struct Scratch {
        std::vector<Span> members;
        std::vector<std::uint32_t> order;
        std::vector<std::string> names;
        std::string aside;

        void clear() noexcept {
            members.clear();
            names.clear();
        }
        // Gives back what one large document left behind.
        void trim() noexcept {
            constexpr std::size_t kKept = kKeptScratch;
            if (members.capacity() * sizeof(Span) > kKept) std::vector<Span>().swap(members);
            if (order.capacity() * sizeof(std::uint32_t) > kKept) std::vector<std::uint32_t>().swap(order);
            if (names.capacity() > 1024) std::vector<std::string>().swap(names);
            if (aside.capacity() > kKept) std::string().swap(aside);
        }
    };

    CanonicalWriter(std::string& out, Scratch& scratch) noexcept
        : out_(out), members_(scratch.members), order_(scratch.order), names_(scratch.names), aside_(scratch.aside) {}

    void null(Slot) { out_ += "null"; }
    void boolean(Slot, bool b) { out_ += b ? "true" : "false"; }
    bool number(Cursor& c, Slot, const NumberText& n) {
        if (n.zero_by_exponent) {
            out_ += n.negative() ? "-0.0" : "0.0";
            return true;
        }
        // An integer without leading zeros already reads as its canonical digits; what is left to
        // settle is whether it fits the integer kinds at all.
        if (!n.is_float && n.fits_integer()) {
            if (n.negative() && n.int_end - n.int_begin == 1 && *n.int_begin == '0') {
                out_ += "-0.0";
            } else {
                out_.append(n.start, static_cast<std::size_t>(n.int_end - n.start));
            }
            return true;
        }
        if (short_decimal(n)) return true;
        Number v;
        if (!c.number_value(n, v)) return false;
        write_float(v.d, out_);
        return true;
    }

    // A number of at most 15 significant digits, well inside the normal range, is written from its
    // own digits: they are the shortest that read back as its double (any two decimals of at most
    // 15 digits read as different doubles), so no conversion to the double and back is needed.
    bool short_decimal(const NumberText& n) {
        // Most long numbers (coordinates, measurements) have more than 15 significant digits:
        // tell from the mantissa's length, before looking at the digits one by one.
        const char* mantissa_end = n.int_end;
        while (mantissa_end != n.end && *mantissa_end != 'e' && *mantissa_end != 'E') ++mantissa_end;
        const auto mantissa_chars = mantissa_end - n.int_begin - (mantissa_end != n.int_end ? 1 : 0);  // less the point
        if (mantissa_chars > 15 && *n.int_begin != '0' && mantissa_end[-1] != '0') return false;
        char digits[24];
        int count = 0;
        int first = -1;       // the place of the first significant digit among the mantissa's digits
        int places = 0;       // mantissa digits seen
        int last_nonzero = -1;
        const int int_digits = static_cast<int>(n.int_end - n.int_begin);
        const char* exp = n.end;
        for (const char* p = n.int_begin; p != n.end; ++p) {
            const char ch = *p;
            if (ch == '.') continue;
            if (ch == 'e' || ch == 'E') {
                exp = p;
                break;
            }
            if (first < 0 && ch == '0') {
                ++places;
                continue;
            }
            if (first < 0) first = places;
            if (count == 15 && ch != '0') return false;  // more than 15 significant digits
            if (count < 15) digits[count++] = ch;
            if (ch != '0') last_nonzero = places;
            ++places;
        }
        if (first < 0) {  // all zeros
            out_ += n.negative() ? "-0.0" : "0.0";
            return true;
        }
        long long e = int_digits - 1 - first;
        if (exp != n.end) {
            const char* q = exp + 1;
            bool neg = false;
            if (*q == '+' || *q == '-') neg = *q++ == '-';
            long long x = 0;
            for (; q != n.end; ++q) {
                x = x * 10 + (*q - '0');
                if (x > 100000) return false;  // far outside; the slow road settles it
            }
            e += neg ? -x : x;
        }
        if (e < -307 || e > 307) return false;
        write_decimal(n.negative(), digits, last_nonzero - first + 1, static_cast<int>(e), out_);
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
    std::string& out_;
    std::vector<Span>& members_;
    std::vector<std::uint32_t>& order_;
    std::vector<std::string>& names_;
    std::string& aside_;
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

std::expected<void, ReadError> canonicalize(std::string_view text, std::string& out, Source source) {
    const std::size_t start = out.size();
    out.reserve(start + text.size() + 16);
    static KORVO_THREAD_LOCAL CanonicalWriter::Scratch scratch;
    scratch.clear();
    Cursor c(text, source);
    CanonicalWriter writer(out, scratch);
    const bool done = Walk<kStrict, CanonicalWriter>(c, writer).value({}) && c.finish();
    scratch.trim();
    if (!done) {
        out.resize(start);
        return std::unexpected(c.error());
    }
    return {};
}

std::expected<void, ReadError> check(std::string_view text) { return check_text<kStrict>(text); }

std::expected<void, ReadError> check_lenient(std::string_view text) { return check_text<kLenientSkip>(text); }

}  // namespace korvo::json
