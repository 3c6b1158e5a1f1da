#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "base/clock.h"
#include "migration.h"
#include "support/manual_clock.h"

namespace korvo {
namespace {

using test::ManualClock;

// 2026-03-01T10:15:30.123456+00:00
constexpr std::int64_t kStart = 1'772'360'130'123'456'000;
constexpr std::uint64_t kMax = UINT64_MAX;
const std::string kAlreadyInitial = "Already at initial stage \u2014 cannot roll back further";

struct Fixture : ::testing::Test {
    // Each reading is one millisecond after the previous.
    std::shared_ptr<ManualClock> clock =
        std::make_shared<ManualClock>(TimePoint(std::chrono::nanoseconds(kStart)), std::chrono::milliseconds(1));
    MigrationController mc{"myapp", clock};

    MigrationState ok(Result<MigrationState> r) {
        EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
        return r ? std::move(*r) : MigrationState{};
    }
    // Starts `name` and moves it to `stage` (0..6).
    MigrationState at_stage(std::string_view name, std::uint8_t stage) {
        MigrationState rec = ok(mc.start(name, "sqlite", "redis"));
        if (stage == 0) return ok(mc.rollback(name));
        while (rec.stage < stage) rec = ok(mc.advance(name, 0, 0));
        return rec;
    }
    MigrationState stored(std::string_view name) {
        auto r = mc.get(name);
        EXPECT_TRUE(r.has_value() && r->has_value()) << name;
        return r && *r ? **r : MigrationState{};
    }
};

std::unexpected<MeshError> migration_error(std::string_view detail) { return fail(MeshError::migration(detail)); }

using MigrationControllerTest = Fixture;

TEST_F(MigrationControllerTest, StartWritesTheInitialRecord) {
    std::string out;
    ASSERT_TRUE(mc.start_json("counter.Counts", "sqlite", "redis", out));
    EXPECT_EQ(out,
              "{\"variable_name\":\"counter.Counts\",\"source_backend\":\"sqlite\",\"target_backend\":\"redis\","
              "\"stage\":1,\"stage_name\":\"shadow_write\",\"started_at\":\"2026-03-01T10:15:30.123456+00:00\","
              "\"advanced_at\":\"2026-03-01T10:15:30.123456+00:00\",\"discrepancy_count\":0,\"keys_migrated\":0,"
              "\"app_name\":\"myapp\"}");
    const MigrationState rec = stored("counter.Counts");
    EXPECT_EQ(rec.to_json(), out);
    EXPECT_EQ(rec.started_at, rec.advanced_at);
}

TEST_F(MigrationControllerTest, StageNamesFollowTheTable) {
    const char* names[] = {"idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done"};
    for (std::uint8_t s = 0; s <= kStageDone; ++s) EXPECT_EQ(stage_name(s), names[s]);
    EXPECT_EQ(stage_name(7), "");
}

TEST_F(MigrationControllerTest, StartRefusedAtEveryActiveStage) {
    const char* names[] = {"idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup"};
    for (std::uint8_t stage = 0; stage < kStageDone; ++stage) {
        const std::string name = "var" + std::to_string(stage);
        const MigrationState before = at_stage(name, stage);
        EXPECT_EQ(mc.start(name, "a", "b"),
                  migration_error("Migration for '" + name + "' already in progress at stage " +
                                  std::to_string(stage) + " (" + names[stage] + ")"));
        EXPECT_EQ(stored(name), before);
    }
}

TEST_F(MigrationControllerTest, StartReplacesACompletedRecord) {
    const MigrationState done = ok([&] {
        at_stage("v", 5);
        return mc.advance("v", 4, 40);
    }());
    ASSERT_EQ(done.stage, kStageDone);
    const MigrationState fresh = ok(mc.start("v", "postgres", "dynamo"));
    EXPECT_EQ(fresh.stage, 1);
    EXPECT_EQ(fresh.stage_name, "shadow_write");
    EXPECT_EQ(fresh.source_backend, "postgres");
    EXPECT_EQ(fresh.target_backend, "dynamo");
    EXPECT_EQ(fresh.discrepancy_count, 0u);
    EXPECT_EQ(fresh.keys_migrated, 0u);
    EXPECT_NE(fresh.started_at, done.started_at);
    EXPECT_EQ(fresh.started_at, fresh.advanced_at);
    EXPECT_EQ(stored("v"), fresh);
    EXPECT_EQ(mc.count_active(), 1u);
}

TEST_F(MigrationControllerTest, AdvanceWalksToDoneThenRefuses) {
    const MigrationState first = ok(mc.start("v", "s", "t"));
    const char* names[] = {"shadow_read", "dual_read", "new_primary", "cleanup", "done"};
    std::string previous_advance = first.advanced_at;
    for (std::uint8_t i = 0; i < 5; ++i) {
        const MigrationState rec = ok(mc.advance("v", 0, 0));
        EXPECT_EQ(rec.stage, i + 2);
        EXPECT_EQ(rec.stage_name, names[i]);
        EXPECT_EQ(rec.started_at, first.started_at);
        EXPECT_NE(rec.advanced_at, previous_advance);
        previous_advance = rec.advanced_at;
    }
    const MigrationState done = stored("v");
    EXPECT_EQ(mc.advance("v", 1, 1), migration_error("Migration for 'v' is already complete"));
    EXPECT_EQ(stored("v"), done);
}

TEST_F(MigrationControllerTest, CountsAccumulateAndSurviveRollback) {
    ok(mc.start("v", "s", "t"));
    ok(mc.advance("v", 3, 100));
    const MigrationState rec = ok(mc.advance("v", 2, 50));
    EXPECT_EQ(rec.discrepancy_count, 5u);
    EXPECT_EQ(rec.keys_migrated, 150u);
    const MigrationState back = ok(mc.rollback("v"));
    EXPECT_EQ(back.stage, 2);
    EXPECT_EQ(back.discrepancy_count, 5u);
    EXPECT_EQ(back.keys_migrated, 150u);
    EXPECT_EQ(back.started_at, rec.started_at);
    EXPECT_NE(back.advanced_at, rec.advanced_at);
}

struct SaturationCase {
    std::uint64_t first, second, total;
};

class MigrationSaturation : public Fixture, public ::testing::WithParamInterface<SaturationCase> {};

TEST_P(MigrationSaturation, TotalsStopAtTheLargestValue) {
    const auto [first, second, total] = GetParam();
    ok(mc.start("v", "s", "t"));
    const MigrationState one = ok(mc.advance("v", first, first));
    EXPECT_EQ(one.stage, 2);  // however large, a count never holds the stage back
    const MigrationState two = ok(mc.advance("v", second, 0));
    EXPECT_EQ(two.stage, 3);
    EXPECT_EQ(two.discrepancy_count, total);
    EXPECT_EQ(two.keys_migrated, first);
    std::string out;
    ASSERT_TRUE(mc.get_json("v", out));
    EXPECT_NE(out.find("\"discrepancy_count\":" + std::to_string(total) + ","), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Table, MigrationSaturation,
                         ::testing::Values(SaturationCase{kMax, 0, kMax}, SaturationCase{kMax - 1, 1, kMax},
                                           SaturationCase{kMax - 1, 2, kMax}, SaturationCase{kMax, kMax, kMax},
                                           SaturationCase{1ull << 63, 1ull << 63, kMax},
                                           SaturationCase{(1ull << 63) - 1, 1ull << 63, kMax},
                                           SaturationCase{12, 30, 42}));

TEST_F(MigrationControllerTest, RollbackToIdleAndForwardAgain) {
    ok(mc.start("v", "s", "t"));
    const MigrationState idle = ok(mc.rollback("v"));
    EXPECT_EQ(idle.stage, 0);
    EXPECT_EQ(idle.stage_name, "idle");
    EXPECT_EQ(kAlreadyInitial.size(), 53u);
    EXPECT_EQ(mc.rollback("v"), migration_error(kAlreadyInitial));
    EXPECT_EQ(stored("v"), idle);
    EXPECT_EQ(mc.count_active(), 1u);  // idle is active
    const MigrationState again = ok(mc.advance("v", 0, 0));
    EXPECT_EQ(again.stage, 1);
    EXPECT_EQ(again.stage_name, "shadow_write");
}

TEST_F(MigrationControllerTest, CompletedMigrationCannotRollBack) {
    const MigrationState done = at_stage("v", kStageDone);
    EXPECT_EQ(mc.rollback("v"), migration_error("Cannot roll back a completed migration"));
    EXPECT_EQ(stored("v"), done);
}

TEST_F(MigrationControllerTest, UnknownVariable) {
    ok(mc.start("known", "s", "t"));
    EXPECT_EQ(mc.advance("unknown", 0, 0), migration_error("No migration in progress for 'unknown'"));
    EXPECT_EQ(mc.rollback("unknown"), migration_error("No migration in progress for 'unknown'"));
    EXPECT_EQ(mc.get("unknown").value(), std::nullopt);
    std::string out = "keep";
    EXPECT_EQ(mc.get_json("unknown", out), false);
    EXPECT_EQ(mc.advance_json("unknown", 0, 0, out), migration_error("No migration in progress for 'unknown'"));
    EXPECT_EQ(out, "keep");
    EXPECT_FALSE(mc.poisoned());
}

TEST_F(MigrationControllerTest, NamesAreCaseSensitiveAndUnescapedInMessages) {
    ok(mc.start("Counter", "s", "t"));
    EXPECT_EQ(mc.advance("counter", 0, 0), migration_error("No migration in progress for 'counter'"));
    ok(mc.start("counter", "s", "t"));
    EXPECT_EQ(mc.count_active(), 2u);
    // The name goes into messages as given, and escaped in JSON.
    const std::string odd = "a'\"b\\";
    EXPECT_EQ(mc.rollback(odd), migration_error("No migration in progress for 'a'\"b\\'"));
    std::string out;
    ASSERT_TRUE(mc.start_json(odd, "", "", out));
    EXPECT_TRUE(out.starts_with("{\"variable_name\":\"a'\\\"b\\\\\",\"source_backend\":\"\",\"target_backend\":\"\","));
}

TEST_F(MigrationControllerTest, EmptyNameAndBackendsAreAccepted) {
    const MigrationState rec = ok(mc.start("", "", ""));
    EXPECT_EQ(rec.variable_name, "");
    EXPECT_EQ(ok(mc.advance("", 1, 1)).stage, 2);
}

TEST_F(MigrationControllerTest, CountingAndListing) {
    EXPECT_EQ(mc.count_active(), 0u);
    EXPECT_EQ(mc.list_all(), std::vector<MigrationState>{});
    std::string out;
    ASSERT_TRUE(mc.list_json(out));
    EXPECT_EQ(out, "[]");

    at_stage("idle", 0);
    at_stage("mid", 3);
    at_stage("last", 5);
    at_stage("done", kStageDone);
    EXPECT_EQ(mc.count_active(), 3u);
    ok(mc.advance("last", 0, 0));
    EXPECT_EQ(mc.count_active(), 2u);
    ok(mc.start("done", "x", "y"));
    EXPECT_EQ(mc.count_active(), 3u);

    auto all = mc.list_all();
    ASSERT_TRUE(all.has_value());
    ASSERT_EQ(all->size(), 4u);
    std::size_t active = 0;
    for (const auto& rec : *all) {
        EXPECT_EQ(stored(rec.variable_name), rec);
        active += rec.stage < kStageDone;
    }
    EXPECT_EQ(active, mc.count_active());

    // The text form holds the same records in the same (unspecified) order.
    std::string expected;
    write_migrations_json(*all, expected);
    out.clear();
    ASSERT_TRUE(mc.list_json(out));
    EXPECT_EQ(out, expected);
    EXPECT_EQ(out.front(), '[');
    EXPECT_EQ(out.back(), ']');
}

TEST_F(MigrationControllerTest, JsonVariantsMatchTheRecords) {
    std::string out = ">";
    ASSERT_TRUE(mc.start_json("v", "s", "t", out));
    ASSERT_TRUE(mc.advance_json("v", 2, 3, out));
    ASSERT_TRUE(mc.rollback_json("v", out));
    const MigrationState now = stored("v");
    EXPECT_TRUE(out.ends_with(now.to_json()));
    std::string again;
    ASSERT_TRUE(mc.get_json("v", again));
    EXPECT_EQ(again, now.to_json());
    EXPECT_EQ(now.stage, 1);
    EXPECT_EQ(now.discrepancy_count, 2u);
    EXPECT_EQ(now.keys_migrated, 3u);
}

TEST_F(MigrationControllerTest, MovedControllerKeepsItsRecords) {
    ok(mc.start("v", "s", "t"));
    MigrationController moved = std::move(mc);
    EXPECT_EQ(moved.count_active(), 1u);
    EXPECT_EQ(ok(moved.advance("v", 0, 0)).app_name, "myapp");
}

enum class Culprit { Start, Advance, Rollback };

class MigrationPoison : public Fixture, public ::testing::WithParamInterface<Culprit> {};

TEST_P(MigrationPoison, FailingClockPoisonsForGood) {
    at_stage("v", 2);
    at_stage("w", 1);
    clock->set_failure(ManualClock::Failure::BeforeEpoch);
    std::string out;
    switch (GetParam()) {
        case Culprit::Start: EXPECT_THROW((void)mc.start("new", "s", "t"), ClockError); break;
        case Culprit::Advance: EXPECT_THROW((void)mc.advance_json("v", 1, 1, out), ClockError); break;
        case Culprit::Rollback: EXPECT_THROW((void)mc.rollback("v"), ClockError); break;
    }
    clock->set_failure(ManualClock::Failure::None);
    ASSERT_TRUE(mc.poisoned());

    const auto poisoned = migration_error("lock poisoned");
    EXPECT_EQ(MeshError::migration("lock poisoned").message(), "Migration error: lock poisoned");
    EXPECT_EQ(mc.start("x", "s", "t"), poisoned);
    EXPECT_EQ(mc.advance("v", 0, 0), poisoned);
    EXPECT_EQ(mc.rollback("v"), poisoned);
    EXPECT_EQ(mc.get("v"), poisoned);
    EXPECT_EQ(mc.list_all(), poisoned);
    EXPECT_EQ(mc.start_json("x", "s", "t", out), poisoned);
    EXPECT_EQ(mc.advance_json("v", 0, 0, out), poisoned);
    EXPECT_EQ(mc.rollback_json("v", out), poisoned);
    EXPECT_EQ(mc.get_json("v", out), poisoned);
    EXPECT_EQ(mc.list_json(out), poisoned);
    EXPECT_EQ(out, "");
    EXPECT_EQ(mc.count_active(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Operations, MigrationPoison,
                         ::testing::Values(Culprit::Start, Culprit::Advance, Culprit::Rollback));

TEST_F(MigrationControllerTest, RefusalsDoNotPoison) {
    at_stage("v", kStageDone);
    EXPECT_FALSE(mc.advance("v", 0, 0).has_value());
    EXPECT_FALSE(mc.rollback("v").has_value());
    EXPECT_FALSE(mc.rollback("nope").has_value());
    EXPECT_FALSE(mc.poisoned());
    EXPECT_TRUE(mc.start("v", "s", "t").has_value());
}

}  // namespace
}  // namespace korvo
