// Canonicalizing: reading and writing in one pass.
//
// The canonical text is written straight into the output as the input is read. Arrays, strings
// and numbers need nothing more. An object's members are written in the order they come, each
// one's place noted; when the object closes and its names turn out not to be in strictly
// ascending order (sort_keep_last, the rule of the value tree too), the order its members must
// take is noted, and nothing is moved yet. Once the document is read, the text from the first
// such object on is laid out again once, each noted object's members in their order (objects
// noted inside them too): every byte is moved at most once more, however deep the unsorted
// objects nest.
#include "json/canonical.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "base/digits.h"
#include "base/escapes.h"
#include "base/per_thread.h"
#include "base/utf8.h"
#include "json/float_format.h"
#include "json/walk.h"
#include "json/write.h"

namespace korvo::json {
namespace {

// The output as the writer fills it: a cursor into room made ahead, so a token costs a check
// of the room left and plain stores rather than a string's bookkeeping. The string holds the
// text written so far once finish() has cut it to size.
class Out {
public:
    Out(std::string& s, std::size_t room) : s_(s), start_(s.size()) { grow(room); }
    // Left unfinished (an exception on the way), the string keeps only what it held before.
    ~Out() {
        if (end_) s_.resize(start_);
    }
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;

    // Room for n more bytes (and the 16 that small copies may write beyond them).
    char* room(std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n + 16) grow(n + 16);
        return p_;
    }
    void advance(char* to) noexcept { p_ = to; }
    void put(char c) { *room(1) = c, ++p_; }
    void put(const char* text, std::size_t n) {
        char* p = room(n);
        bytes::copy(p, text, n);
        p_ = p + n;
    }
    template <std::size_t N>
    void put(const char (&literal)[N]) {
        put(literal, N - 1);
    }
    std::size_t size() const noexcept { return static_cast<std::size_t>(p_ - s_.data()); }
    const char* data() const noexcept { return s_.data(); }
    char* at(std::size_t offset) noexcept { return s_.data() + offset; }
    // Cuts the string to what was written; `keep` false cuts it back to where it started.
    void finish(bool keep) {
        s_.resize(keep ? size() : start_);
        p_ = end_ = nullptr;
    }
    // Starts writing again at `offset` (earlier text is kept).
    void rewind(std::size_t offset) noexcept { p_ = s_.data() + offset; }
    // Drops everything written, as if nothing had been.
    void rewind_to_start() noexcept { rewind(start_); }
    // Takes `other`'s text as what is written so far, and hands it the text written here (with
    // the room past it).
    void swap(std::string& other) {
        s_.swap(other);
        p_ = end_ = s_.data() + s_.size();
    }

private:
    void grow(std::size_t n) {
        const std::size_t used = p_ ? size() : s_.size();
        std::size_t want = used + n;
        if (want > s_.capacity()) want = std::max(want, s_.capacity() + s_.capacity() / 2);
        // The bytes past what is written are never read: no need to clear them.
        s_.resize_and_overwrite(want, [](char*, std::size_t size) { return size; });
        p_ = s_.data() + used;
        end_ = s_.data() + s_.size();
    }

    std::string& s_;
    std::size_t start_;
    char* p_ = nullptr;
    char* end_ = nullptr;
};

// Writes a string, quotes included, as write_string() writes the text it decodes to. A string
// without escapes (one run of plain bytes, or none) is its own canonical text: it is copied
// from the input whole, quotes and all, once it has been read.
struct Escaped {
    Out& out;
    const char* open;      // the opening quote, in the input
    bool escaped = false;  // the text held an escape, so its bytes are not the text's bytes
    bool started = false;  // something of it has been written
    const char* held = nullptr;  // its first run, not written yet
    std::size_t held_size = 0;

