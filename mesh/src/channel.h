// Topics: one broadcast sender per topic name, created on first publish.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "clock.h"
#include "error.h"
#include "json_text.h"

namespace korvo {

struct Message {
    std::string topic;
    json::Value payload;
    std::string timestamp;
};

class MeshChannel {
public:
    // `fault_hook`, when set, runs while the topic map is locked (tests use it to throw).
    explicit MeshChannel(std::shared_ptr<const Clock> clock = system_clock(), std::function<void()> fault_hook = {});

    // Number of live receivers that took the message.
    Result<std::size_t> publish(std::string_view topic, json::Value payload) const;
    std::size_t topic_count() const noexcept;
    bool poisoned() const noexcept;

private:
    struct Core;
    std::shared_ptr<Core> core_;
};

}  // namespace korvo
