// The solved deployment plan: decoded once at construction, handed back as JSON.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "json/value.h"
#include "json/record.h"

namespace korvo {

struct BackendSpec {
    std::string backend_type;
    json::Value config;  // null when absent
    friend bool operator==(const BackendSpec&, const BackendSpec&) = default;
};

struct Plan {
    std::string app_name;
    // Backend name -> spec; names unique (a repeated name replaces the earlier spec in place).
    std::vector<std::pair<std::string, BackendSpec>> backends;
    std::vector<std::string> functions;
    std::vector<std::string> agents;

    // An empty plan carrying the given application name.
    static Plan named(std::string app_name) {
        Plan p;
        p.app_name = std::move(app_name);
        return p;
    }

    // Decodes plan JSON (object or array form); the only error is SerializationError.
    static Result<Plan> from_json(std::string_view text);

    // Compact JSON: app_name, backends, functions, agents in that order.
    void write_json(std::string& out) const;

    friend bool operator==(const Plan&, const Plan&) = default;
};

// The plan's records, field by field, in the order they are written. A reader finds the fields
// by these names: json::field_names<kPlanRecord>() lists them.
inline constexpr auto kBackendSpecRecord =
    json::record(json::text("backend_type", &BackendSpec::backend_type), json::tree("config", &BackendSpec::config));
inline constexpr auto kPlanRecord =
    json::record(json::text("app_name", &Plan::app_name), json::keyed<kBackendSpecRecord>("backends", &Plan::backends),
                 json::texts("functions", &Plan::functions), json::texts("agents", &Plan::agents));

}  // namespace korvo