    void run(const char* begin, const char* end) {
        if (!started && held == nullptr) {
            held = begin;
            held_size = static_cast<std::size_t>(end - begin);
            return;
        }
        start();
        out.put(begin, static_cast<std::size_t>(end - begin));
    }
    // An escaped byte or code point is written as write_string writes the character.
    void escape(char byte) { code_point(static_cast<unsigned char>(byte)); }
    void code_point(unsigned cp) {
        escaped = true;
        start();
        char* p = out.room(6);
        out.advance(cp < 0x80 && kEscape[cp] != 0 ? escapes::put_json(p, static_cast<unsigned char>(cp))
                                                  : utf8::encode(cp, p));
    }
    // After the closing quote, which ends at `close_end` in the input.
    void finish(const char* close_end) {
        if (started) {
            out.put('"');
        } else {
            out.put(open, static_cast<std::size_t>(close_end - open));
        }
    }

private:
    void start() {
        if (started) return;
        started = true;
        out.put('"');
        if (held != nullptr) out.put(held, held_size);
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

// Where one member of an object sits in the output: the key from its opening quote to its
// closing quote (inclusive), the value up to `end`.
struct Span {
    std::size_t begin;
    std::size_t key_end;
    std::size_t end;
    bool escaped;  // the key's text holds an escape, so its bytes are not the name's bytes
};

// The first eight bytes of a key's name in the output, as one number that orders as the bytes
// do: read as one word (the output has room past what is written) and cut to the name.
std::uint64_t key_prefix(const char* name, std::size_t size) noexcept {
    std::uint64_t x = bytes::load8(name);
    if (size < 8) x &= (std::uint64_t{1} << (8 * size)) - 1;
    if constexpr (std::endian::native == std::endian::little) x = std::byteswap(x);
    return x;
}

// Whether the names of an object's members (keys without escapes, written at `text`) come in
// strictly ascending order, as they mostly do: settled a word at a time.
bool names_ascending(const char* text, const Span* spans, std::size_t count) noexcept {
    std::uint64_t before = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char* name = text + spans[i].begin + 1;
        const std::size_t size = spans[i].key_end - spans[i].begin - 2;
        const std::uint64_t prefix = key_prefix(name, size);
        if (i > 0 && prefix <= before) {
            const Span& p = spans[i - 1];
            if (prefix != before ||
                !(std::string_view(text + p.begin + 1, p.key_end - p.begin - 2) < std::string_view(name, size))) {
                return false;
            }
        }
        before = prefix;
    }
    return true;
}

// A member as a reordered object lays it out: its text, key to value.
struct Piece {
    std::size_t begin;
    std::size_t end;
};

// An object whose members are to be laid out in another order: its text between the braces,
// and its kept members in their order (a slice of the writer's list of spans).
struct Reorder {
    std::size_t begin;
    std::size_t end;
    std::size_t first_span;
    std::size_t spans;
    std::size_t inside_end = 0;  // past the ones inside this one, found when the text is laid out
};

// What the writer keeps between objects and between calls: the members of every open object,
// innermost last, and the objects to lay out again.
struct Scratch {
    std::vector<Span> members;
    std::vector<std::uint32_t> order;
    SortScratch<std::uint32_t> sorting;
    std::vector<std::string> names;
    std::vector<Reorder> reorders;
    std::vector<Piece> reordered;  // the members the reorders name
    std::string aside;

