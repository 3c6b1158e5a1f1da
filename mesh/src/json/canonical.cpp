// Canonicalizing: reading and writing in one pass.
//
// The canonical text is written straight into the output as the input is read. Arrays, strings
// and numbers need nothing more. An object's members are written in the order they come, each
// one's place noted; when the object closes and its names turn out not to be in strictly
// ascending order (sort_keep_last, the rule of the value tree too), the order its members must
// take is noted, and nothing is moved yet (an object whose keys come exactly as an earlier
// one's in the same document, as an array's records mostly do, takes the order found for that
// one, without sorting again). Once the document is read, the text from the first
// such object on is laid out again once, each noted object's members in their order (objects
// noted inside them too): every byte is moved at most once more, however deep the unsorted
// objects nest.
#include "json/canonical.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>
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
    char* limit() noexcept { return end_; }
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

// Whether an object's members may stay as they came: names without escapes, strictly ascending.
bool members_in_order(const char* text, const Span* spans, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (spans[i].escaped) return false;
    }
    return names_ascending(text, spans, count);
}

// The hash of an object's keys, in their order: their lengths and first eight bytes.
std::uint64_t keys_hash(const char* text, const Span* spans, std::size_t count) noexcept {
    std::uint64_t h = count;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t size = spans[i].key_end - spans[i].begin;
        h = (h ^ key_prefix(text + spans[i].begin + 1, size - 2) ^ size) * 0x9E3779B97F4A7C15ULL;
        h ^= h >> 29;
    }
    return h;
}

// Whether n bytes at a (in the output, with room past them) and at b (with eight bytes past
// them) are the same, a word at a time.
bool same_key(const char* a, const char* b, std::size_t n) noexcept {
    if (n <= 8) {
        const std::uint64_t x = bytes::load8(a) ^ bytes::load8(b);
        return n == 8 ? x == 0 : (x & ((std::uint64_t{1} << (8 * n)) - 1)) == 0;
    }
    for (std::size_t i = 0; i + 8 < n; i += 8) {
        if (bytes::load8(a + i) != bytes::load8(b + i)) return false;
    }
    return bytes::load8(a + n - 8) == bytes::load8(b + n - 8);
}

// The members' orders found for the out-of-order objects of one document, each kept for the
// next object whose keys come the same, byte for byte and in the same order (an array's records
// mostly share theirs), so that it is not sorted again. Found by the keys' hash, in a few ways
// of a set, so that the shapes a document alternates between seldom push each other out. A
// shape met once is only marked as seen (its hash), and its keys and order are kept when it
// comes again, so that objects whose shapes never repeat cost little more than the hash. What
// they hold is in two lists for the whole document, so that writing the same document again
// makes no allocation.
class KnownOrders {
public:
    struct Order {
        std::uint64_t document = 0;  // the document it was found in (document_); it is known only there
        std::uint64_t hash = 0;
        std::size_t keys_at = 0;  // the keys' text, quotes included, one after another, in keys_
        std::size_t keys_size = 0;
        std::size_t order_at = 0;  // the kept members, in their order, in orders_
        std::size_t order_size = 0;
        bool moves = false;  // the order is not the members' own
        bool kept = false;   // the keys and the order are kept; else the shape was only seen
    };

    // The order known in this document for an object with these keys, or null.
    const Order* find(std::uint64_t hash, const char* text, const Span* spans, std::size_t count) const noexcept {
        if (sets_.empty()) return nullptr;
        for (const Order& k : set(hash).ways) {
            if (k.hash == hash && k.document == document_ && k.kept && same_keys(k, text, spans, count)) return &k;
        }
        return nullptr;
    }
    // Notes the order [first, last) found for an object with these keys: kept if a shape of
    // their hash was seen before in this document, else only marked as seen.
    void add(std::uint64_t hash, const char* text, const Span* spans, std::size_t count, const std::uint32_t* first,
             const std::uint32_t* last, bool moves) {
        const std::uint64_t document = document_;
        if (sets_.empty()) sets_.resize(std::size_t{1} << kSetBits);  // on the heap: the scratch is in static TLS
        Set& s = set(hash);
        Order* place = nullptr;
        for (Order& k : s.ways) {
            if (k.hash == hash && k.document == document) place = &k;  // seen, or kept for keys of the same hash
        }
        if (place == nullptr) {
            Order& k = s.ways[s.next];
            s.next = (s.next + 1) % kWays;
            k = {document, hash};
            return;
        }
        Order& k = *place;
        k = {document, hash, keys_.size(), 0, orders_.size(), static_cast<std::size_t>(last - first), moves, true};
        for (std::size_t i = 0; i < count; ++i) keys_.append(text + spans[i].begin, spans[i].key_end - spans[i].begin);
        k.keys_size = keys_.size() - k.keys_at;
        keys_.append(8, '\0');  // for same_key's words
        orders_.insert(orders_.end(), first, last);
    }
    const std::uint32_t* order(const Order& k) const noexcept { return orders_.data() + k.order_at; }

