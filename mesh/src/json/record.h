// Records: a record's JSON fields are declared once, in order, each with its name, its kind and
// how its value is read from what holds it; the record's writer, its sizes and its field names
// all follow from that one declaration.
//
//   constexpr auto kPoint = json::record(json::text("name", &Point::name), json::uint("x", &Point::x));
//   json::write_record<kPoint>(point, out);   // {"name":"…","x":1}
//
// Everything but the values is worked out at compile time: the fixed text around the values
// (`{"name":`, `,"x":`, the quotes of texts known to need no escaping, constant fields, the
// braces of nested objects) is made into pieces, and writing is copying pieces and values into
// room made once. A text that needs escaping is written by write_string between such runs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "json/value.h"
#include "json/write.h"

namespace korvo::json {

enum class FieldKind : std::uint8_t {
    Text,      // a string, escaped as it needs
    Plain,     // a string that never needs escaping (a name from a table, a timestamp), of a known most
    UInt,      // an unsigned integer
    Raw,       // compact JSON text, written as it is
    Tree,      // a json::Value
    Texts,     // a sequence of strings, written as an array
    Keyed,     // a sequence of (name, held) pairs, written as an object whose values are records
    Constant,  // a string fixed by the declaration: part of the record's fixed text
    Open,      // a nested object: its name; its members follow, up to the matching Close
    Close,
};

// A text together with the size it takes written as a JSON string (quotes excluded), for a holder
// that keeps it: a text whose written size is its own size needs no escaping and is copied whole.
struct SizedText {
    std::string_view text;
    std::size_t written = 0;
    bool plain() const noexcept { return written == text.size(); }
};
inline SizedText sized(std::string_view text) noexcept { return {text, escaped_size(text)}; }

struct FieldInfo {
    FieldKind kind = FieldKind::Text;
    std::string_view name;
    std::string_view constant;  // Constant: the text
};

// How a field's value is read: `get` is invoked on the holder (a member pointer or a function).
template <FieldKind K, class Get>
struct Reader {
    static constexpr FieldKind kind = K;
    Get get{};
    std::size_t most = 0;  // Plain: the longest the text can be
};

template <const auto& Sub, class Get>
struct KeyedReader {
    static constexpr FieldKind kind = FieldKind::Keyed;
    static constexpr const auto& record = Sub;
    Get get{};
};

// A run of declared fields: what each is, and a reader for each one that has a value (every kind
// but Constant, Open and Close), in order.
template <std::size_t N, class... Readers>
struct Fields {
    std::array<FieldInfo, N> info{};
    std::tuple<Readers...> readers{};
};

namespace record_detail {

constexpr bool needs_no_escape(std::string_view text) {
    for (const char c : text) {
        if (kEscape[static_cast<unsigned char>(c)] != 0) return false;
    }
    return true;
}

constexpr FieldInfo info(FieldKind kind, std::string_view name, std::string_view constant = {}) {
    // Names (and constants) go into the fixed text as they are.
    if (!needs_no_escape(name) || !needs_no_escape(constant)) throw "a field name or constant that needs escaping";
    return {kind, name, constant};
}

template <FieldKind K, class Get>
constexpr Fields<1, Reader<K, Get>> one(std::string_view name, Get get, std::size_t most = 0) {
    return {{info(K, name)}, {Reader<K, Get>{get, most}}};
}

template <std::size_t A, class... RA, std::size_t B, class... RB>
constexpr Fields<A + B, RA..., RB...> join(const Fields<A, RA...>& a, const Fields<B, RB...>& b) {
    Fields<A + B, RA..., RB...> out{};
    for (std::size_t i = 0; i < A; ++i) out.info[i] = a.info[i];
    for (std::size_t i = 0; i < B; ++i) out.info[A + i] = b.info[i];
    out.readers = std::tuple_cat(a.readers, b.readers);
    return out;
}

template <class First, class... Rest>
constexpr auto join(const First& first, const Rest&... rest) {
    if constexpr (sizeof...(Rest) == 0) {
        return first;
    } else {
        return join(first, join(rest...));
    }
}

}  // namespace record_detail

// ---- declaring ------------------------------------------------------------------------------

template <FieldKind K>
struct Declare {
    template <class Get>
    constexpr auto operator()(std::string_view name, Get get) const {
        return record_detail::one<K>(name, get);
    }
};
inline constexpr Declare<FieldKind::Text> text{};
inline constexpr Declare<FieldKind::UInt> uint{};
inline constexpr Declare<FieldKind::Raw> raw{};
inline constexpr Declare<FieldKind::Tree> tree{};
inline constexpr Declare<FieldKind::Texts> texts{};
// A plain text is declared with the most it can take.
template <class Get>
constexpr auto plain(std::string_view name, Get get, std::size_t most) {
    return record_detail::one<FieldKind::Plain>(name, get, most);
}
// Each element of the sequence is a pair: its name, and what the record `Sub` is written from.
template <const auto& Sub, class Get>
constexpr auto keyed(std::string_view name, Get get) {
    return Fields<1, KeyedReader<Sub, Get>>{{record_detail::info(FieldKind::Keyed, name)}, {KeyedReader<Sub, Get>{get}}};
}
constexpr Fields<1> constant(std::string_view name, std::string_view text) {
    return {{record_detail::info(FieldKind::Constant, name, text)}, {}};
}

// The fields (and runs of fields) given, in order.
template <class... Parts>
constexpr auto record(const Parts&... parts) {
    return record_detail::join(Fields<0>{}, parts...);
}

// A nested object named `name` whose members are the fields given, read from the same holder.
template <class... Parts>
constexpr auto object(std::string_view name, const Parts&... parts) {
    return record_detail::join(Fields<1>{{record_detail::info(FieldKind::Open, name)}, {}}, record(parts...),
                               Fields<1>{{FieldInfo{FieldKind::Close, {}, {}}}, {}});
}

// ---- what follows from a declaration ------------------------------------------------------------

// How many of the record's fields carry a value.
template <const auto& R>
inline constexpr std::size_t kValueCount = std::tuple_size_v<std::remove_cvref_t<decltype(R.readers)>>;

// The names of the record's own fields in order (a nested object's members are the object's).
template <const auto& R>
constexpr auto field_names() {
    constexpr std::size_t count = [] {
        std::size_t n = 0;
        int depth = 0;
        for (const FieldInfo& f : R.info) {
            if (f.kind == FieldKind::Close) --depth;
            else if (depth == 0) ++n;
            if (f.kind == FieldKind::Open) ++depth;
        }
        return n;
    }();
    std::array<std::string_view, count> names{};
    std::size_t n = 0;
    int depth = 0;
    for (const FieldInfo& f : R.info) {
        if (f.kind == FieldKind::Close) --depth;
        else if (depth == 0) names[n++] = f.name;
        if (f.kind == FieldKind::Open) ++depth;
    }
    return names;
}

// Appends the values [From, To) of record R read from `held`, each with the fixed text before it,
// and the record's closing text when the span reaches its end: write_record<R>(h, out) writes the
// whole record; spans written one after another make it too.
template <const auto& R, std::size_t From = 0, std::size_t To = kValueCount<R>, class H>
void write_record(const H& held, std::string& out);

namespace record_detail {

template <const auto& R, std::size_t I>
using ReaderAt = std::tuple_element_t<I, std::remove_cvref_t<decltype(R.readers)>>;

template <const auto& R, std::size_t I, class H>
decltype(auto) read(const H& held) {
    return std::invoke(std::get<I>(R.readers).get, held);
}

template <const auto& R, std::size_t I, class H>
using ReadType = std::remove_cvref_t<decltype(read<R, I>(std::declval<const H&>()))>;

template <const auto& R, std::size_t I, class H>
constexpr bool kSizedText = ReaderAt<R, I>::kind == FieldKind::Text && std::is_same_v<ReadType<R, I, H>, SizedText>;

// The texts of the span [From, To) of R that can be copied whole, by bit: the ones whose holder H
// knows their written size, except a span's last value when the span stops short of the record's
// end (its closing quote would be in the next span's first piece).
template <const auto& R, class H, std::size_t From, std::size_t To>
constexpr std::uint64_t copied_texts() {
    return []<std::size_t... K>(std::index_sequence<K...>) {
        return (std::uint64_t{0} | ... |
                ((From + K + 1 < To || To == kValueCount<R>) && kSizedText<R, From + K, H> ? std::uint64_t{1} << (From + K)
                                                                                          : 0));
    }(std::make_index_sequence<To - From>());
}

template <class T>
std::string_view view_of(const T& text) noexcept {
    if constexpr (std::is_same_v<T, SizedText>) {
        return text.text;
    } else {
        return std::string_view(text);
    }
}

// The fixed text of a record as pieces: piece i comes before value i, and the last piece after the
// last value. The quotes of a plain text are in the pieces, and those of a text whose bit is set in
// `QuotedTexts` (one copied whole); the other texts get theirs from write_string.
template <const auto& R, std::uint64_t QuotedTexts>
struct Layout {
    static constexpr std::size_t kValues = kValueCount<R>;
    static_assert(kValues < 64, "more values than the mask of quoted texts holds");

