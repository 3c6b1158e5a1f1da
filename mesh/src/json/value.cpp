#include "json/value.h"

namespace korvo::json {

void finish_object(Object& members) {
    const auto kept = sort_keep_last(members.begin(), members.end(), [](const Member& m) -> const std::string& {
        return m.name;
    });
    members.erase(kept, members.end());
}

Value Value::object(Object members) {
    finish_object(members);
    return Value(Sorted{}, std::move(members));
}

const Value* Value::find(std::string_view name) const {
    const auto* members = std::get_if<Object>(&v_);
    if (members == nullptr) return nullptr;
    auto it = std::lower_bound(members->begin(), members->end(), name,
                               [](const Member& m, std::string_view n) { return std::string_view(m.name) < n; });
    if (it == members->end() || it->name != name) return nullptr;
    return &it->value;
}

bool operator==(const Value& a, const Value& b) { return a.v_ == b.v_; }

}  // namespace korvo::json
