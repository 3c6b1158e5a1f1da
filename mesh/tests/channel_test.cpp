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
        EXPECT_EQ(channel.publish(step.topic, "1"), std::size_t{0}) << step.topic;
        EXPECT_EQ(channel.topic_count(), step.topics_after) << step.topic;
    }
}

class ChannelPayload : public ::testing::TestWithParam<const char*> {};

TEST_P(ChannelPayload, AnyKindIsDeliveredToNobody) {
    const MeshChannel channel;
    EXPECT_EQ(channel.publish("t", GetParam()), std::size_t{0});
    EXPECT_EQ(channel.topic_count(), 1u);
}

TEST(MeshChannel, APayloadThatIsNotJsonIsRefusedBeforeItsTopicIsMade) {
    const MeshChannel channel;
    EXPECT_EQ(channel.publish("t", "[1,]"),
              Result<std::size_t>(fail(MeshError::serialization("trailing comma at line 1 column 4"))));
    EXPECT_EQ(channel.topic_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ChannelPayload,
                         ::testing::Values("null", "true", "-1", "2.5", "\"s\"", "[1,[2]]", "{\"id\":1}"));

TEST(MeshChannel, ManyPublishesToOneTopicRetainNothing) {
    const MeshChannel channel;
    for (std::uint64_t i = 0; i < 3 * TopicRing::kCapacity; ++i) {
        ASSERT_EQ(channel.publish("busy", "1"), std::size_t{0});
    }
    EXPECT_EQ(channel.topic_count(), 1u);
}

TEST(MeshChannel, CopiesShareTopics) {
    const MeshChannel channel;
    const MeshChannel copy = channel;  // NOLINT(performance-unnecessary-copy-initialization)
    ASSERT_TRUE(copy.publish("x", "null"));
    EXPECT_EQ(channel.topic_count(), 1u);
}

TEST(MeshChannel, AbandonedPublishPoisons) {
    bool armed = false;
    const MeshChannel channel(system_clock(), [&] {
        if (armed) throw std::runtime_error("injected");
    });
    ASSERT_TRUE(channel.publish("a", "null"));
    armed = true;
    EXPECT_THROW((void)channel.publish("b", "null"), std::runtime_error);
    armed = false;
    EXPECT_TRUE(channel.poisoned());
    EXPECT_EQ(channel.topic_count(), 0u);
    for (const char* topic : {"a", "b", "new"}) {
        auto r = channel.publish(topic, "null");
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
    EXPECT_THROW((void)channel.publish("early", "null"), ClockError);
    EXPECT_FALSE(channel.poisoned());
    EXPECT_EQ(channel.topic_count(), 1u);  // the topic made by the failed call stays
    clock->set_failure(ManualClock::Failure::None);
    EXPECT_EQ(channel.publish("early", "null"), std::size_t{0});
    EXPECT_EQ(channel.topic_count(), 1u);
}

}  // namespace
}  // namespace korvo
