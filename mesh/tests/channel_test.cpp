#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "channel.h"
#include "base/clock.h"
#include "json/read.h"
#include "support/manual_clock.h"

namespace korvo {
namespace {

using test::ManualClock;

Message numbered(std::uint64_t n) { return Message{"t", json::Value(n), "ts"}; }

// ---- the ring ------------------------------------------------------------------------------

TEST(BroadcastRing, SendWithoutReceiverHandsTheMessageBack) {
    BroadcastSender sender = make_broadcast(kTopicCapacity).sender;
    EXPECT_EQ(sender.receiver_count(), 0u);
    auto sent = sender.send(Message{"orders", json::Value("payload"), "2024-01-01T00:00:00+00:00"});
    ASSERT_FALSE(sent.has_value());
    EXPECT_EQ(sent.error().topic, "orders");
    EXPECT_EQ(sent.error().payload, json::Value("payload"));
    EXPECT_EQ(sent.error().timestamp, "2024-01-01T00:00:00+00:00");
    // A receiver that joins later finds nothing stored.
    BroadcastReceiver late = sender.subscribe();
    EXPECT_FALSE(late.try_recv().has_value());
}

TEST(BroadcastRing, LiveReceiverGetsMessagesInOrder) {
    auto [sender, receiver] = make_broadcast(kTopicCapacity);
    for (std::uint64_t i = 0; i < 3; ++i) EXPECT_EQ(sender.send(numbered(i)), std::size_t{1});
    for (std::uint64_t i = 0; i < 3; ++i) {
        auto m = receiver.try_recv();
        ASSERT_TRUE(m.has_value());
        EXPECT_EQ(m->payload, json::Value(i));
    }
    EXPECT_FALSE(receiver.try_recv().has_value());
    EXPECT_EQ(receiver.missed(), 0u);
}

TEST(BroadcastRing, OverwritesOldestPastCapacity) {
    auto [sender, receiver] = make_broadcast(kTopicCapacity);
    constexpr std::uint64_t total = kTopicCapacity + 6;
    for (std::uint64_t i = 0; i < total; ++i) ASSERT_EQ(sender.send(numbered(i)), std::size_t{1});
    for (std::uint64_t i = total - kTopicCapacity; i < total; ++i) {
        auto m = receiver.try_recv();
        ASSERT_TRUE(m.has_value());
        ASSERT_EQ(m->payload, json::Value(i));
    }
    EXPECT_FALSE(receiver.try_recv().has_value());
    EXPECT_EQ(receiver.missed(), 6u);
}

TEST(BroadcastRing, LaggingReceiverResumesAtOldestHeld) {
    auto [sender, receiver] = make_broadcast(4);
    for (std::uint64_t i = 0; i < 2; ++i) ASSERT_TRUE(sender.send(numbered(i)));
    ASSERT_EQ(receiver.try_recv()->payload, json::Value(std::uint64_t{0}));
    for (std::uint64_t i = 2; i < 10; ++i) ASSERT_TRUE(sender.send(numbered(i)));
    EXPECT_EQ(receiver.try_recv()->payload, json::Value(std::uint64_t{6}));
    EXPECT_EQ(receiver.missed(), 5u);  // 1..5
}

TEST(BroadcastRing, CountsEveryLiveReceiver) {
    auto pair = make_broadcast(8);
    BroadcastSender sender = pair.sender;  // a duplicate feeds the same ring
    ASSERT_EQ(sender.send(numbered(0)), std::size_t{1});
    {
        BroadcastReceiver second = sender.subscribe();
        EXPECT_EQ(sender.send(numbered(1)), std::size_t{2});
        // Only what was sent after joining.
        EXPECT_EQ(second.try_recv()->payload, json::Value(std::uint64_t{1}));
        EXPECT_FALSE(second.try_recv().has_value());
    }
    EXPECT_EQ(sender.send(numbered(2)), std::size_t{1});
    EXPECT_EQ(pair.receiver.try_recv()->payload, json::Value(std::uint64_t{0}));
    { BroadcastReceiver dropped = std::move(pair.receiver); }
    EXPECT_EQ(sender.receiver_count(), 0u);
    EXPECT_FALSE(sender.send(numbered(3)).has_value());
}

TEST(BroadcastRing, ClosesWithTheLastSender) {
    auto [sender, receiver] = make_broadcast(2);
    std::optional<BroadcastSender> duplicate(sender);
    { BroadcastSender gone = std::move(sender); }
    EXPECT_FALSE(receiver.closed());
    ASSERT_EQ(duplicate->send(numbered(9)), std::size_t{1});
    duplicate.reset();
    EXPECT_TRUE(receiver.closed());
    // Messages already stored can still be read.
    EXPECT_EQ(receiver.try_recv()->payload, json::Value(std::uint64_t{9}));
}

// ---- the channel ---------------------------------------------------------------------------

TEST(MeshChannel, TopicsComeIntoBeingOnFirstPublish) {
    const MeshChannel channel;
    EXPECT_EQ(channel.topic_count(), 0u);
    struct Step {
        const char* topic;
        std::size_t topics_after;
    };
    // Empty names count; names are case-sensitive.
    const Step steps[] = {{"orders", 1}, {"orders", 1}, {"audit", 2}, {"", 3}, {"Orders", 4}, {"", 4}};
    for (const auto& step : steps) {
        EXPECT_EQ(channel.publish(step.topic, json::Value(std::uint64_t{1})), std::size_t{0}) << step.topic;
        EXPECT_EQ(channel.topic_count(), step.topics_after) << step.topic;
    }
}

class ChannelPayload : public ::testing::TestWithParam<const char*> {};

TEST_P(ChannelPayload, AnyKindIsDeliveredToNobody) {
    const MeshChannel channel;
    auto payload = json::read(GetParam());
    ASSERT_TRUE(payload.has_value());
    EXPECT_EQ(channel.publish("t", std::move(*payload)), std::size_t{0});
    EXPECT_EQ(channel.topic_count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ChannelPayload,
                         ::testing::Values("null", "true", "-1", "2.5", "\"s\"", "[1,[2]]", "{\"id\":1}"));

TEST(MeshChannel, ManyPublishesToOneTopicRetainNothing) {
    const MeshChannel channel;
    for (std::uint64_t i = 0; i < 3 * kTopicCapacity; ++i) {
        ASSERT_EQ(channel.publish("busy", json::Value(i)), std::size_t{0});
    }
    EXPECT_EQ(channel.topic_count(), 1u);
}

TEST(MeshChannel, CopiesShareTopics) {
    const MeshChannel channel;
    const MeshChannel copy = channel;  // NOLINT(performance-unnecessary-copy-initialization)
    ASSERT_TRUE(copy.publish("x", json::Value(nullptr)));
    EXPECT_EQ(channel.topic_count(), 1u);
}

TEST(MeshChannel, AbandonedPublishPoisons) {
    bool armed = false;
    const MeshChannel channel(system_clock(), [&] {
        if (armed) throw std::runtime_error("injected");
    });
    ASSERT_TRUE(channel.publish("a", json::Value(nullptr)));
    armed = true;
    EXPECT_THROW((void)channel.publish("b", json::Value(nullptr)), std::runtime_error);
    armed = false;
    EXPECT_TRUE(channel.poisoned());
    EXPECT_EQ(channel.topic_count(), 0u);
    for (const char* topic : {"a", "b", "new"}) {
        auto r = channel.publish(topic, json::Value(nullptr));
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), MeshError::channel("channel lock poisoned"));
        EXPECT_EQ(r.error().message(), "Channel error: channel lock poisoned");
    }
    EXPECT_EQ(channel.topic_count(), 0u);
}

TEST(MeshChannel, ClockFailureAfterUnlockDoesNotPoison) {
    auto clock = std::make_shared<ManualClock>(TimePoint(std::chrono::seconds(1'700'000'000)));
    const MeshChannel channel(clock);
    clock->set_failure(ManualClock::Failure::BeforeEpoch);
    EXPECT_THROW((void)channel.publish("early", json::Value(nullptr)), ClockError);
    EXPECT_FALSE(channel.poisoned());
    EXPECT_EQ(channel.topic_count(), 1u);  // the topic made by the failed call stays
    clock->set_failure(ManualClock::Failure::None);
    EXPECT_EQ(channel.publish("early", json::Value(nullptr)), std::size_t{0});
    EXPECT_EQ(channel.topic_count(), 1u);
}

}  // namespace
}  // namespace korvo