    // Lays the fixed text out: `put` takes fixed text, `slot` marks where a value goes.
    template <class Put, class Slot>
    static constexpr void lay_out(Put&& put, Slot&& slot) {
        bool first = true;
        std::size_t value = 0;
        put("{");
        for (const FieldInfo& f : R.info) {
            if (f.kind == FieldKind::Close) {
                put("}");
                first = false;
                continue;
            }
            if (!first) put(",");
            first = false;
            put("\"");
            put(f.name);
            put("\":");
            const bool quoted = f.kind == FieldKind::Plain ||
                                (f.kind == FieldKind::Text && ((QuotedTexts >> value) & 1) != 0);
            if (f.kind == FieldKind::Open) {
                put("{");
                first = true;
            } else if (f.kind == FieldKind::Constant) {
                put("\"");
                put(f.constant);
                put("\"");
            } else {
                if (quoted) put("\"");
                slot();
                if (quoted) put("\"");
                ++value;
            }
        }
        put("}");
    }

    static constexpr std::size_t kSize = [] {
        std::size_t n = 0;
        lay_out([&](std::string_view t) { n += t.size(); }, [] {});
        return n;
    }();

    struct Fixed {
        std::array<char, kSize> chars{};
        std::array<std::size_t, kValues + 1> slot{};  // where value i goes; the last: the end
    };
    static constexpr Fixed kFixed = [] {
        Fixed t{};
        std::size_t n = 0, slots = 0;
        lay_out([&](std::string_view s) { for (const char c : s) t.chars[n++] = c; }, [&] { t.slot[slots++] = n; });
        if (slots != kValues) throw "a value without its slot";
        t.slot[kValues] = n;
        return t;
    }();