    void clear() noexcept {
        members.clear();
        names.clear();
        reorders.clear();
        reordered.clear();
    }
    // Gives back what one large document left behind.
    void trim() noexcept {
        constexpr std::size_t kKept = kKeptScratch;
        if (members.capacity() * sizeof(Span) > kKept) std::vector<Span>().swap(members);
        if (order.capacity() * sizeof(std::uint32_t) > kKept) std::vector<std::uint32_t>().swap(order);
        if (sorting.keys.capacity() * sizeof(sorting.keys[0]) > kKept) sorting = {};
        if (names.capacity() > 1024) std::vector<std::string>().swap(names);
        if (reorders.capacity() * sizeof(Reorder) > kKept) std::vector<Reorder>().swap(reorders);
        if (reordered.capacity() * sizeof(Piece) > kKept) std::vector<Piece>().swap(reordered);
        if (aside.capacity() > kKept) std::string().swap(aside);
    }
};

// A fraction without an exponent, of at most 15 significant digits and at most four zeros
// after the point before them, is its own canonical text but for the zeros it ends with: it
// is copied.
template <class Put>
bool plain_decimal(const NumberText& n, Put&& put) {
    if (n.mantissa_end != n.end || n.mantissa_end == n.int_end) return false;  // an exponent, or no point
    const char* frac = n.int_end + 1;            // past the point
    const char* last = n.mantissa_end;           // past the fraction's last digit that is not 0
    while (last != frac && last[-1] == '0') --last;
    std::ptrdiff_t significant;
    if (n.int_end - n.int_begin == 1 && *n.int_begin == '0') {
        if (last == frac) return false;  // zero: no digit but zeros
        const char* first = frac;
        while (*first == '0') ++first;
        if (first - frac > 4) return false;  // smaller than 1e-5: exponent form
        significant = last - first;
    } else {
        significant = (n.int_end - n.int_begin) + (last - frac);
    }
    if (significant > 15) return false;
    if (last != frac) {
        put(n.start, static_cast<std::size_t>(last - n.start));
    } else {
        put(n.start, static_cast<std::size_t>(n.int_end - n.start));
        put(".0", 2);
    }
    return true;
}


// The sink that writes canonical text. One value is written at a time, so slots carry nothing;
// the members of every open object are noted in one list, innermost last.
class CanonicalWriter {
public:
    struct Slot {};

    CanonicalWriter(Out& out, Scratch& scratch) noexcept : out_(out), s_(scratch) {}

    void null(Slot) { out_.put("null"); }
    void boolean(Slot, bool b) {
        if (b) {
            out_.put("true");
        } else {
            out_.put("false");
        }
    }
    bool number(Cursor& c, Slot, const NumberText& n) {
        if (n.zero_by_exponent) {
            put_zero(n.negative());
            return true;
        }
        // An integer without leading zeros already reads as its canonical digits; what is left to
        // settle is whether it fits the integer kinds at all.
        if (!n.is_float && n.fits_integer()) {
            if (n.negative() && n.int_end - n.int_begin == 1 && *n.int_begin == '0') {
                out_.put("-0.0");
            } else {
                out_.put(n.start, static_cast<std::size_t>(n.int_end - n.start));
            }
            return true;
        }
        if (plain_decimal(n, [&](const char* t, std::size_t k) { out_.put(t, k); })) return true;
        std::uint64_t w;
        std::int64_t q;
        if (!n.decimal(w, q, c.text_end())) {
            // More than 19 significant digits: the whole reading.
            Number v;
            if (!c.number_value(n, v)) return false;
            out_.advance(put_float(out_.room(kFloatRoom), v.d));
            return true;
        }
        if (w == 0) {
            put_zero(n.negative());
            return true;
        }
        // At most 15 significant digits, well inside the normal range: they are the shortest
        // that read back as the number's double (any two decimals of at most 15 digits read as
        // different doubles), so they are written as they are, with no conversion.
        std::uint64_t sig = w;
        std::int64_t e = q;
        while (sig % 10 == 0) {
            sig /= 10;
            ++e;
        }
        const int count = digits::count(sig);
        const std::int64_t lead = e + count - 1;
        if (count <= 15 && lead >= -307 && lead <= 307) {
            char figures[24];
            digits::put(figures, sig);
            out_.advance(put_decimal(out_.room(kFloatRoom), n.negative(), figures, count, static_cast<int>(lead)));
            return true;
        }
        double d;
        if (!c.float_value(n, w, q, d)) return false;
        out_.advance(put_float(out_.room(kFloatRoom), d));
        return true;
    }

    bool string(Cursor& c, Slot) {
        Escaped body{out_, c.here() - 1};
        if (!c.string_body<kStrict>(body)) return false;
        body.finish(c.here());
        return true;
    }

    struct Array {
        bool first = true;
    };
    Array begin_array(Slot) {
        out_.put('[');
        return {};
    }
    Slot element(Array& a) {
        if (!a.first) out_.put(',');
        a.first = false;
        return {};
    }
    void end_array(Array&) { out_.put(']'); }