    // A new document: what the last one noted is dropped (the orders are known by document).
    void clear() noexcept {
        ++document_;
        keys_.clear();
        orders_.clear();
    }
    void trim(std::size_t kept) noexcept {
        if (keys_.capacity() > kept) std::string().swap(keys_);
        if (orders_.capacity() * sizeof(std::uint32_t) > kept) std::vector<std::uint32_t>().swap(orders_);
    }

private:
    static constexpr int kSetBits = 4;
    static constexpr std::size_t kWays = 4;
    struct Set {
        std::array<Order, kWays> ways;
        std::size_t next = 0;  // the way taken by the next order noted
    };

    Set& set(std::uint64_t hash) noexcept { return sets_[hash >> (64 - kSetBits)]; }  // the best mixed bits
    const Set& set(std::uint64_t hash) const noexcept { return sets_[hash >> (64 - kSetBits)]; }

    bool same_keys(const Order& k, const char* text, const Span* spans, std::size_t count) const noexcept {
        const char* at = keys_.data() + k.keys_at;
        const char* const end = at + k.keys_size;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t size = spans[i].key_end - spans[i].begin;
            if (static_cast<std::size_t>(end - at) < size || !same_key(text + spans[i].begin, at, size)) return false;
            at += size;
        }
        return at == end;
    }

    std::vector<Set> sets_;
    std::uint64_t document_ = 0;  // counts the documents, so that no order outlives its own
    std::string keys_;
    std::vector<std::uint32_t> orders_;
};

// A member as a reordered object lays it out: its text, key to value, and whether a noted
// object starts inside it (else it is copied as it stands).
struct Piece {
    std::size_t begin;
    std::size_t end;
    bool holds_noted;
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
    std::vector<unsigned char> holds_noted;  // for each member of the object closing
    KnownOrders known;
    std::string aside;

