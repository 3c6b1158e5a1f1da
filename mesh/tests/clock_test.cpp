#include "base/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/manual_clock.h"

namespace korvo {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

TimePoint at(year_month_day date, nanoseconds in_day) { return TimePoint{sys_days{date}.time_since_epoch()} + in_day; }

struct FormatCase {
    const char* name;
    TimePoint time;
    const char* expected;
};

TEST(FormatTimestamp, FractionWidthFollowsTheNanoseconds) {
    const auto base = at(2026y / March / 1, 9h + 30min + 15s);
    const FormatCase cases[] = {
        {"epoch", TimePoint{}, "1970-01-01T00:00:00+00:00"},
        {"whole_second", base, "2026-03-01T09:30:15+00:00"},
        {"whole_ms", base + 123ms, "2026-03-01T09:30:15.123+00:00"},
        {"ms_with_trailing_zeros", base + 100ms, "2026-03-01T09:30:15.100+00:00"},
        {"one_ms", base + 1ms, "2026-03-01T09:30:15.001+00:00"},
        {"whole_us", base + 123456us, "2026-03-01T09:30:15.123456+00:00"},
        {"one_us", base + 1us, "2026-03-01T09:30:15.000001+00:00"},
        {"us_multiple_of_ten", base + 123450us, "2026-03-01T09:30:15.123450+00:00"},
        {"ns", base + 123456789ns, "2026-03-01T09:30:15.123456789+00:00"},
        {"one_ns", base + 1ns, "2026-03-01T09:30:15.000000001+00:00"},
        {"ns_multiple_of_ten", base + 10ns, "2026-03-01T09:30:15.000000010+00:00"},
        {"last_ns_of_leap_day", at(2024y / February / 29, 24h - 1ns), "2024-02-29T23:59:59.999999999+00:00"},
        {"first_ns_after_epoch", TimePoint{1ns}, "1970-01-01T00:00:00.000000001+00:00"},
        {"last_representable", TimePoint::max(), "2262-04-11T23:47:16.854775807+00:00"},
        {"century_non_leap", at(2100y / March / 1, 0ns), "2100-03-01T00:00:00+00:00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_timestamp(c.time), c.expected) << c.name;
    }
}

TEST(FormatTimestamp, BeforeTheEpochIsAClockError) {
    EXPECT_THROW(format_timestamp(TimePoint{-1ns}), ClockError);
    EXPECT_THROW(format_timestamp(at(1969y / December / 31, 23h)), ClockError);
    try {
        format_timestamp(TimePoint{-1s});
        FAIL() << "no ClockError";
    } catch (const ClockError& e) {
        EXPECT_STREQ(e.what(), "system time before Unix epoch");
    }
}

TEST(Timestamp, ReadsTheGivenClock) {
    const test::ManualClock clock(at(2026y / March / 1, 9h + 30min + 15s + 123456us));
    EXPECT_EQ(timestamp(clock), "2026-03-01T09:30:15.123456+00:00");
}

TEST(Timestamp, SystemClockGivesTheFixedShape) {
    const std::string text = timestamp(*system_clock());
    ASSERT_GE(text.size(), 25u);
    EXPECT_EQ(text.substr(text.size() - 6), "+00:00");
    EXPECT_EQ(text[4], '-');
    EXPECT_EQ(text[10], 'T');
    const auto fraction = text.size() - 25;  // 0, or a point and 3, 6 or 9 digits
    EXPECT_TRUE(fraction == 0 || fraction == 4 || fraction == 7 || fraction == 10) << text;
    EXPECT_EQ(system_clock(), system_clock());
}

}  // namespace
}  // namespace korvo
