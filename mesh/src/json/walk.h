// The one walk over a JSON value: arrays, objects, scalars, in a dialect (dialect.h), with its
// output left to a sink. The sinks are: a value tree (read.cpp), canonical text
// (canonical.cpp), nothing (walk.h, for checking only) and the plan's records (plan.cpp).
//
// A sink provides, for a slot `s` of its own type (where one value goes):
//   null(s), boolean(s, b)
//   number(cursor, s, text)           -> bool (may fail: a number out of range)
//   string(cursor, s)                 -> bool (reads the body after the opening quote)
//   begin_array(s) -> A; element(A&) -> slot; end_array(A&)
//   begin_object(s) -> O; key(cursor, O&) -> bool (the body after the opening quote);
//   member(O&) -> slot (its value goes there); end_member(O&); end_object(O&)
// The walk calls them in reading order and stops at the first failure, which the cursor keeps.
//
// A reader of records may also provide, each checked only where it is defined:
//   refused() -> bool          after each step that returns nothing (null, boolean, the
//                              beginnings and ends): the sink refused what it was given, a
//                              failure of its own that it keeps (the cursor has none); steps
//                              that return a bool refuse by returning false
//   claims(s) -> bool; read_claimed(cursor, s) -> bool
//                              the value for this slot is read by the sink itself, by a walk
//                              of its own (another sink, maybe another dialect)
//   full(A&) -> bool           after an element: the sequence holds all it may, so only its
//                              closing bracket may follow (Cursor::after_last)
#pragma once

#include <concepts>

#include "json/cursor.h"

namespace korvo::json {

template <class Sink>
concept RefusingSink = requires(const Sink& s) {
    { s.refused() } -> std::same_as<bool>;
};
template <class Sink>
concept ClaimingSink = requires(Sink& s, Cursor& c, typename Sink::Slot slot) {
    { s.claims(slot) } -> std::same_as<bool>;
    { s.read_claimed(c, slot) } -> std::same_as<bool>;
};
template <class Sink, class Array>
concept BoundedSink = requires(Sink& s, Array& a) {
    { s.full(a) } -> std::same_as<bool>;
};

template <Dialect D, class Sink>
class Walk {
public:
    using Slot = typename Sink::Slot;

    Walk(Cursor& cursor, Sink& sink) noexcept : c_(cursor), sink_(sink) {}

    // Any value, white space before it skipped.
    bool value(Slot slot) {
        if constexpr (ClaimingSink<Sink>) {
            if (sink_.claims(slot)) return sink_.read_claimed(c_, slot);
        }
        switch (c_.peek_nonspace()) {
            case -1: return c_.fail_next(Failure::EofValue);
            case 'n':
                c_.eat();
                if (!c_.ident("ull")) return false;
                sink_.null(slot);
                return going();
            case 't':
                c_.eat();
                if (!c_.ident("rue")) return false;
                sink_.boolean(slot, true);
                return going();
            case 'f':
                c_.eat();
                if (!c_.ident("alse")) return false;
                sink_.boolean(slot, false);
                return going();
            case '-': c_.eat(); return number(true, slot);
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                return number(false, slot);
            case '"': c_.eat(); return sink_.string(c_, slot);
            case '[':
                if (!c_.enter()) return false;
                c_.eat();
                return array(slot);
            case '{':
                if (!c_.enter()) return false;
                c_.eat();
                return object(slot);
            default: return c_.fail_next(Failure::ExpectedValue);
        }
    }

private:
    // False once a refusing sink has refused; always true for the others.
    bool going() const noexcept {
        if constexpr (RefusingSink<Sink>) {
            return !sink_.refused();
        } else {
            return true;
        }
    }

    bool number(bool negative, Slot slot) {
        NumberText n;
        return c_.template scan_number<D>(negative, n) && sink_.number(c_, slot, n);
    }

    // The opening bracket is consumed and the level entered.
    bool array(Slot slot) {
        auto a = sink_.begin_array(slot);
        if (!going()) return false;
        const int c = c_.peek_nonspace();
        if (c == ']') {
            c_.eat();
            c_.leave();
            sink_.end_array(a);
            return going();
        }
        if (c == -1) return c_.fail_next(Failure::EofList);
        for (;;) {
            if (!value(sink_.element(a))) return false;
            if constexpr (BoundedSink<Sink, decltype(a)>) {
                if (sink_.full(a)) {
                    if (!c_.after_last()) return false;
                    break;
                }
            }
            const Cursor::Step step = c_.template after_item<D>(']');
            if (step == Cursor::Step::Failed) return false;
            if (step == Cursor::Step::Close) break;
        }
        c_.leave();
        sink_.end_array(a);
        return going();
    }

    // The opening brace is consumed and the level entered.
    bool object(Slot slot) {
        auto o = sink_.begin_object(slot);
        if (!going()) return false;
        int c = c_.peek_nonspace();
        if (c == '}') {
            c_.eat();
        } else {
            for (;;) {
                if (c == -1) return c_.fail_next(Failure::EofObject);
                if (c != '"') return c_.fail_next(Failure::KeyMustBeString);
                c_.eat();
                if (!sink_.key(c_, o) || !c_.colon() || !value(sink_.member(o))) return false;
                sink_.end_member(o);
                const Cursor::Step step = c_.template after_item<D>('}');
                if (step == Cursor::Step::Failed) return false;
                if (step == Cursor::Step::Close) break;
                c = c_.peek();
            }
        }
        c_.leave();
        sink_.end_object(o);
        return going();
    }

    Cursor& c_;
    Sink& sink_;
};

// The sink that keeps nothing: the walk only checks the text.
template <Dialect D>
struct CheckOnly {
    struct Slot {};
    struct Ignore {
        void run(const char*, const char*) noexcept {}
        void escape(char) noexcept {}
        void code_point(unsigned) noexcept {}
    };

    void null(Slot) noexcept {}
    void boolean(Slot, bool) noexcept {}
    bool number(Cursor& c, Slot, const NumberText& n) noexcept {
        if constexpr (D.checks_number_range) {
            return c.number_in_range(n);
        } else {
            return true;
        }
    }
    bool string(Cursor& c, Slot) {
        Ignore ignore;
        return c.string_body<D>(ignore);
    }
    Slot begin_array(Slot) noexcept { return {}; }
    Slot element(Slot) noexcept { return {}; }
    void end_array(Slot) noexcept {}
    Slot begin_object(Slot) noexcept { return {}; }
    bool key(Cursor& c, Slot) { return string(c, {}); }
    Slot member(Slot) noexcept { return {}; }
    void end_member(Slot) noexcept {}
    void end_object(Slot) noexcept {}
};

// Checks one value (white space before it skipped) by the dialect's rules, keeping nothing.
template <Dialect D>
bool check_value(Cursor& c) {
    CheckOnly<D> sink;
    return Walk<D, CheckOnly<D>>(c, sink).value({});
}

}  // namespace korvo::json