    static constexpr std::string_view piece(std::size_t i) {
        const std::size_t from = i == 0 ? 0 : kFixed.slot[i - 1];
        const std::size_t to = i == kValues ? kSize : kFixed.slot[i];
        return {kFixed.chars.data() + from, to - from};
    }
    // The pieces [from, to) together.
    static constexpr std::size_t pieces_size(std::size_t from, std::size_t to) {
        std::size_t n = 0;
        for (std::size_t i = from; i < to; ++i) n += piece(i).size();
        return n;
    }
};

// Writes the span [From, To) of record R from a holder H. In the fast form (`Fast`) every text whose
// written size the holder knows is copied whole (the caller found them all plain); otherwise texts
// are escaped by write_string. Values of bounded size and the pieces between them go in runs, each
// into room made once.
template <const auto& R, bool Fast, class H, std::size_t From, std::size_t To>
struct Writer {
    static constexpr std::uint64_t kCopied = Fast ? copied_texts<R, H, From, To>() : 0;
    using L = Layout<R, kCopied>;
    static constexpr std::size_t N = L::kValues;
    static_assert(From <= To && To <= N);

    template <std::size_t I>
    static constexpr bool bounded() {
        constexpr FieldKind k = ReaderAt<R, I>::kind;
        if constexpr (k == FieldKind::Text) {
            return ((kCopied >> I) & 1) != 0;
        } else {
            return k == FieldKind::Plain || k == FieldKind::UInt || k == FieldKind::Raw;
        }
    }
    // The first value from I on that is not bounded; To if there is none.
    template <std::size_t I>
    static constexpr std::size_t run_end() {
        if constexpr (I == To) {
            return To;
        } else if constexpr (!bounded<I>()) {
            return I;
        } else {
            return run_end<I + 1>();
        }
    }
    // The span holds the pieces before its values, and the last piece if it ends the record.
    static constexpr bool has_piece(std::size_t i) { return i < To || i == N; }

