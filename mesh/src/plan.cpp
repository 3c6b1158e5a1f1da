// Plan decoding (object and array forms) and its compact JSON form.
#include "plan.h"

#include <array>
#include <unordered_map>
#include <span>
#include <variant>

#include "base/digits.h"

#include "base/text_quote.h"
#include "base/utf8.h"
#include "json/read.h"
#include "json/walk.h"
#include "json/write.h"

namespace korvo {
namespace {

using json::Cursor;

// Unicode White_Space, the characters trimmed from both ends of a plan text.
bool is_unicode_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

std::string_view trim_unicode_space(std::string_view text) noexcept {
    using utf8::Policy;
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = begin + text.size();
    while (begin != end) {
        const auto* next = begin;
        if (!is_unicode_space(utf8::decode<Policy::Show>(next, end))) break;
        begin = next;
    }
    while (begin != end) {
        // The last character starts at most three continuation bytes before the end.
        const auto* start = end - 1;
        while (start != begin && end - start < 4 && (*start & 0xC0) == 0x80) --start;
        const auto* next = start;
        const char32_t cp = utf8::decode<Policy::Show>(next, end);
        if (next != end || !is_unicode_space(cp)) break;
        end = start;
    }
    return {reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin)};
}

// The records' fields by name, in their order (plan.h declares them).
constexpr auto kPlanFields = json::field_names<kPlanRecord>();
constexpr auto kSpecFields = json::field_names<kBackendSpecRecord>();

using Backends = std::vector<std::pair<std::string, BackendSpec>>;
using Texts = std::vector<std::string>;
// A member the plan does not know: its value is checked by the lenient rules and dropped.
struct Unknown {};

// Reads plan JSON straight into the records, as a sink of the one walk (json/walk.h), which
// owns the grammar, its separators and their failures. What this sink adds are the records'
// own refusals, in the words and at the places a record reader gives them: a value of the wrong
// kind is named after it has been read (a sequence or a map at its opening bracket); a missing,
// repeated or surplus field, or an empty sequence, where the record's reading stops, which is
// after the record's closing bracket when that comes next.
class PlanReader {
public:
    // Where a value goes, and so what it must be.
    using Slot = std::variant<Plan*, BackendSpec*, Backends*, Texts*, std::string*, json::Value*, Unknown>;

    explicit PlanReader(Cursor& c) noexcept : c_(c) {}

    bool refused() const noexcept { return refused_; }
    json::ReadError error() const { return refused_ ? c_.error_at(refusal_, refusal_at_) : c_.error(); }

    // A plan member's config is any value, kept as a tree; an unknown member's is only checked.
    bool claims(const Slot& s) const noexcept {
        return std::holds_alternative<json::Value*>(s) || std::holds_alternative<Unknown>(s);
    }
    bool read_claimed(Cursor& c, const Slot& s) {
        if (const auto* v = std::get_if<json::Value*>(&s)) return json::read_value(c, **v);
        return json::check_value<json::kLenientSkip>(c);
    }

    // ---- scalars: a text where one is wanted, and otherwise what was found, named ----
    void null(const Slot& s) { wrong_type(s, "null"); }
    void boolean(const Slot& s, bool b) { wrong_type(s, b ? "boolean `true`" : "boolean `false`"); }
    bool number(Cursor& c, const Slot& s, const json::NumberText& n) {
        json::Number v;
        if (!c.number_value(n, v)) return false;
        std::string found = v.kind == json::Number::Kind::Float ? "floating point `" : "integer `";
        switch (v.kind) {
            case json::Number::Kind::UInt: json::write_uint(v.u, found); break;
            case json::Number::Kind::Int: json::write_int(v.i, found); break;
            case json::Number::Kind::Float: json::write_float(v.d, found); break;
        }
        found += '`';
        wrong_type(s, found);
        return false;
    }
    bool string(Cursor& c, const Slot& s) {
        if (auto* const* text = std::get_if<std::string*>(&s)) {
            (*text)->clear();
            return json::read_string_body(c, **text);
        }
        std::string met;
        if (!json::read_string_body(c, met)) return false;
        std::string found = "string ";
        append_quoted(met, found);
        wrong_type(s, found);
        return false;
    }

    // ---- sequences: the array form of the records, and lists of texts ----
    struct Seq {
        Slot of;
        std::size_t count = 0;
    };
    Seq begin_array(const Slot& s) {
        if (std::holds_alternative<Backends*>(s) || std::holds_alternative<std::string*>(s)) {
            refuse_at(c_.offset() - 1, invalid_type("sequence", s));
        } else if (auto* const* texts = std::get_if<Texts*>(&s)) {
            (*texts)->clear();
        }
        return Seq{s, 0};
    }
    Slot element(Seq& a) {
        const std::size_t i = a.count++;
        if (auto* const* plan = std::get_if<Plan*>(&a.of)) return plan_field(**plan, i);
        if (auto* const* spec = std::get_if<BackendSpec*>(&a.of)) return spec_field(**spec, i);
        return &std::get<Texts*>(a.of)->emplace_back();
    }
    bool full(const Seq& a) const noexcept {
        if (std::holds_alternative<Plan*>(a.of)) return a.count == kPlanFields.size();
        if (std::holds_alternative<BackendSpec*>(a.of)) return a.count == kSpecFields.size();
        return false;
    }
    void end_array(const Seq& a) {
        if (a.count != 0) return;
        if (std::holds_alternative<Plan*>(a.of)) refuse(invalid_length("struct Plan", kPlanFields.size()));
        if (std::holds_alternative<BackendSpec*>(a.of)) refuse(invalid_length("struct BackendSpec", kSpecFields.size()));
    }

