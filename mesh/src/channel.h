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
#include "json/cursor.h"

namespace korvo {

struct LockWait;  // base/lock.h

// A message as publish sends it: its topic, its payload (checked JSON text) and when it was
// sent. A ring that kept messages for receivers would keep copies; with none, nothing outlives
// the call, so the message only refers to the caller's texts.
struct Message {
    std::string_view topic;
    std::string_view payload;
    TimestampText timestamp;
};

// A topic's ring: room for its newest kCapacity messages, kept for the topic's receivers. Nothing
// in this process subscribes, so a send finds no receiver: it keeps nothing and hands its message
// back, and publish reports that no receiver was reached.
class TopicRing {
public:
    static constexpr std::size_t kCapacity = 1024;

    std::expected<std::size_t, Message> send(const Message& message) const { return std::unexpected(message); }
};

class MeshChannel {
public:
    // `fault_hook`, when set, runs while the topic map is locked (tests use it to throw).
    // `wait`, when given, is what a call lets go of while it waits for the topic map's lock.
    explicit MeshChannel(std::shared_ptr<const Clock> clock = system_clock(), std::function<void()> fault_hook = {},
                         const LockWait* wait = nullptr);

    // Number of receivers that took the message. The payload must be one JSON document: it is
    // checked, building nothing, before anything else is done (a text from a str is
    // well-formed UTF-8 already: Source::Utf8).
    Result<std::size_t> publish(std::string_view topic, std::string_view payload_json,
                                json::Source source = json::Source::Bytes) const;
    std::size_t topic_count() const noexcept;
    bool poisoned() const noexcept;

private:
    struct Core;
    std::shared_ptr<Core> core_;
};

}  // namespace korvo