    template <std::size_t I>
    static std::size_t room(const H& held) {
        if constexpr (ReaderAt<R, I>::kind == FieldKind::UInt) {
            return RawWriter::kMaxUintDigits;
        } else if constexpr (ReaderAt<R, I>::kind == FieldKind::Text) {
            return read<R, I>(held).written;
        } else {
            return view_of(read<R, I>(held)).size();
        }
    }
    template <std::size_t I>
    static void put(RawWriter& w, const H& held) {
        if constexpr (ReaderAt<R, I>::kind == FieldKind::UInt) {
            w.put_uint(read<R, I>(held));
        } else {
            w.put(view_of(read<R, I>(held)));
        }
    }
    template <std::size_t I>
    static void put_piece(RawWriter& w) {
        constexpr std::string_view kPiece = L::piece(I);
        w.put(kPiece);
    }
    template <std::size_t I>
    static void put_value_and_piece(RawWriter& w, const H& held) {
        put<I>(w, held);
        if constexpr (has_piece(I + 1)) put_piece<I + 1>(w);
    }
    // Values [S, E), each with the piece after it that the span holds.
    template <std::size_t S, std::size_t... K>
    static void put_run(RawWriter& w, const H& held, std::index_sequence<K...>) {
        (put_value_and_piece<S + K>(w, held), ...);
    }
    template <std::size_t S, std::size_t... K>
    static std::size_t run_room(const H& held, std::index_sequence<K...>) {
        return (std::size_t{0} + ... + room<S + K>(held));
    }

    template <std::size_t I>
    static void append_open(const H& held, std::string& out) {
        using Rd = ReaderAt<R, I>;
        const auto& value = read<R, I>(held);
        if constexpr (Rd::kind == FieldKind::Text) {
            write_string(view_of(value), out);
        } else if constexpr (Rd::kind == FieldKind::Tree) {
            write(value, out);
        } else if constexpr (Rd::kind == FieldKind::Texts) {
            write_list('[', value, ']', out, [&](const auto& text) { write_string(text, out); });
        } else {
            static_assert(Rd::kind == FieldKind::Keyed);
            write_list('{', value, '}', out, [&](const auto& item) {
                write_string(item.first, out);
                out.push_back(':');
                write_record<Rd::record>(item.second, out);
            });
        }
    }
    // `open`, the items with commas between them, `close`.
    template <class Items, class WriteItem>
    static void write_list(char open, const Items& items, char close, std::string& out, WriteItem&& write_item) {
        out.push_back(open);
        bool first = true;
        for (const auto& item : items) {
            if (!first) out.push_back(',');
            first = false;
            write_item(item);
        }
        out.push_back(close);
    }

    // Piece S and what follows it: a run of bounded values with the pieces after them, into one
    // room; then the value that ends the run, written on its own; then the rest.
    template <std::size_t S>
    static void from(const H& held, std::string& out) {
        if constexpr (has_piece(S)) {
            constexpr std::size_t E = run_end<S>();
            if constexpr (E == S) {
                constexpr std::string_view kPiece = L::piece(S);
                out.append(kPiece);
            } else {
                constexpr auto run = std::make_index_sequence<E - S>();
                constexpr std::size_t kPieces = L::pieces_size(S, has_piece(E) ? E + 1 : E);
                write_sized(kPieces + run_room<S>(held, run), out, [&](RawWriter& w) {
                    put_piece<S>(w);
                    put_run<S>(w, held, run);
                });
            }
            if constexpr (E < To) {
                append_open<E>(held, out);
                from<E + 1>(held, out);
            }
        }
    }

    // What the span takes when none of its texts needs escaping (trees and lists counted empty):
    // room made once for a span whose open values would otherwise grow the text piece by piece.
    static std::size_t least(const H& held) {
        return [&]<std::size_t... K>(std::index_sequence<K...>) {
            const auto size = [&]<std::size_t I>(std::integral_constant<std::size_t, I>) -> std::size_t {
                if constexpr (bounded<I>()) {
                    return room<I>(held);
                } else if constexpr (ReaderAt<R, I>::kind == FieldKind::Text) {
                    return view_of(read<R, I>(held)).size() + 2;
                } else {
                    return 0;
                }
            };
            return L::pieces_size(From, To == N ? N + 1 : To) +
                   (std::size_t{0} + ... + size(std::integral_constant<std::size_t, From + K>()));
        }(std::make_index_sequence<To - From>());
    }
    static constexpr bool kAllBounded = run_end<From>() == To;

