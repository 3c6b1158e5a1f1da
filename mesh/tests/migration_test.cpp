#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "base/clock.h"
#include "migration.h"
#include "support/manual_clock.h"
#include "support/records.h"

namespace korvo {
namespace {

using test::ManualClock;
using test::parsed;
using test::text_at;
using test::uint_at;

// 2026-03-01T10:15:30.123456+00:00
constexpr std::int64_t kStart = 1'772'360'130'123'456'000;
constexpr std::uint64_t kMax = UINT64_MAX;
const std::string kAlreadyInitial = "Already at initial stage \u2014 cannot roll back further";

MeshError migration_error(std::string_view detail) { return MeshError::migration(detail); }

struct Fixture : ::testing::Test {
    // Each reading is one millisecond after the previous.
    std::shared_ptr<ManualClock> clock =
        std::make_shared<ManualClock>(TimePoint(std::chrono::nanoseconds(kStart)), std::chrono::milliseconds(1));
    MigrationController mc{"myapp", clock};

    // The record a change wrote, read back; a null value when the change was refused.
    json::Value written(const Result<MigrationChange>& r, const std::string& out) {
        EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
        return r ? parsed(out) : json::Value();
    }
    json::Value start(std::string_view name, std::string_view source = "s", std::string_view target = "t") {
        std::string out;
        return written(mc.start_json(name, source, target, out), out);
    }
    json::Value advance(std::string_view name, std::uint64_t discrepancies = 0, std::uint64_t keys = 0) {
        std::string out;
        return written(mc.advance_json(name, discrepancies, keys, out), out);
    }
    json::Value rollback(std::string_view name) {
        std::string out;
        return written(mc.rollback_json(name, out), out);
    }
    // The error a change was refused with; the out text must stay as it was.
    MeshError refusal(Result<MigrationChange> r, const std::string& out = "") {
        EXPECT_FALSE(r.has_value());
        EXPECT_EQ(out, "");
        return r ? MeshError::migration("<not refused>") : r.error();
    }
    MeshError refused_start(std::string_view name) {
        std::string out;
        return refusal(mc.start_json(name, "a", "b", out), out);
    }
    MeshError refused_advance(std::string_view name) {
        std::string out;
        return refusal(mc.advance_json(name, 1, 1, out), out);
    }
    MeshError refused_rollback(std::string_view name) {
        std::string out;
        return refusal(mc.rollback_json(name, out), out);
    }
    // Starts `name` and moves it to `stage`.
    json::Value at_stage(std::string_view name, std::uint8_t stage) {
        json::Value rec = start(name, "sqlite", "redis");
        if (stage == 0) return rollback(name);
        while (uint_at(rec, "stage") < stage) rec = advance(name);
        return rec;
    }
    std::string stored_text(std::string_view name) {
        std::string out;
        const auto r = mc.get_json(name, out);
        EXPECT_TRUE(r.has_value() && *r) << name;
        return out;
    }
    json::Value stored(std::string_view name) { return parsed(stored_text(name)); }
};

using MigrationControllerTest = Fixture;

TEST_F(MigrationControllerTest, StartWritesTheInitialRecord) {
    std::string out;
    ASSERT_TRUE(mc.start_json("counter.Counts", "sqlite", "redis", out));
    EXPECT_EQ(out,
              "{\"variable_name\":\"counter.Counts\",\"source_backend\":\"sqlite\",\"target_backend\":\"redis\","
              "\"stage\":1,\"stage_name\":\"shadow_write\",\"started_at\":\"2026-03-01T10:15:30.123456+00:00\","
              "\"advanced_at\":\"2026-03-01T10:15:30.123456+00:00\",\"discrepancy_count\":0,\"keys_migrated\":0,"
              "\"app_name\":\"myapp\"}");
    EXPECT_EQ(stored_text("counter.Counts"), out);
}

TEST_F(MigrationControllerTest, StageNamesFollowTheTable) {
    const char* names[] = {"idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done"};
    ASSERT_EQ(std::size(names), kStageNames.size());
    for (std::uint8_t s = 0; s <= kStageDone; ++s) EXPECT_EQ(stage_name(s), names[s]);
    EXPECT_EQ(stage_name(kStageDone + 1), "");
}

TEST_F(MigrationControllerTest, StartRefusedAtEveryActiveStage) {
    for (std::uint8_t stage = 0; stage < kStageDone; ++stage) {
        const std::string name = "var" + std::to_string(stage);
        at_stage(name, stage);
        const std::string before = stored_text(name);
        EXPECT_EQ(refused_start(name),
                  migration_error("Migration for '" + name + "' already in progress at stage " + std::to_string(stage) +
                                  " (" + std::string(stage_name(stage)) + ")"));
        EXPECT_EQ(stored_text(name), before);
    }
}

TEST_F(MigrationControllerTest, StartReplacesACompletedRecord) {
    at_stage("v", kStageDone - 1);
    const json::Value done = advance("v", 4, 40);
    ASSERT_EQ(uint_at(done, "stage"), kStageDone);
    EXPECT_EQ(mc.count_active(), 0u);
    const json::Value fresh = start("v", "postgres", "dynamo");
    EXPECT_EQ(uint_at(fresh, "stage"), 1u);
    EXPECT_EQ(text_at(fresh, "stage_name"), "shadow_write");
    EXPECT_EQ(text_at(fresh, "source_backend"), "postgres");
    EXPECT_EQ(text_at(fresh, "target_backend"), "dynamo");
    EXPECT_EQ(uint_at(fresh, "discrepancy_count"), 0u);
    EXPECT_EQ(uint_at(fresh, "keys_migrated"), 0u);
    EXPECT_NE(text_at(fresh, "started_at"), text_at(done, "started_at"));
    EXPECT_EQ(text_at(fresh, "started_at"), text_at(fresh, "advanced_at"));
    EXPECT_EQ(stored("v"), fresh);
    EXPECT_EQ(mc.count_active(), 1u);
}

TEST_F(MigrationControllerTest, AdvanceWalksToDoneThenRefuses) {
    const json::Value first = start("v");
    std::string previous_advance = text_at(first, "advanced_at");
    for (std::uint64_t stage = 2; stage <= kStageDone; ++stage) {
        const json::Value rec = advance("v");
        EXPECT_EQ(uint_at(rec, "stage"), stage);
        EXPECT_EQ(text_at(rec, "stage_name"), stage_name(static_cast<std::uint8_t>(stage)));
        EXPECT_EQ(text_at(rec, "started_at"), text_at(first, "started_at"));
        EXPECT_NE(text_at(rec, "advanced_at"), previous_advance);
        previous_advance = text_at(rec, "advanced_at");
    }
    const std::string done = stored_text("v");
    EXPECT_EQ(refused_advance("v"), migration_error("Migration for 'v' is already complete"));
    EXPECT_EQ(stored_text("v"), done);
}

TEST_F(MigrationControllerTest, CountsAccumulateAndSurviveRollback) {
    start("v");
    advance("v", 3, 100);
    const json::Value rec = advance("v", 2, 50);
    EXPECT_EQ(uint_at(rec, "discrepancy_count"), 5u);
    EXPECT_EQ(uint_at(rec, "keys_migrated"), 150u);
    const json::Value back = rollback("v");
    EXPECT_EQ(uint_at(back, "stage"), 2u);
    EXPECT_EQ(uint_at(back, "discrepancy_count"), 5u);
    EXPECT_EQ(uint_at(back, "keys_migrated"), 150u);
    EXPECT_EQ(text_at(back, "started_at"), text_at(rec, "started_at"));
    EXPECT_NE(text_at(back, "advanced_at"), text_at(rec, "advanced_at"));
}

struct SaturationCase {
    std::uint64_t first, second, total;
};

class MigrationSaturation : public Fixture, public ::testing::WithParamInterface<SaturationCase> {};

TEST_P(MigrationSaturation, TotalsStopAtTheLargestValue) {
    const auto [first, second, total] = GetParam();
    start("v");
    const json::Value one = advance("v", first, first);
    EXPECT_EQ(uint_at(one, "stage"), 2u);  // however large, a count never holds the stage back
    const json::Value two = advance("v", second, 0);
    EXPECT_EQ(uint_at(two, "stage"), 3u);
    EXPECT_EQ(uint_at(two, "discrepancy_count"), total);
    EXPECT_EQ(uint_at(two, "keys_migrated"), first);
    EXPECT_NE(stored_text("v").find("\"discrepancy_count\":" + std::to_string(total) + ","), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Table, MigrationSaturation,
                         ::testing::Values(SaturationCase{kMax, 0, kMax}, SaturationCase{kMax - 1, 1, kMax},
                                           SaturationCase{kMax - 1, 2, kMax}, SaturationCase{kMax, kMax, kMax},
                                           SaturationCase{1ull << 63, 1ull << 63, kMax},
                                           SaturationCase{(1ull << 63) - 1, 1ull << 63, kMax},
                                           SaturationCase{12, 30, 42}));

TEST_F(MigrationControllerTest, RollbackToIdleAndForwardAgain) {
    start("v");
    const json::Value idle = rollback("v");
    EXPECT_EQ(uint_at(idle, "stage"), 0u);
    EXPECT_EQ(text_at(idle, "stage_name"), "idle");
    EXPECT_EQ(kAlreadyInitial.size(), 53u);
    EXPECT_EQ(refused_rollback("v"), migration_error(kAlreadyInitial));
    EXPECT_EQ(stored("v"), idle);
    EXPECT_EQ(mc.count_active(), 1u);  // idle is active
    const json::Value again = advance("v");
    EXPECT_EQ(uint_at(again, "stage"), 1u);
    EXPECT_EQ(text_at(again, "stage_name"), "shadow_write");
}

TEST_F(MigrationControllerTest, CompletedMigrationCannotRollBack) {
    at_stage("v", kStageDone);
    const std::string done = stored_text("v");
    EXPECT_EQ(refused_rollback("v"), migration_error("Cannot roll back a completed migration"));
    EXPECT_EQ(stored_text("v"), done);
}

TEST_F(MigrationControllerTest, UnknownVariable) {
    start("known");
    EXPECT_EQ(refused_advance("unknown"), migration_error("No migration in progress for 'unknown'"));
    EXPECT_EQ(refused_rollback("unknown"), migration_error("No migration in progress for 'unknown'"));
    std::string out = "keep";
    EXPECT_EQ(mc.get_json("unknown", out), false);
    EXPECT_EQ(out, "keep");
    EXPECT_FALSE(mc.poisoned());
}

TEST_F(MigrationControllerTest, NamesAreCaseSensitiveAndUnescapedInMessages) {
    start("Counter");
    EXPECT_EQ(refused_advance("counter"), migration_error("No migration in progress for 'counter'"));
    start("counter");
    EXPECT_EQ(mc.count_active(), 2u);
    // The name goes into messages as given, and escaped in JSON.
    const std::string odd = "a'\"b\\";
    EXPECT_EQ(refused_rollback(odd), migration_error("No migration in progress for 'a'\"b\\'"));
    std::string out;
    ASSERT_TRUE(mc.start_json(odd, "", "\n", out));
    EXPECT_TRUE(out.starts_with("{\"variable_name\":\"a'\\\"b\\\\\",\"source_backend\":\"\",\"target_backend\":\"\\n\","));
}

TEST_F(MigrationControllerTest, EmptyNameAndBackendsAreAccepted) {
    EXPECT_EQ(text_at(start("", "", ""), "variable_name"), "");
    EXPECT_EQ(uint_at(advance("", 1, 1), "stage"), 2u);
}

TEST_F(MigrationControllerTest, CountingAndListing) {
    EXPECT_EQ(mc.count_active(), 0u);
    std::string out;
    ASSERT_TRUE(mc.list_json(out));
    EXPECT_EQ(out, "[]");

    at_stage("idle", 0);
    at_stage("mid", 3);
    at_stage("last", kStageDone - 1);
    at_stage("done", kStageDone);
    EXPECT_EQ(mc.count_active(), 3u);
    advance("last");
    EXPECT_EQ(mc.count_active(), 2u);
    start("done", "x", "y");
    EXPECT_EQ(mc.count_active(), 3u);

    // The listing holds each record as get_json writes it.
    out.clear();
    ASSERT_TRUE(mc.list_json(out));
    std::vector<std::string> expected;
    std::size_t size = 2 + 3;  // the brackets and commas
    for (const char* name : {"idle", "mid", "last", "done"}) {
        expected.push_back(json::to_text(stored(name)));
        size += stored_text(name).size();
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(test::sorted_items(out), expected);
    EXPECT_EQ(out.size(), size);
}

// The undo the facade runs when a change's result cannot be handed back: each change is taken
// back to what it replaced, and only while the migration is still as that change left it.
TEST_F(MigrationControllerTest, UndoPutsBackWhatEachChangeReplaced) {
    std::string out;
    const auto created = mc.start_json("v", "s", "t", out);
    ASSERT_TRUE(created.has_value());
    mc.undo("v", *created);
    EXPECT_EQ(mc.get_json("v", out), false);
    EXPECT_EQ(mc.count_active(), 0u);

    at_stage("v", kStageDone - 1);
    for (const bool forward : {true, false}) {
        const std::string before = stored_text("v");
        const std::size_t active = mc.count_active();
        const auto change = forward ? mc.advance_json("v", 5, 5, out) : mc.rollback_json("v", out);
        ASSERT_TRUE(change.has_value());
        mc.undo("v", *change);
        EXPECT_EQ(stored_text("v"), before);
        EXPECT_EQ(mc.count_active(), active);
    }

    advance("v");  // done
    const std::string done = stored_text("v");
    const auto replaced = mc.start_json("v", "x", "y", out);
    ASSERT_TRUE(replaced.has_value());
    EXPECT_EQ(mc.count_active(), 1u);
    mc.undo("v", *replaced);
    EXPECT_EQ(stored_text("v"), done);
    EXPECT_EQ(mc.count_active(), 0u);

    // A change made after the one undone is kept.
    const auto restarted = mc.start_json("v", "x", "y", out);
    ASSERT_TRUE(restarted.has_value());
    advance("v");
    const std::string later = stored_text("v");
    mc.undo("v", *restarted);
    EXPECT_EQ(stored_text("v"), later);
}

TEST_F(MigrationControllerTest, MovedControllerKeepsItsRecords) {
    start("v");
    MigrationController moved = std::move(mc);
    EXPECT_EQ(moved.count_active(), 1u);
    std::string out;
    ASSERT_TRUE(moved.advance_json("v", 0, 0, out));
    EXPECT_EQ(text_at(parsed(out), "app_name"), "myapp");
}

enum class Culprit { Start, Advance, Rollback };

class MigrationPoison : public Fixture, public ::testing::WithParamInterface<Culprit> {};

TEST_P(MigrationPoison, FailingClockPoisonsForGood) {
    at_stage("v", 2);
    at_stage("w", 1);
    clock->set_failure(ManualClock::Failure::BeforeEpoch);
    std::string out;
    switch (GetParam()) {
        case Culprit::Start: EXPECT_THROW((void)mc.start_json("new", "s", "t", out), ClockError); break;
        case Culprit::Advance: EXPECT_THROW((void)mc.advance_json("v", 1, 1, out), ClockError); break;
        case Culprit::Rollback: EXPECT_THROW((void)mc.rollback_json("v", out), ClockError); break;
    }
    clock->set_failure(ManualClock::Failure::None);
    ASSERT_TRUE(mc.poisoned());

    const MeshError poisoned = migration_error("lock poisoned");
    EXPECT_EQ(poisoned.message(), "Migration error: lock poisoned");
    EXPECT_EQ(refused_start("x"), poisoned);
    EXPECT_EQ(refused_advance("v"), poisoned);
    EXPECT_EQ(refused_rollback("v"), poisoned);
    EXPECT_EQ(mc.get_json("v", out).error(), poisoned);
    EXPECT_EQ(mc.list_json(out).error(), poisoned);
    EXPECT_EQ(out, "");
    EXPECT_EQ(mc.count_active(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Operations, MigrationPoison,
                         ::testing::Values(Culprit::Start, Culprit::Advance, Culprit::Rollback));

TEST_F(MigrationControllerTest, RefusalsDoNotPoison) {
    at_stage("v", kStageDone);
    refused_advance("v");
    refused_rollback("v");
    refused_rollback("nope");
    EXPECT_FALSE(mc.poisoned());
    start("v");
}

}  // namespace
}  // namespace korvo
