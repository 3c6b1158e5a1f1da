#include "channel.h"

#include <optional>
#include <utility>

#include "base/lock.h"
#include "base/text_map.h"
#include "json/canonical.h"

namespace korvo {

struct MeshChannel::Core {
    Core(std::shared_ptr<const Clock> c, std::function<void()> hook, const LockWait* wait)
        : lock(wait), clock(c ? std::move(c) : system_clock()), fault_hook(std::move(hook)) {}

    PoisonMutex lock;
    // One ring per topic; entries are never removed.
    TextMap<TopicRing> topics;
    std::shared_ptr<const Clock> clock;
    std::function<void()> fault_hook;
};

MeshChannel::MeshChannel(std::shared_ptr<const Clock> clock, std::function<void()> fault_hook,
                         const LockWait* wait)
    : core_(std::make_shared<Core>(std::move(clock), std::move(fault_hook), wait)) {}

namespace {

MeshError lock_poisoned() { return MeshError::channel("channel lock poisoned"); }

}  // namespace

// The locked section allocates nothing whose size the caller decides: a new topic's name is made
// outside the lock (the call goes out once and comes back in) and stored if no other call stored
// the topic meanwhile.
Result<std::size_t> MeshChannel::publish(std::string_view topic, std::string_view payload_json,
                                         json::Source source) const {
    if (auto checked = json::check(payload_json, source); !checked) return fail(checked.error().to_mesh_error());
    Core& core = *core_;
    std::optional<TopicRing> ring;
    std::optional<std::string> fresh;
    for (;;) {
        const auto found = core.lock.write(lock_poisoned, [&] {
            if (core.fault_hook) core.fault_hook();
            if (const auto it = core.topics.find(topic); it != core.topics.end()) {
                ring.emplace(it->second);
                return true;
            }
            if (!fresh) return false;
            ring.emplace(core.topics.emplace(std::move(*fresh), TopicRing()).first->second);
            return true;
        });
        if (!found) return fail(found.error());
        if (*found) break;
        fresh.emplace(topic);
    }
    // Outside the lock: a clock failure here leaves the channel healthy and the topic in place.
    const Message message{topic, payload_json, timestamp_text(*core.clock)};
    auto sent = ring->send(message);
    return sent ? *sent : 0;
}

std::size_t MeshChannel::topic_count() const noexcept {
    return core_->lock.shared([&] { return core_->topics.size(); }).value_or(0);
}

bool MeshChannel::poisoned() const noexcept { return core_->lock.poisoned(); }

}  // namespace korvo
