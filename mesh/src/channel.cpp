#include "channel.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "base/lock.h"
#include "base/text_map.h"

namespace korvo {

// ---------------------------------------------------------------------------------------------
// Broadcast ring

struct BroadcastRing {
    explicit BroadcastRing(std::size_t cap) : capacity(std::max<std::size_t>(cap, 1)) {}

    const std::size_t capacity;
    std::atomic<std::size_t> senders{0};

    std::mutex mutex;  // guards everything below
    // Grows up to `capacity`; from then on message number n lives in slot n % capacity, so the
    // slots always hold the newest min(next_seq, capacity) messages.
    std::vector<Message> slots;
    std::uint64_t next_seq = 0;  // number of the next message sent
    std::size_t receivers = 0;
};

BroadcastPair make_broadcast(std::size_t capacity) {
    auto ring = std::make_shared<BroadcastRing>(capacity);
    ring->receivers = 1;  // nobody else can see the ring yet
    return BroadcastPair{BroadcastSender(ring), BroadcastReceiver(ring, 0)};
}

BroadcastSender::BroadcastSender(std::shared_ptr<BroadcastRing> ring) noexcept : ring_(std::move(ring)) {
    ring_->senders.fetch_add(1, std::memory_order_relaxed);
}

BroadcastSender::BroadcastSender(const BroadcastSender& other) noexcept : ring_(other.ring_) {
    if (ring_) ring_->senders.fetch_add(1, std::memory_order_relaxed);
}

BroadcastSender& BroadcastSender::operator=(const BroadcastSender& other) noexcept {
    if (this != &other) {
        release();
        ring_ = other.ring_;
        if (ring_) ring_->senders.fetch_add(1, std::memory_order_relaxed);
    }
    return *this;
}

BroadcastSender& BroadcastSender::operator=(BroadcastSender&& other) noexcept {
    if (this != &other) {
        release();
        ring_ = std::move(other.ring_);
    }
    return *this;
}

BroadcastSender::~BroadcastSender() { release(); }

void BroadcastSender::release() noexcept {
    if (ring_) {
        ring_->senders.fetch_sub(1, std::memory_order_acq_rel);
        ring_.reset();
    }
}

std::expected<std::size_t, Message> BroadcastSender::send(Message message) const {
    BroadcastRing& ring = *ring_;
    std::lock_guard guard(ring.mutex);
    if (ring.receivers == 0) return std::unexpected(std::move(message));
    if (ring.slots.size() < ring.capacity) {
        ring.slots.push_back(std::move(message));
    } else {
        ring.slots[ring.next_seq % ring.capacity] = std::move(message);
    }
    ++ring.next_seq;
    return ring.receivers;
}

std::size_t BroadcastSender::receiver_count() const {
    std::lock_guard guard(ring_->mutex);
    return ring_->receivers;
}

BroadcastReceiver BroadcastSender::subscribe() const {
    std::lock_guard guard(ring_->mutex);
    ++ring_->receivers;
    return BroadcastReceiver(ring_, ring_->next_seq);
}

BroadcastReceiver::BroadcastReceiver(std::shared_ptr<BroadcastRing> ring, std::uint64_t next) noexcept
    : ring_(std::move(ring)), next_(next) {}

BroadcastReceiver& BroadcastReceiver::operator=(BroadcastReceiver&& other) noexcept {
    if (this != &other) {
        release();
        ring_ = std::move(other.ring_);
        next_ = other.next_;
        missed_ = other.missed_;
    }
    return *this;
}

BroadcastReceiver::~BroadcastReceiver() { release(); }

void BroadcastReceiver::release() noexcept {
    if (!ring_) return;
    {
        std::lock_guard guard(ring_->mutex);
        --ring_->receivers;
    }
    ring_.reset();
}

std::optional<Message> BroadcastReceiver::try_recv() {
    if (!ring_) return std::nullopt;
    BroadcastRing& ring = *ring_;
    std::lock_guard guard(ring.mutex);
    const std::uint64_t oldest = ring.next_seq - ring.slots.size();
    if (next_ < oldest) {
        missed_ += oldest - next_;
        next_ = oldest;
    }
    if (next_ == ring.next_seq) return std::nullopt;
    std::optional<Message> out(ring.slots[next_ % ring.capacity]);
    ++next_;
    return out;
}

bool BroadcastReceiver::closed() const {
    return !ring_ || ring_->senders.load(std::memory_order_acquire) == 0;
}

// ---------------------------------------------------------------------------------------------
// Channel

struct MeshChannel::Core {
    Core(std::shared_ptr<const Clock> c, std::function<void()> hook)
        : clock(c ? std::move(c) : system_clock()), fault_hook(std::move(hook)) {}

    PoisonMutex lock;
    // One sender per topic; entries are never removed.
    TextMap<BroadcastSender> topics;
    std::shared_ptr<const Clock> clock;
    std::function<void()> fault_hook;
};

MeshChannel::MeshChannel(std::shared_ptr<const Clock> clock, std::function<void()> fault_hook)
    : core_(std::make_shared<Core>(std::move(clock), std::move(fault_hook))) {}

namespace {

MeshError lock_poisoned() { return MeshError::channel("channel lock poisoned"); }

}  // namespace

// The locked section allocates nothing whose size the caller decides: a topic seen before only
// duplicates its sender; a new topic's name and ring are made outside the lock (the call goes out
// once and comes back in) and stored if no other call stored the topic meanwhile.
Result<std::size_t> MeshChannel::publish(std::string_view topic, json::Value payload) const {
    Core& core = *core_;
    std::optional<BroadcastSender> sender;
    std::optional<std::pair<std::string, BroadcastSender>> fresh;
    for (;;) {
        const auto found = core.lock.write(lock_poisoned, [&] {
            if (core.fault_hook) core.fault_hook();
            if (const auto it = core.topics.find(topic); it != core.topics.end()) {
                sender.emplace(it->second);
                return true;
            }
            if (!fresh) return false;
            sender.emplace(fresh->second);
            core.topics.emplace(std::move(fresh->first), std::move(fresh->second));
            return true;
        });
        if (!found) return fail(found.error());
        if (*found) break;
        // The receiver made with the ring is dropped with the temporary pair.
        fresh.emplace(std::string(topic), make_broadcast(kTopicCapacity).sender);
    }
    // Outside the lock: a clock failure here leaves the channel healthy and the topic in place.
    Message message{std::string(topic), std::move(payload), timestamp(*core.clock)};
    auto sent = sender->send(std::move(message));
    return sent ? *sent : 0;
}

std::size_t MeshChannel::topic_count() const noexcept {
    return core_->lock.shared([&] { return core_->topics.size(); }).value_or(0);
}

bool MeshChannel::poisoned() const noexcept { return core_->lock.poisoned(); }

}  // namespace korvo