    struct Object {
        std::size_t first_member;  // its members' first place in members
        std::size_t content;       // where its text starts in the output, after the brace
    };
    Object begin_object(Slot) {
        out_.put('{');
        return {s_.members.size(), out_.size()};
    }
    bool key(Cursor& c, Object& o) {
        if (s_.members.size() != o.first_member) out_.put(',');
        const std::size_t begin = out_.size();
        Escaped body{out_, c.here() - 1};
        if (!c.string_body<kStrict>(body)) return false;
        body.finish(c.here());
        s_.members.push_back({begin, out_.size(), 0, body.escaped});  // its end is noted once its value is written
        return true;
    }
    Slot member(Object&) {
        out_.put(':');
        return {};
    }
    // Members of objects inside this member's value were dropped when those objects closed, so
    // this member is the last one noted.
    void end_member(Object&) { s_.members.back().end = out_.size(); }
    void end_object(Object& o);

    // Once the document is read: lays out again the text of every object noted as out of order.
    void reorder();

private:
    void put_zero(bool negative) {
        if (negative) {
            out_.put("-0.0");
        } else {
            out_.put("0.0");
        }
    }

    // Writes the text of [begin, end) (output coordinates, read from the aside copy that starts
    // at `base`), with the noted objects among reorders[lo, hi) that start at `from` or later
    // laid out in their order.
    void lay_out(std::size_t begin, std::size_t end, std::size_t from, std::size_t base, std::size_t lo, std::size_t hi);