    // ---- maps: the object form of the records, and the backends by name ----
    struct Map {
        Slot of;
        std::array<bool, kPlanFields.size()> seen{};
        std::size_t field = 0;
        std::string name;                                  // the backend being read: its name
        BackendSpec spec;                                  // and its spec
        std::unordered_map<std::string, std::size_t> at;   // backend name -> its place
    };
    Map begin_object(const Slot& s) {
        if (std::holds_alternative<Texts*>(s) || std::holds_alternative<std::string*>(s)) {
            refuse_at(c_.offset() - 1, invalid_type("map", s));
        } else if (auto* const* backends = std::get_if<Backends*>(&s)) {
            (*backends)->clear();
        }
        Map o;
        o.of = s;
        return o;
    }
    bool key(Cursor& c, Map& o) {
        key_.clear();
        if (!json::read_string_body(c, key_)) return false;
        if (std::holds_alternative<Backends*>(o.of)) {
            o.name = key_;
            return true;
        }
        const std::span<const std::string_view> names = field_names(o.of);
        o.field = names.size();
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (key_ == names[i]) o.field = i;
        }
        if (o.field == names.size()) return true;  // unknown: skipped
        if (o.seen[o.field]) {
            // Refused where the record stops: before its closing brace, when that is next.
            if (c.peek_nonspace() == '}') c.eat();
            refuse(std::string("duplicate field `").append(names[o.field]).append("`"));
            return false;
        }
        o.seen[o.field] = true;
        return true;
    }
    Slot member(Map& o) {
        if (std::holds_alternative<Backends*>(o.of)) {
            o.spec = BackendSpec{};
            return &o.spec;
        }
        if (o.field == field_names(o.of).size()) return Unknown{};
        if (auto* const* plan = std::get_if<Plan*>(&o.of)) return plan_field(**plan, o.field);
        return spec_field(*std::get<BackendSpec*>(o.of), o.field);
    }
    void end_member(Map& o) {
        auto* const* backends = std::get_if<Backends*>(&o.of);
        if (!backends) return;
        // A repeated name keeps the last spec, in the place of the first.
        Backends& list = **backends;
        const auto [it, inserted] = o.at.try_emplace(o.name, list.size());
        if (inserted) {
            list.emplace_back(std::move(o.name), std::move(o.spec));
        } else {
            list[it->second].second = std::move(o.spec);
        }
    }
    void end_object(const Map& o) {
        if (!std::holds_alternative<Plan*>(o.of) && !std::holds_alternative<BackendSpec*>(o.of)) return;
        if (!o.seen[0]) refuse(std::string("missing field `").append(field_names(o.of)[0]).append("`"));
    }

private:
    // Where the i-th field of each record goes: the order of kPlanRecord and kBackendSpecRecord.
    static_assert(kPlanFields.size() == 4 && kSpecFields.size() == 2);
    static Slot plan_field(Plan& plan, std::size_t i) {
        switch (i) {
            case 0: return &plan.app_name;
            case 1: return &plan.backends;
            case 2: return &plan.functions;
            default: return &plan.agents;
        }
    }
    static Slot spec_field(BackendSpec& spec, std::size_t i) {
        if (i == 0) return &spec.backend_type;
        return &spec.config;
    }
    static std::span<const std::string_view> field_names(const Slot& s) {
        if (std::holds_alternative<Plan*>(s)) return kPlanFields;
        return kSpecFields;
    }
    static std::string_view expected(const Slot& s) {
        switch (s.index()) {
            case 0: return "struct Plan";
            case 1: return "struct BackendSpec";
            case 2: return "a map";
            case 3: return "a sequence";
            default: return "a string";
        }
    }
    static std::string invalid_type(std::string_view found, const Slot& s) {
        return std::string("invalid type: ").append(found).append(", expected ").append(expected(s));
    }
    static std::string invalid_length(std::string_view record, std::size_t fields) {
        std::string text = "invalid length 0, expected ";
        text.append(record).append(" with ");
        digits::append(text, fields);
        return text.append(" elements");
    }

    // A scalar where another kind was wanted, named once it has been read.
    void wrong_type(const Slot& s, std::string_view found) { refuse(invalid_type(found, s)); }
    void refuse(std::string description) { refuse_at(c_.offset(), std::move(description)); }
    void refuse_at(std::size_t offset, std::string description) {
        refused_ = true;
        refusal_ = std::move(description);
        refusal_at_ = offset;
    }

    Cursor& c_;
    std::string key_;
    bool refused_ = false;
    std::string refusal_;
    std::size_t refusal_at_ = 0;
};

}  // namespace

Result<Plan> Plan::from_json(std::string_view text) {
    text = trim_unicode_space(text);
    Plan plan;
    if (text.empty() || text == "{}") return plan;
    Cursor c(text);
    PlanReader reader(c);
    if (!json::Walk<json::kStrict, PlanReader>(c, reader).value(&plan) || !c.finish()) {
        return fail(reader.error().to_mesh_error());
    }
    return plan;
}

void Plan::write_json(std::string& out) const { json::write_record<kPlanRecord>(*this, out); }

}  // namespace korvo
