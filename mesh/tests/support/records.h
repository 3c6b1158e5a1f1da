// Reading back, in tests, the JSON records the components write.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/read.h"
#include "json/write.h"

namespace korvo::test {

// The value a record's text reads to; null when it does not read.
inline json::Value parsed(std::string_view text) {
    auto v = json::read(text);
    if (!v) return json::Value();
    return std::move(*v);
}

// A member that must be a whole number; UINT64_MAX when it is not.
inline std::uint64_t uint_at(const json::Value& v, std::string_view name) {
    const json::Value* m = v.find(name);
    return m && m->type() == json::Value::Type::UInt ? m->as_uint() : UINT64_MAX;
}

// A member that must be a string; "<absent>" when it is not.
inline std::string text_at(const json::Value& v, std::string_view name) {
    const json::Value* m = v.find(name);
    return m && m->type() == json::Value::Type::String ? m->as_string() : "<absent>";
}

// The elements of a JSON array text, each written back compact, in sorted order (listings come in
// no particular order); a text that is no array gives itself, unsorted, as the one element.
inline std::vector<std::string> sorted_items(std::string_view array_text) {
    const json::Value v = parsed(array_text);
    if (v.type() != json::Value::Type::Array) return {std::string(array_text)};
    std::vector<std::string> items;
    for (const json::Value& item : v.as_array()) items.push_back(json::to_text(item));
    std::sort(items.begin(), items.end());
    return items;
}

}  // namespace korvo::test