    Out& out_;
    Scratch& s_;
};

void CanonicalWriter::end_object(Object& o) {
    const std::size_t count = s_.members.size() - o.first_member;
    const Span* spans = s_.members.data() + o.first_member;
    bool escaped = false;
    for (std::size_t i = 0; i < count; ++i) escaped |= spans[i].escaped;
    const char* text = out_.data();
    if (!escaped) {
        if (names_ascending(text, spans, count)) {
            out_.put('}');
            s_.members.resize(o.first_member);
            return;
        }
    }
    // Names as the bytes they stand for; for keys without escapes that is the key's own text.
    if (escaped) {
        s_.names.clear();
        for (std::size_t i = 0; i < count; ++i) {
            s_.names.push_back(decode_canonical(
                std::string_view(text + spans[i].begin + 1, spans[i].key_end - spans[i].begin - 2)));
        }
    }
    const auto name = [&](std::uint32_t i) -> std::string_view {
        if (escaped) return s_.names[i];
        return std::string_view(text + spans[i].begin + 1, spans[i].key_end - spans[i].begin - 2);
    };
    auto& order = s_.order;
    order.resize(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::uint32_t>(i);
    const auto kept = sort_keep_last(order.begin(), order.end(), name, s_.sorting);
    bool in_order = kept == order.end();
    for (std::size_t i = 0; in_order && i < count; ++i) in_order = order[i] == i;
    if (!in_order) {
        const std::size_t first = s_.reordered.size();
        for (auto it = order.begin(); it != kept; ++it) s_.reordered.push_back({spans[*it].begin, spans[*it].end});
        // Kept in the order the objects start: the noted objects inside this one closed after it
        // opened, so they are the last ones, and it goes before them.
        auto& reorders = s_.reorders;
        auto at = reorders.end();
        while (at != reorders.begin() && at[-1].begin > o.content) --at;
        reorders.insert(at, {o.content, out_.size(), first, s_.reordered.size() - first});
    }
    out_.put('}');
    s_.members.resize(o.first_member);
}

void CanonicalWriter::reorder() {
    auto& reorders = s_.reorders;
    if (reorders.empty()) return;
    // They are in the order they start: an object comes before the ones inside it, which follow
    // it together.
    for (std::size_t i = reorders.size(); i-- > 0;) {
        std::size_t j = i + 1;
        while (j < reorders.size() && reorders[j].begin < reorders[i].end) j = reorders[j].inside_end;
        reorders[i].inside_end = j;
    }
    const std::size_t base = reorders.front().begin;
    const std::size_t end = out_.size();
    if (base < end - base) {
        // Little comes before the first of them: lay everything out afresh into the aside
        // buffer, which then takes the place of the output.
        s_.aside.assign(out_.data(), base);
        out_.swap(s_.aside);
        out_.room(end - base);  // what is laid out is no longer than what was written
        lay_out(base, end, base, 0, 0, reorders.size());
    } else {
        // The text from the first of them on is copied aside and laid out again in place.
        s_.aside.assign(out_.data() + base, end - base);
        out_.rewind(base);
        lay_out(base, end, base, base, 0, reorders.size());
    }
}

void CanonicalWriter::lay_out(std::size_t begin, std::size_t end, std::size_t from, std::size_t base, std::size_t lo,
                              std::size_t hi) {
    const auto& reorders = s_.reorders;
    const char* aside = s_.aside.data() - base;  // indexed by output offsets
    // The first noted object that starts in [from, end).
    std::size_t i = static_cast<std::size_t>(
        std::lower_bound(reorders.begin() + static_cast<std::ptrdiff_t>(lo), reorders.begin() + static_cast<std::ptrdiff_t>(hi),
                         from, [](const Reorder& r, std::size_t at) { return r.begin < at; }) -
        reorders.begin());
    std::size_t at = begin;
    while (i < hi && reorders[i].begin < end) {
        const Reorder& r = reorders[i];
        out_.put(aside + at, r.begin - at);
        for (std::size_t k = 0; k < r.spans; ++k) {
            const Piece& m = s_.reordered[r.first_span + k];
            if (k != 0) out_.put(',');
            if (r.inside_end == i + 1) {
                out_.put(aside + m.begin, m.end - m.begin);  // nothing inside it to lay out
            } else {
                // A member starts with its key: an object noted inside it starts later.
                lay_out(m.begin, m.end, m.begin + 1, base, i + 1, r.inside_end);
            }
        }
        at = r.end;
        i = r.inside_end;  // past the objects inside this one: its members have laid them out
    }
    out_.put(aside + at, end - at);
}


// ---- the quick walk ---------------------------------------------------------------------
// Small documents mostly hold only strings without escapes, integers, short fractions, the
// three words and nesting of no great depth. The quick walk goes through such a document in
// one loop, without the walk's per-token steps, and writes what the writer above would; it
// gives up at anything else (an escape, an exponent, a long number, deep nesting, any fault of
// the text) with the output as it was, and the walk above reads the text from its start. So
// every failure, and the text of every number or string it does not know, comes from the walk
// alone.

// Documents up to this size are tried: giving up late costs at most one more pass over them.
constexpr std::size_t kQuickMost = 4096;
// Nesting it follows (the walk's own limit lies far beyond).
constexpr int kQuickDepth = 32;

enum class Quick : bool { Check, Write };

// The members of the object whose text starts at `content` are the ones noted from `first`;
// put in order (of equal names the last kept) when they did not come so. Objects inside them
// were settled as they closed, and nothing after this one is written yet, so its text may be
// laid out again, and even shorten, in place. Returns where the object's text now ends.
char* close_quick_object(Scratch& s, char* data, char* end, std::uint32_t first, std::size_t content) {
    const Span* spans = s.members.data() + first;
    const std::size_t count = s.members.size() - first;
    if (!names_ascending(data, spans, count)) {
        auto& order = s.order;
        order.resize(count);
        for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::uint32_t>(i);
        const auto name = [&](std::uint32_t i) {
            return std::string_view(data + spans[i].begin + 1, spans[i].key_end - spans[i].begin - 2);
        };
        const auto kept = sort_keep_last(order.begin(), order.end(), name, s.sorting);
        s.aside.assign(data + content, static_cast<std::size_t>(end - data) - content);
        const char* aside = s.aside.data() - content;  // indexed by output offsets
        end = data + content;
        for (auto it = order.begin(); it != kept; ++it) {
            if (it != order.begin()) *end++ = ',';
            const std::size_t n = spans[*it].end - spans[*it].begin;
            bytes::copy(end, aside + spans[*it].begin, n);
            end += n;
        }
    }
    s.members.resize(first);
    return end;
}

// Reads the whole text, or gives up (false). Writing, `w` is room for the text's size (and
// the 16 bytes small copies may pass): canonical text is never longer than its source (white
// space goes, fractions lose zeros, repeated names go, the rest is copied), and `data` is the
// start of the output that offsets count from; where the written text ends goes to `*done`. The
// position and the output are kept in locals, and its steps always inlined: a byte stored
// through the output could otherwise be taken to change them, and every step would load them
// again.
template <Quick Q>
bool quick_walk(std::string_view text, bool utf8_known, char* data, char* w, Scratch* s, char** done) {
    const char* p = text.data();
    const char* const end = p + text.size();
    const auto space = [&] [[gnu::always_inline]] {  // as Cursor::peek_nonspace: none, or one space, before any loop
        if (p != end && static_cast<unsigned char>(*p) > ' ') return;
        if (end - p >= 2 && *p == ' ' && static_cast<unsigned char>(p[1]) > ' ') {
            ++p;
            return;
        }
        p = bytes::space_run(p, end);
    };
    const auto written = [&] [[gnu::always_inline]] () -> std::size_t {
        if constexpr (Q == Quick::Write) return static_cast<std::size_t>(w - data);
        return 0;
    };
    const auto put = [&] [[gnu::always_inline]] (char c) {
        if constexpr (Q == Quick::Write) *w++ = c;
    };
    const auto put_text = [&] [[gnu::always_inline]] (const char* from, std::size_t n) {
        if constexpr (Q == Quick::Write) {
            bytes::copy(w, from, n);
            w += n;
        }
    };
    // A string without escapes: its canonical text is its own, quotes and all.
    const auto string = [&] [[gnu::always_inline]] () -> bool {
        const char* open = p++;
        if (utf8_known) {
            p = bytes::string_run_within(text.data(), p, end);
        } else {
            unsigned char high = 0;
            p = bytes::string_run(p, end, high);
            if ((high & 0x80) != 0 && p != end &&
                !utf8::valid(reinterpret_cast<const unsigned char*>(open + 1), reinterpret_cast<const unsigned char*>(p))) {
                return false;
            }
        }
        if (p == end || *p != '"') return false;
        ++p;
        put_text(open, static_cast<std::size_t>(p - open));
        return true;
    };
    const auto word = [&] [[gnu::always_inline]] (const char* w4, std::size_t n) -> bool {
        if (static_cast<std::size_t>(end - p) < n || std::memcmp(p, w4, n) != 0) return false;
        put_text(p, n);
        p += n;
        return true;
    };
    // An integer of at most 18 digits, or a fraction the writer copies (plain_decimal); no
    // exponent. What may follow it is settled by the step after the value.
    const auto number = [&] [[gnu::always_inline]] () -> bool {
        NumberText n;
        n.start = p;
        if (*p == '-') ++p;
        n.int_begin = p;
        if (p == end) return false;
        if (*p == '0') {
            ++p;
        } else if (*p >= '1' && *p <= '9') {
            ++p;
            while (p != end && bytes::is(*p, bytes::kDigit)) ++p;
        } else {
            return false;
        }
        n.int_end = p;
        if (n.int_end - n.int_begin > 18) return false;
        if (p != end && bytes::is(*p, bytes::kDigit)) return false;  // a leading zero
        if (p != end && *p == '.') {
            const char* digits = ++p;
            while (p != end && bytes::is(*p, bytes::kDigit)) ++p;
            if (p == digits) return false;
            n.is_float = true;
        }
        if (p != end && (*p == 'e' || *p == 'E')) return false;
        n.mantissa_end = n.end = p;
        if constexpr (Q == Quick::Write) {
            if (n.is_float) return plain_decimal(n, put_text);
            if (n.negative() && n.int_end - n.int_begin == 1 && *n.int_begin == '0') return false;  // -0
            put_text(n.start, static_cast<std::size_t>(n.end - n.start));
        }
        return true;
    };

    struct Level {
        bool object;
        std::uint32_t first_member;  // of s->members
        std::size_t content;         // where its text starts in the output, after the bracket
    };
    Level levels[kQuickDepth];
    int depth = 0;
    enum class Next : unsigned char { Value, Key, After } next = Next::Value;
    for (;;) {
        if (next == Next::Value) {
            space();
            if (p == end) return false;
            next = Next::After;
            switch (*p) {
                case '"':
                    if (!string()) return false;
                    break;
                case '{':
                case '[': {
                    if (depth == kQuickDepth) return false;
                    const bool object = *p++ == '{';
                    put(object ? '{' : '[');
                    std::uint32_t first = 0;
                    if constexpr (Q == Quick::Write) first = static_cast<std::uint32_t>(s->members.size());
                    levels[depth++] = {object, first, written()};
                    space();
                    if (p != end && *p == (object ? '}' : ']')) {
                        ++p;
                        put(object ? '}' : ']');
                        --depth;
                    } else {
                        next = object ? Next::Key : Next::Value;
                    }
                    break;
                }
                case 't': if (!word("true", 4)) return false; break;
                case 'f': if (!word("false", 5)) return false; break;
                case 'n': if (!word("null", 4)) return false; break;
                default:
                    if (!number()) return false;
            }
        } else if (next == Next::Key) {
            if (p == end || *p != '"') return false;
            const std::size_t begin = written();
            if (!string()) return false;
            if constexpr (Q == Quick::Write) s->members.push_back({begin, written(), 0, false});
            space();
            if (p == end || *p != ':') return false;
            ++p;
            put(':');
            next = Next::Value;
        } else {
            space();
            if (depth == 0) {
                if (p != end) return false;
                if constexpr (Q == Quick::Write) *done = w;
                return true;
            }
            if (p == end) return false;
            const Level& level = levels[depth - 1];
            const char c = *p++;
            if (level.object) {
                if constexpr (Q == Quick::Write) s->members.back().end = written();
                if (c == ',') {
                    put(',');
                    space();
                    next = Next::Key;
                } else if (c == '}') {
                    if constexpr (Q == Quick::Write) w = close_quick_object(*s, data, w, level.first_member, level.content);
                    put('}');
                    --depth;
                } else {
                    return false;
                }
            } else if (c == ',') {
                put(',');
                next = Next::Value;
            } else if (c == ']') {
                put(']');
                --depth;
            } else {
                return false;
            }
        }
    }
}

template <Dialect D>
std::expected<void, ReadError> check_text(std::string_view text, Source source = Source::Bytes) {
    Cursor c(text, source);
    if (!check_value<D>(c) || !c.finish()) return std::unexpected(c.error());
    return {};
}

}  // namespace

std::expected<void, ReadError> canonicalize(std::string_view text, std::string& out, Source source) {
    static KORVO_THREAD_LOCAL Scratch scratch;
    scratch.clear();
    Out written(out, text.size() + 16);
    if (text.size() <= kQuickMost) {
        char* room = written.room(text.size());
        if (char* done; quick_walk<Quick::Write>(text, source == Source::Utf8, written.at(0), room, &scratch, &done)) {
            written.advance(done);
            written.finish(true);
            return {};
        }
        written.rewind_to_start();
        scratch.clear();
    }
    Cursor c(text, source);
    CanonicalWriter writer(written, scratch);
    const bool done = Walk<kStrict, CanonicalWriter>(c, writer).value({}) && c.finish();
    if (done) writer.reorder();
    written.finish(done);
    scratch.trim();
    if (!done) return std::unexpected(c.error());
    return {};
}

std::expected<void, ReadError> check(std::string_view text, Source source) {
    if (text.size() <= kQuickMost && quick_walk<Quick::Check>(text, source == Source::Utf8, nullptr, nullptr, nullptr, nullptr)) return {};
    return check_text<kStrict>(text, source);
}

std::expected<void, ReadError> check_lenient(std::string_view text) { return check_text<kLenientSkip>(text); }

}  // namespace korvo::json
