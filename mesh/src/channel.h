// Topics: one ring per topic name, created on first publish.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/error.h"
#include "json/value.h"

namespace korvo {

struct Message {
    std::string topic;
    json::Value payload;
    std::string timestamp;
};

// A topic's ring: room for its newest kCapacity messages, kept for the topic's receivers. Nothing
// in this process subscribes, so a send finds no receiver: it keeps nothing and hands its message
// back, and publish reports that no receiver was reached.
class TopicRing {
public:
    static constexpr std::size_t kCapacity = 1024;

    std::expected<std::size_t, Message> send(Message message) const { return std::unexpected(std::move(message)); }
};

class MeshChannel {
public:
    // `fault_hook`, when set, runs while the topic map is locked (tests use it to throw).
    explicit MeshChannel(std::shared_ptr<const Clock> clock = system_clock(), std::function<void()> fault_hook = {});

    // Number of receivers that took the message.
    Result<std::size_t> publish(std::string_view topic, json::Value payload) const;
    std::size_t topic_count() const noexcept;
    bool poisoned() const noexcept;

private:
    struct Core;
    std::shared_ptr<Core> core_;
};

}  // namespace korvo
