// Plan decoding (object and array forms) and its compact JSON form.
#include "plan.h"

#include <array>
#include <unordered_map>

#include "base/text_quote.h"
#include "base/utf8.h"
#include "json/read.h"
#include "json/walk.h"
#include "json/write.h"

namespace korvo {
namespace {

using json::Cursor;
using json::Failure;

// Unicode White_Space, the characters trimmed from both ends of a plan text.
bool is_unicode_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

std::string_view trim_unicode_space(std::string_view text) noexcept {
    while (!text.empty()) {
        std::size_t next = 0;
        if (!is_unicode_space(utf8::decode(text, next))) break;
        text.remove_prefix(next);
    }
    while (!text.empty()) {
        // The last character starts at most three continuation bytes before the end.
        std::size_t start = text.size() - 1;
        while (start > 0 && text.size() - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        std::size_t next = start;
        const char32_t cp = utf8::decode(text, next);
        if (next != text.size() || !is_unicode_space(cp)) break;
        text.remove_suffix(text.size() - start);
    }
    return text;
}

enum class Next { Item, End, Failed };

// Reads plan JSON straight into the records. Syntax failures are positioned by the reader as
// they happen; record-level failures (a missing, repeated or ill-typed field, a short array)
// are positioned where the record's own reading stops: after the value met for an ill-typed
// field, and after the record's closing bracket (when it comes next) for the others.
class PlanDecoder {
public:
    explicit PlanDecoder(std::string_view text) noexcept : r_(text) {}

    bool decode(Plan& plan) { return read_plan(plan) && r_.finish(); }
    MeshError error() const { return r_.error().to_mesh_error(); }

private:
    static constexpr std::array<std::string_view, 4> kPlanFields = {"app_name", "backends", "functions", "agents"};
    static constexpr std::array<std::string_view, 2> kSpecFields = {"backend_type", "config"};

    // A record-level failure whose position is settled by the enclosing record.
    bool defer(std::string description) {
        pending_ = std::move(description);
        return false;
    }

    // After a record's visitor failed: a deferred failure takes the position reached once the
    // record's closing bracket, if it is next, has been consumed.
    bool settle(char closer) {
        if (r_.failed()) return false;
        const int c = r_.peek_nonspace();
        if (c == closer) {
            r_.eat();
        } else if (closer == ']' && c == ',') {
            r_.eat();
            r_.peek_nonspace();
        }
        return r_.fail(std::move(pending_), r_.offset());
    }

    Next next_element(bool& first) {
        int c = r_.peek_nonspace();
        if (c == -1) return r_.fail_next(Failure::EofList), Next::Failed;
        if (c == ']') return Next::End;
        if (first) {
            first = false;
            return Next::Item;
        }
        if (c != ',') return r_.fail_next(Failure::ExpectedCommaOrBracket), Next::Failed;
        r_.eat();
        c = r_.peek_nonspace();
        if (c == ']') return r_.fail_next(Failure::TrailingComma), Next::Failed;
        if (c == -1) return r_.fail_next(Failure::EofValue), Next::Failed;
        return Next::Item;
    }

    Next next_key(bool& first, std::string& key) {
        int c = r_.peek_nonspace();
        if (c == '}') return Next::End;
        if (c == ',' && !first) {
            r_.eat();
            c = r_.peek_nonspace();
        } else if (c == -1) {
            return r_.fail_next(Failure::EofObject), Next::Failed;
        } else if (first) {
            first = false;
        } else {
            return r_.fail_next(Failure::ExpectedCommaOrBrace), Next::Failed;
        }
        if (c == '"') {
            r_.eat();
            key.clear();
            return json::read_string_body(r_, key) ? Next::Item : Next::Failed;
        }
        if (c == '}') return r_.fail_next(Failure::TrailingComma), Next::Failed;
        if (c == -1) return r_.fail_next(Failure::EofValue), Next::Failed;
        return r_.fail_next(Failure::KeyMustBeString), Next::Failed;
    }

    // After the last element a sequence reads: only its closing bracket may follow.
    bool end_seq() {
        switch (r_.peek_nonspace()) {
            case ']': r_.eat(); return true;
            case ',':
                r_.eat();
                return r_.fail_next(r_.peek_nonspace() == ']' ? Failure::TrailingComma : Failure::TrailingCharacters);
            case -1: return r_.fail_next(Failure::EofList);
            default: return r_.fail_next(Failure::TrailingCharacters);
        }
    }

    bool end_map() {
        switch (r_.peek_nonspace()) {
            case '}': r_.eat(); return true;
            case ',': return r_.fail_next(Failure::TrailingComma);
            case -1: return r_.fail_next(Failure::EofObject);
            default: return r_.fail_next(Failure::TrailingCharacters);
        }
    }

    // The value met where another kind was expected: consumed when it is a scalar, then named.
    bool invalid_type(std::string_view expected) {
        std::string found;
        const int c = r_.peek();
        if (c == '[' || c == '{') {
            found = c == '[' ? "sequence" : "map";
        } else {
            json::Value met;
            if (!json::read_value(r_, met)) return false;
            found = describe(met);
        }
        std::string description = "invalid type: ";
        description += found;
        description += ", expected ";
        description += expected;
        return r_.fail(std::move(description), r_.offset());
    }

    // A record in object or array form.
    template <class MapVisitor, class SeqVisitor>
    bool read_record(std::string_view expected, MapVisitor&& visit_map, SeqVisitor&& visit_seq) {
        const int c = r_.peek_nonspace();
        if (c == -1) return r_.fail_next(Failure::EofValue);
        if (c != '[' && c != '{') return invalid_type(expected);
        if (!r_.enter()) return false;
        r_.eat();
        if (c == '[') {
            if (!visit_seq()) return settle(']');
            if (!end_seq()) return false;
        } else {
            if (!visit_map()) return settle('}');
            if (!end_map()) return false;
        }
        r_.leave();
        return true;
    }

    // The opening bracket of a container a field holds; any other value is named as found.
    bool open(char bracket, std::string_view expected) {
        const int c = r_.peek_nonspace();
        if (c == -1) return r_.fail_next(Failure::EofValue);
        if (c != bracket) return invalid_type(expected);
        if (!r_.enter()) return false;
        r_.eat();
        return true;
    }

    bool read_text(std::string& out) {
        const int c = r_.peek_nonspace();
        if (c == -1) return r_.fail_next(Failure::EofValue);
        if (c != '"') return invalid_type("a string");
        r_.eat();
        out.clear();
        return json::read_string_body(r_, out);
    }

    bool read_texts(std::vector<std::string>& out) {
        if (!open('[', "a sequence")) return false;
        out.clear();
        bool first = true;
        for (;;) {
            const Next n = next_element(first);
            if (n == Next::Failed) return false;
            if (n == Next::End) break;
            if (!read_text(out.emplace_back())) return false;
        }
        if (!end_seq()) return false;
        r_.leave();
        return true;
    }

    bool read_backends(std::vector<std::pair<std::string, BackendSpec>>& out) {
        if (!open('{', "a map")) return false;
        out.clear();
        std::unordered_map<std::string, std::size_t> index;
        bool first = true;
        std::string name;
        for (;;) {
            const Next n = next_key(first, name);
            if (n == Next::Failed) return false;
            if (n == Next::End) break;
            BackendSpec spec;
            if (!r_.colon() || !read_spec(spec)) return false;
            // A repeated name keeps the last spec, in the place of the first.
            auto [it, inserted] = index.try_emplace(name, out.size());
            if (inserted) {
                out.emplace_back(name, std::move(spec));
            } else {
                out[it->second].second = std::move(spec);
            }
        }
        if (!end_map()) return false;
        r_.leave();
        return true;
    }

    static std::string describe(const json::Value& v) {
        std::string text;
        switch (v.type()) {
            case json::Value::Type::Null: return "null";
            case json::Value::Type::Bool: return v.as_bool() ? "boolean `true`" : "boolean `false`";
            case json::Value::Type::String:
                text = "string ";
                append_quoted(v.as_string(), text);
                return text;
            case json::Value::Type::Float: text = "floating point `"; break;
            default: text = "integer `"; break;  // arrays and objects are named before they are read
        }
        json::write(v, text);
        return text + '`';
    }

    static std::string duplicate(std::string_view field) {
        std::string d = "duplicate field `";
        d += field;
        d += '`';
        return d;
    }

    // The members of a record in object form: known fields once each (read by `read_field`
    // after their colon), unknown ones checked and skipped; the first field is required.
    template <std::size_t N, class ReadField>
    bool visit_fields(const std::array<std::string_view, N>& names, ReadField&& read_field) {
        std::array<bool, N> seen{};
        bool first = true;
        for (;;) {
            const Next n = next_key(first, key_);
            if (n == Next::Failed) return false;
            if (n == Next::End) break;
            int field = -1;
            for (std::size_t i = 0; i < N; ++i) {
                if (key_ == names[i]) field = static_cast<int>(i);
            }
            if (field < 0) {
                if (!r_.colon() || !json::check_value<json::kLenientSkip>(r_)) return false;
                continue;
            }
            if (seen[static_cast<std::size_t>(field)]) return defer(duplicate(names[static_cast<std::size_t>(field)]));
            seen[static_cast<std::size_t>(field)] = true;
            if (!r_.colon() || !read_field(field)) return false;
        }
        if (!seen[0]) return defer("missing field `" + std::string(names[0]) + "`");
        return true;
    }

    bool read_spec(BackendSpec& spec) {
        auto visit_map = [&] {
            return visit_fields(kSpecFields, [&](int field) {
                return field == 0 ? read_text(spec.backend_type) : json::read_value(r_, spec.config);
            });
        };
        auto visit_seq = [&] {
            bool first = true;
            Next n = next_element(first);
            if (n == Next::Failed) return false;
            if (n == Next::End) return defer("invalid length 0, expected struct BackendSpec with 2 elements");
            if (!read_text(spec.backend_type)) return false;
            n = next_element(first);
            if (n == Next::Failed) return false;
            if (n == Next::Item && !json::read_value(r_, spec.config)) return false;
            return true;
        };
        return read_record("struct BackendSpec", visit_map, visit_seq);
    }

    bool read_plan_field(Plan& plan, int field) {
        switch (field) {
            case 0: return read_text(plan.app_name);
            case 1: return read_backends(plan.backends);
            case 2: return read_texts(plan.functions);
            default: return read_texts(plan.agents);
        }
    }

    bool read_plan(Plan& plan) {
        auto visit_map = [&] { return visit_fields(kPlanFields, [&](int field) { return read_plan_field(plan, field); }); };
        auto visit_seq = [&] {
            bool first = true;
            for (int field = 0; field < 4; ++field) {
                const Next n = next_element(first);
                if (n == Next::Failed) return false;
                if (n == Next::End) {
                    if (field == 0) return defer("invalid length 0, expected struct Plan with 4 elements");
                    break;
                }
                if (!read_plan_field(plan, field)) return false;
            }
            return true;
        };
        return read_record("struct Plan", visit_map, visit_seq);
    }

    Cursor r_;
    std::string pending_;
    std::string key_;
};

}  // namespace

Result<Plan> Plan::from_json(std::string_view text) {
    text = trim_unicode_space(text);
    Plan plan;
    if (text.empty() || text == "{}") return plan;
    PlanDecoder decoder(text);
    if (!decoder.decode(plan)) return fail(decoder.error());
    return plan;
}

void Plan::write_json(std::string& out) const { json::write_record<kPlanRecord>(*this, out); }

}  // namespace korvo