    void clear() noexcept {
        known.clear();
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
        if (holds_noted.capacity() > kKept) std::vector<unsigned char>().swap(holds_noted);
        known.trim(kKept);
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


// Numbers not written as they read (not an integer that fits, not a fraction that is copied),
// from their value: each written at `at` (kFloatRoom bytes of room), its end returned.

// One that needs converting, given as ±w × 10^q (w not 0); null for the rare value whose double
// fast_float's exact road does not settle, and for one out of range.
char* put_double(char* at, bool negative, std::uint64_t w, std::int64_t q) noexcept {
    double magnitude;
    if (!NumberText::quick_double(w, q, magnitude)) return nullptr;
    if (magnitude == 0) return put_float(at, negative ? -0.0 : 0.0);  // below the smallest double
    return put_shortest(at, negative, magnitude);
}
// Any, given so (w of at most 19 digits), null where put_double() gives null.
char* put_value(char* at, bool negative, std::uint64_t w, std::int64_t q) noexcept {
    if (w == 0) return put_float(at, negative ? -0.0 : 0.0);
    // At most 15 significant digits, well inside the normal range: they are the shortest that
    // read back as the number's double (any two decimals of at most 15 digits read as different
    // doubles), so they are written as they are, with no conversion.
    std::uint64_t sig = w;
    std::int64_t e = q;
    while (sig % 10 == 0) {
        sig /= 10;
        ++e;
    }
    const int count = digits::count(sig);
    const std::int64_t lead = e + count - 1;
    if (count <= 15 && lead >= -307 && lead <= 307) {
        return put_significand(at, negative, sig, count, static_cast<int>(lead));
    }
    return put_double(at, negative, w, q);
}
// From its text: null when it is out of range (the cursor keeps the failure).
char* put_converted(char* at, Cursor& c, const NumberText& n) {
    std::uint64_t w;
    std::int64_t q;
    if (n.decimal(w, q, c.text_end())) {
        if (char* done = put_value(at, n.negative(), w, q)) return done;
    }
    // More than 19 significant digits, or a value at the edge: the whole reading.
    Number v;
    if (!c.number_value(n, v)) return nullptr;
    return put_float(at, v.d);
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
        char* at = put_converted(out_.room(kFloatRoom), c, n);
        if (at == nullptr) return false;
        out_.advance(at);
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
        return name(c);
    }
    // A member's name (the body after its opening quote), noted as the object's next member.
    bool name(Cursor& c) {
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
    // end_object for one whose members are known not to be in order as they stand.
    void end_unordered_object(Object& o);

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

    // Writes at `w` the text of [begin, end) (output coordinates, read from the aside copy that
    // starts at `base`), with the noted objects among reorders[lo, hi) that start at `from` or
    // later laid out in their order; returns where it ends. The room is made beforehand: what
    // is laid out is no longer than what was written.
    char* lay_out(char* w, std::size_t begin, std::size_t end, std::size_t from, std::size_t base, std::size_t lo,
                  std::size_t hi) const;

    Out& out_;
    Scratch& s_;
};

void CanonicalWriter::end_object(Object& o) {
    if (members_in_order(out_.data(), s_.members.data() + o.first_member, s_.members.size() - o.first_member)) {
        out_.put('}');
        s_.members.resize(o.first_member);
        return;
    }
    end_unordered_object(o);
}

void CanonicalWriter::end_unordered_object(Object& o) {
    const std::size_t count = s_.members.size() - o.first_member;
    const Span* spans = s_.members.data() + o.first_member;
    const char* text = out_.data();
    const std::uint64_t hash = keys_hash(text, spans, count);
    // The kept members in their order, and whether that is not their own: known, or sorted now.
    const std::uint32_t* kept;
    std::size_t kept_count;
    bool moves;
    if (const KnownOrders::Order* known = s_.known.find(hash, text, spans, count)) {
        kept = s_.known.order(*known);
        kept_count = known->order_size;
        moves = known->moves;
    } else {
        bool escaped = false;
        for (std::size_t i = 0; i < count; ++i) escaped |= spans[i].escaped;
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
        const auto end = sort_keep_last(order.begin(), order.end(), name, s_.sorting);
        kept = order.data();
        kept_count = static_cast<std::size_t>(end - order.begin());
        moves = end != order.end();
        for (std::size_t i = 0; !moves && i < count; ++i) moves = order[i] != i;
        s_.known.add(hash, text, spans, count, kept, kept + kept_count, moves);
    }
    if (moves) {
        // Kept in the order the objects start: the noted objects inside this one closed after it
        // opened, so they are the last ones, and it goes before them.
        auto& reorders = s_.reorders;
        std::size_t at = reorders.size();
        while (at != 0 && reorders[at - 1].begin > o.content) --at;
        // Which members hold those: both come in the order they start.
        auto& holds = s_.holds_noted;
        holds.assign(count, 0);
        for (std::size_t i = 0, r = at; i < count && r < reorders.size(); ++i) {
            for (; r < reorders.size() && reorders[r].begin < spans[i].end; ++r) holds[i] = 1;
        }
        const std::size_t first = s_.reordered.size();
        for (std::size_t k = 0; k < kept_count; ++k) {
            const std::uint32_t i = kept[k];
            s_.reordered.push_back({spans[i].begin, spans[i].end, holds[i] != 0});
        }
        reorders.insert(reorders.begin() + static_cast<std::ptrdiff_t>(at),
                        {o.content, out_.size(), first, s_.reordered.size() - first});
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
        out_.advance(lay_out(out_.room(end - base), base, end, base, 0, 0, reorders.size()));
    } else {
        // The text from the first of them on is copied aside and laid out again in place.
        s_.aside.assign(out_.data() + base, end - base);
        out_.rewind(base);
        out_.advance(lay_out(out_.room(end - base), base, end, base, base, 0, reorders.size()));
    }
}

char* CanonicalWriter::lay_out(char* w, std::size_t begin, std::size_t end, std::size_t from, std::size_t base,
                               std::size_t lo, std::size_t hi) const {
    const auto& reorders = s_.reorders;
    const char* aside = s_.aside.data() - base;  // indexed by output offsets
    const auto put = [&](std::size_t at, std::size_t to) {
        bytes::copy(w, aside + at, to - at);
        w += to - at;
    };
    // The first noted object that starts in [from, end).
    std::size_t i = static_cast<std::size_t>(
        std::lower_bound(reorders.begin() + static_cast<std::ptrdiff_t>(lo), reorders.begin() + static_cast<std::ptrdiff_t>(hi),
                         from, [](const Reorder& r, std::size_t at) { return r.begin < at; }) -
        reorders.begin());
    std::size_t at = begin;
    while (i < hi && reorders[i].begin < end) {
        const Reorder& r = reorders[i];
        put(at, r.begin);
        const Piece* m = s_.reordered.data() + r.first_span;
        for (std::size_t k = 0; k < r.spans; ++k, ++m) {
            if (k != 0) *w++ = ',';
            if (!m->holds_noted) {
                put(m->begin, m->end);
            } else {
                // A member starts with its key: an object noted inside it starts later.
                w = lay_out(w, m->begin, m->end, m->begin + 1, base, i + 1, r.inside_end);
            }
        }
        at = r.end;
        i = r.inside_end;  // past the objects inside this one: its members have laid them out
    }
    put(at, end);
    return w;
}


// ---- the quick walk ---------------------------------------------------------------------
// Documents mostly hold strings without escapes, integers, short fractions and the three words.
// The quick walk goes through a document in one loop, with the position and the output in
// locals, and copies those itself; a token it does not know (an escape, an exponent, a longer
// number) it hands to the walk's own step for it (the cursor's scan, the writer's string or
// number), started where the token starts, and an object's members go through the writer's own
// end_object, so the objects to reorder are noted and laid out exactly as the walk above does.
// At a fault of any kind it gives up, the output as it was, and the walk above reads the text
// from its start: every failure, with its description and position, comes from that walk alone.

enum class Quick : bool { Check, Write };

// One step of the walk above, for a token the quick walk hands over: `step(cursor, sink)` with
// the cursor at `from`, and the writer (or, checking, the check) as the sink. Returns where the
// token ends, or null at a fault (kept by nobody: the walk above finds it again). Kept out of
// line, so that the quick walk's position and output never have their address taken.
template <Quick Q, class Step>
[[gnu::noinline]] const char* walk_step(std::string_view text, Source source, Out* out, Scratch* s, const char* from,
                                        Step& step) {
    Cursor c(text, source, static_cast<std::size_t>(from - text.data()));
    if constexpr (Q == Quick::Write) {
        CanonicalWriter writer(*out, *s);
        if (!step(c, writer)) return nullptr;
    } else {
        CheckOnly<kStrict> sink;
        if (!step(c, sink)) return nullptr;
    }
    return c.here();
}

// Reads the whole text, or gives up (false); writing, into `out` with the writer's scratch `s`.
// Plain tokens are copied through `w`, a raw cursor into room made for the rest of the text:
// copied text is never longer than its source (white space goes, fractions lose zeros), and the
// room is made again after a step that may write more. `w` and the input position are kept in
// locals, and the loop's own steps always inlined: a byte stored through the output could
// otherwise be taken to change them, and every step would load them again.
template <Quick Q>
bool quick_walk(std::string_view text, Source source, Out* out, Scratch* s) {
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool utf8_known = source == Source::Utf8;
    char* w = nullptr;
    char* data = nullptr;  // the output's start, which the members' offsets count from
    if constexpr (Q == Quick::Write) {
        w = out->room(text.size());
        data = out->at(0);
    }
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
    // After the writer wrote through `out` itself (writing only): room for `rest` more bytes of
    // plain copies, and the output cursor taken back.
    const auto take_back = [&] [[gnu::always_inline]] (std::size_t rest) {
        w = out->room(rest);
        data = out->at(0);
    };
    // The writer's (or, checking, the check's) own step for a token, from `from` (walk_step); the
    // output is handed over and taken back.
    const auto by_walk = [&] [[gnu::always_inline]] (auto&& step, const char* from) -> bool {
        if constexpr (Q == Quick::Write) out->advance(w);
        const char* to = walk_step<Q>(text, source, out, s, from, step);
        if (to == nullptr) return false;
        if constexpr (Q == Quick::Write) take_back(static_cast<std::size_t>(end - to));
        p = to;
        return true;
    };
    // A string without escapes: its canonical text is its own, quotes and all, copied. False
    // (nothing consumed) for any other.
    const auto plain_string = [&] [[gnu::always_inline]] () -> bool {
        const char* open = p;
        const char* q = p + 1;
        if (utf8_known) {
            q = bytes::string_run_within(text.data(), q, end);
        } else {
            unsigned char high = 0;
            q = bytes::string_run(q, end, high);
            if ((high & 0x80) != 0 && q != end &&
                !utf8::valid(reinterpret_cast<const unsigned char*>(open + 1), reinterpret_cast<const unsigned char*>(q))) {
                return false;
            }
        }
        if (q == end || *q != '"') return false;
        p = q + 1;
        put_text(open, static_cast<std::size_t>(p - open));
        return true;
    };
    const auto string = [&] [[gnu::always_inline]] () -> bool {
        return plain_string() || by_walk(
                                     [](Cursor& c, auto& sink) {
                                         c.eat();
                                         return sink.string(c, {});
                                     },
                                     p);
    };
    const auto word = [&] [[gnu::always_inline]] (const char* w4, std::size_t n) -> bool {
        if (static_cast<std::size_t>(end - p) < n || std::memcmp(p, w4, n) != 0) return false;
        put_text(p, n);
        p += n;
        return true;
    };
    // Past a run of digits from q, their count added to k: eight bytes at a time (the text's last
    // few one by one), an integer's first four one at a time before that, as most integers are
    // short. A fraction's digits, written, are also read as they go (v = v × 10^k + the run):
    // past 19 digits v is of no use, which k tells.
    const auto digit_run = [&]<bool kFraction> [[gnu::always_inline]] (const char* q, std::uint64_t& v, std::ptrdiff_t& k) {
        constexpr bool read = kFraction && Q == Quick::Write;
        if constexpr (!kFraction) {
            for (int i = 0; i < 4; ++i, ++q, ++k) {
                if (q == end || !bytes::is(*q, bytes::kDigit)) return q;
            }
        }
        while (end - q >= 8) {
            const std::uint64_t x = digits::detail::load(q);
            const unsigned run = digits::leading(x);
            if (run == 0) return q;
            if constexpr (read) v = v * digits::detail::kPow10[run] + digits::first(x, run);
            k += run;
            q += run;
            if (run < 8) return q;
        }
        for (; q != end && bytes::is(*q, bytes::kDigit); ++q, ++k) {
            if constexpr (read) v = v * 10 + static_cast<unsigned>(*q - '0');
        }
        return q;
    };
    // An integer of at most 18 digits (not -0), or a fraction the writer copies (plain_decimal):
    // copied here. A fraction it does not copy is converted here too, from the value read while
    // scanning it (from its text when it has more than 19 digits); any other number (an exponent,
    // a longer integer, a fault) is read again by the cursor. What may follow a number is settled
    // by the step after the value.
    const auto number = [&] [[gnu::always_inline]] () -> bool {
        const auto by_cursor = [&] [[gnu::always_inline]] {
            return by_walk(
                [](Cursor& c, auto& sink) {
                    const bool negative = c.peek() == '-';
                    if (negative) c.eat();
                    NumberText n;
                    return c.template scan_number<kStrict>(negative, n) && sink.number(c, {}, n);
                },
                p);
        };
        NumberText n;
        const char* q = p;
        n.start = q;
        if (*q == '-') ++q;
        n.int_begin = q;
        if (q == end) return by_cursor();
        std::uint64_t value = 0;   // a fraction's digits, while there are at most 19 in all
        std::ptrdiff_t count = 0;  // digits: the integer's, then the fraction's
        std::ptrdiff_t fraction_digits = 0;
        if (*q == '0') {
            ++q;
            count = 1;
        } else if (*q >= '1' && *q <= '9') {
            q = digit_run.template operator()<false>(q, value, count);
        } else {
            return by_cursor();
        }
        n.int_end = q;
        if (count > 18 || (q != end && bytes::is(*q, bytes::kDigit))) return by_cursor();
        if (q != end && *q == '.') {
            const char* digits = ++q;
            const std::ptrdiff_t whole = count;
            q = digit_run.template operator()<true>(q, value, count);
            if (q == digits) return by_cursor();
            n.is_float = true;
            fraction_digits = count - whole;
        }
        if (q != end && (*q == 'e' || *q == 'E')) return by_cursor();
        n.mantissa_end = n.end = q;
        if constexpr (Q == Quick::Write) {
            if (n.is_float) {
                // From 16 to 19 digits, from a first that is not 0 to a last that is not: never
                // copied, so not looked at for that, and converted from the value as it is.
                const bool long_fraction = count > 15 && count <= 19 && *n.int_begin != '0' && q[-1] != '0';
                if (long_fraction || !plain_decimal(n, [&](const char* t, std::size_t k) { put_text(t, k); })) {
                    // Converted, it may take more than its text: room first.
                    if (static_cast<std::size_t>(out->limit() - w) < kFloatRoom + static_cast<std::size_t>(end - q) + 16) {
                        out->advance(w);
                        take_back(kFloatRoom + static_cast<std::size_t>(end - q));
                    }
                    if (count <= 19) value += digits::read(n.int_begin, n.int_end, end) * digits::detail::kPow10[fraction_digits];
                    const std::int64_t scale = -fraction_digits;
                    char* done = long_fraction ? put_double(w, n.negative(), value, scale)
                                 : count <= 19 ? put_value(w, n.negative(), value, scale)
                                               : nullptr;
                    if (done == nullptr) {
                        Cursor values(text, source);  // what converting asks of a cursor: the text's end
                        done = put_converted(w, values, n);
                        if (done == nullptr) return false;
                    }
                    w = done;
                }
            } else {
                if (n.negative() && n.int_end - n.int_begin == 1 && *n.int_begin == '0') return by_cursor();  // -0
                put_text(n.start, static_cast<std::size_t>(n.end - n.start));
            }
        }
        p = q;
        return true;
    };

    struct Level {
        bool object;
        CanonicalWriter::Object members;  // writing: its members' place in the scratch and its text's
    };
    Level levels[kMaxDepth];
    int depth = 0;
    enum class Next : unsigned char { Value, Key, After } next = Next::Value;
    for (;;) {
        if (next == Next::Value) {
            bytes::prefetch_ahead(p);
            space();
            if (p == end) return false;
            next = Next::After;
            switch (*p) {
                case '"':
                    if (!string()) return false;
                    break;
                case '{':
                case '[': {
                    if (depth == kMaxDepth) return false;
                    const bool object = *p++ == '{';
                    put(object ? '{' : '[');
                    Level& level = levels[depth++];
                    level.object = object;
                    if constexpr (Q == Quick::Write) level.members = {s->members.size(), written()};
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
            if (plain_string()) {
                if constexpr (Q == Quick::Write) s->members.push_back({begin, written(), 0, false});
            } else if (!by_walk(
                           [](Cursor& c, auto& sink) {
                               c.eat();
                               if constexpr (std::is_same_v<std::remove_cvref_t<decltype(sink)>, CanonicalWriter>) {
                                   return sink.name(c);  // noted as a member, its name decoded if need be
                               } else {
                                   return sink.string(c, {});
                               }
                           },
                           p)) {
                return false;
            }
            space();
            if (p == end || *p != ':') return false;
            ++p;
            put(':');
            next = Next::Value;
        } else {
            space();
            if (depth == 0) {
                if (p != end) return false;
                if constexpr (Q == Quick::Write) out->advance(w);
                return true;
            }
            if (p == end) return false;
            Level& level = levels[depth - 1];
            const char c = *p++;
            if (level.object) {
                if constexpr (Q == Quick::Write) s->members.back().end = written();
                if (c == ',') {
                    put(',');
                    space();
                    next = Next::Key;
                } else if (c == '}') {
                    if constexpr (Q == Quick::Write) {
                        const std::size_t first = level.members.first_member;
                        if (members_in_order(data, s->members.data() + first, s->members.size() - first)) {
                            s->members.resize(first);
                            put('}');
                        } else {
                            out->advance(w);
                            CanonicalWriter(*out, *s).end_unordered_object(level.members);
                            take_back(static_cast<std::size_t>(end - p));
                        }
                    }
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
    CanonicalWriter writer(written, scratch);
    if (quick_walk<Quick::Write>(text, source, &written, &scratch)) {
        const bool reordered = !scratch.reorders.empty();
        if (reordered) writer.reorder();
        written.finish(true);
        // Each of the scratch's lists holds at most some thirteen bytes of capacity for each byte
        // of text (a member's span for every five, doubled as it grows), and at most one name for
        // every seven: a text of up to a sixteenth of what it keeps cannot have grown them past
        // that. A reorder may leave the aside buffer holding the caller's old buffer, whatever
        // its size.
        if (reordered || text.size() > kKeptScratch / 16) scratch.trim();
        return {};
    }
    written.rewind_to_start();
    scratch.clear();
    Cursor c(text, source);
    const bool done = Walk<kStrict, CanonicalWriter>(c, writer).value({}) && c.finish();
    if (done) writer.reorder();
    written.finish(done);
    scratch.trim();
    if (!done) return std::unexpected(c.error());
    return {};
}

std::expected<void, ReadError> check(std::string_view text, Source source) {
    if (quick_walk<Quick::Check>(text, source, nullptr, nullptr)) return {};
    return check_text<kStrict>(text, source);
}

std::expected<void, ReadError> check_lenient(std::string_view text) { return check_text<kLenientSkip>(text); }

}  // namespace korvo::json
