// Topics: one broadcast sender per topic name, created on first publish.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
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

// A topic's broadcast ring: a bounded buffer of the newest messages, fed by any number of
// senders and read by any number of receivers, each at its own position. The ring has its own
// lock, independent of any channel lock.
struct BroadcastRing;
class BroadcastReceiver;
struct BroadcastPair;

class BroadcastSender {
public:
    // Duplicates feed the same ring; the ring is open while any sender is alive.
    BroadcastSender(const BroadcastSender& other) noexcept;
    BroadcastSender(BroadcastSender&& other) noexcept = default;
    BroadcastSender& operator=(const BroadcastSender& other) noexcept;
    BroadcastSender& operator=(BroadcastSender&& other) noexcept;
    ~BroadcastSender();

    // With no live receiver the message is handed back and nothing is stored. Otherwise it
    // is stored (the oldest is overwritten once the ring is full) and the live receiver count
    // is returned.
    std::expected<std::size_t, Message> send(Message message) const;
    std::size_t receiver_count() const;
    // A new receiver that sees the messages sent from now on.
    BroadcastReceiver subscribe() const;

private:
    friend BroadcastPair make_broadcast(std::size_t capacity);
    explicit BroadcastSender(std::shared_ptr<BroadcastRing> ring) noexcept;
    void release() noexcept;
    std::shared_ptr<BroadcastRing> ring_;
};

class BroadcastReceiver {
public:
    BroadcastReceiver(BroadcastReceiver&& other) noexcept = default;
    BroadcastReceiver& operator=(BroadcastReceiver&& other) noexcept;
    ~BroadcastReceiver();

    // The next message for this receiver, or nullopt when it has seen everything. A receiver
    // that fell more than a ring's worth behind skips to the oldest message still held.
    std::optional<Message> try_recv();
    // How many messages this receiver skipped by falling behind.
    std::uint64_t missed() const noexcept { return missed_; }
    // True once every sender is gone.
    bool closed() const;

private:
    friend class BroadcastSender;
    friend BroadcastPair make_broadcast(std::size_t capacity);
    BroadcastReceiver(std::shared_ptr<BroadcastRing> ring, std::uint64_t next) noexcept;
    void release() noexcept;
    std::shared_ptr<BroadcastRing> ring_;
    std::uint64_t next_ = 0;
    std::uint64_t missed_ = 0;
};

struct BroadcastPair {
    BroadcastSender sender;
    BroadcastReceiver receiver;
};

inline constexpr std::size_t kTopicCapacity = 1024;
// A new ring holding at most `capacity` (at least 1) messages, with one sender and one receiver.
BroadcastPair make_broadcast(std::size_t capacity);

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