    // Whether the texts that can be copied whole are all plain.
    static bool copies_plain(const H& held) {
        return [&]<std::size_t... K>(std::index_sequence<K...>) {
            const auto plain = [&]<std::size_t I>(std::integral_constant<std::size_t, I>) {
                if constexpr (((kCopied >> I) & 1) != 0) {
                    return read<R, I>(held).plain();
                } else {
                    return true;
                }
            };
            return (true && ... && plain(std::integral_constant<std::size_t, From + K>()));
        }(std::make_index_sequence<To - From>());
    }
};

template <const auto& R, std::size_t I, class H>
std::size_t exact_size(const H& held) {
    constexpr FieldKind k = ReaderAt<R, I>::kind;
    if constexpr (k == FieldKind::UInt) {
        return static_cast<std::size_t>(digits::count(read<R, I>(held)));
    } else if constexpr (k == FieldKind::Text) {
        static_assert(kSizedText<R, I, H>, "the size of a text is known only to a holder that keeps it");
        return read<R, I>(held).written;
    } else {
        static_assert(k == FieldKind::Plain || k == FieldKind::Raw, "a record of unbounded size");
        return view_of(read<R, I>(held)).size();
    }
}

template <const auto& R, std::size_t I, class H>
std::size_t most_size(const H& held) {
    constexpr FieldKind k = ReaderAt<R, I>::kind;
    if constexpr (k == FieldKind::UInt) {
        return RawWriter::kMaxUintDigits;
    } else if constexpr (k == FieldKind::Plain) {
        return std::get<I>(R.readers).most;
    } else {
        return exact_size<R, I>(held);
    }
}

}  // namespace record_detail

// ---- writing --------------------------------------------------------------------------------

template <const auto& R, std::size_t From, std::size_t To, class H>
void write_record(const H& held, std::string& out) {
    using Fast = record_detail::Writer<R, true, H, From, To>;
    using Slow = record_detail::Writer<R, false, H, From, To>;
    if constexpr (Fast::kCopied != 0) {
        if (!Fast::copies_plain(held)) {
            out.reserve(out.size() + Slow::least(held));
            Slow::template from<From>(held, out);
            return;
        }
    }
    if constexpr (!Fast::kAllBounded) {
        if (const std::size_t least = Fast::least(held); out.capacity() - out.size() < least) {
            out.reserve(out.size() + least);
        }
    }
    Fast::template from<From>(held, out);
}

// Appends `head`, the values [From, To) read from `held` with their pieces, and `tail`, all into
// room made once: for a record whose leading and trailing fields were written beforehand, once
// (write_record<R, 0, From> and write_record<R, To>). Every value in the span is of bounded size.
template <const auto& R, std::size_t From, std::size_t To, class H>
void write_record_between(std::string_view head, const H& held, std::string_view tail, std::string& out) {
    static_assert(To < kValueCount<R>, "the tail holds the record's end");
    using W = record_detail::Writer<R, true, H, From, To>;
    static_assert(W::template run_end<From>() == To, "a value of unbounded size");
    constexpr auto span = std::make_index_sequence<To - From>();
    constexpr std::size_t kPieces = W::L::pieces_size(From, To);
    write_sized(head.size() + kPieces + W::template run_room<From>(held, span) + tail.size(), out, [&](RawWriter& w) {
        w.put(head);
        W::template put_piece<From>(w);
        W::template put_run<From>(w, held, span);
        w.put(tail);
    });
}

// ---- sizes ----------------------------------------------------------------------------------

namespace record_detail {

// The record's fixed text and each value's exact size (`Most`: the most it can take).
template <const auto& R, bool Most, class H>
std::size_t total_size(const H& held) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return Layout<R, copied_texts<R, H, 0, kValueCount<R>>()>::kSize +
               (std::size_t{0} + ... + (Most ? most_size<R, I>(held) : exact_size<R, I>(held)));
    }(std::make_index_sequence<kValueCount<R>>());
}

}  // namespace record_detail

// The size of the record's text (every text's written size known to its holder).
template <const auto& R, class H>
std::size_t record_size(const H& held) {
    return record_detail::total_size<R, false>(held);
}

// The most the record's text can take while `held` keeps its texts, and the most its writer asks
// room for: plain texts at their declared most, integers at their most digits.
template <const auto& R, class H>
std::size_t record_most(const H& held) {
    return record_detail::total_size<R, true>(held);
}

// How much more room than record_size() the writer may ask for: the digits an integer may leave
// unused. A list of records written one after another into room of the sum of their sizes and this
// is written without the room ever being made again.
template <const auto& R>
inline constexpr std::size_t kRecordSlack = [] {
    std::size_t n = 0;
    for (const FieldInfo& f : R.info) n += f.kind == FieldKind::UInt ? RawWriter::kMaxUintDigits : 0;
    return n;
}();

}  // namespace korvo::json
