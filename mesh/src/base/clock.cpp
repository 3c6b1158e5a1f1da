#include "base/clock.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "base/digits.h"
#include "base/per_thread.h"

namespace korvo {
namespace {

class SystemClock final : public Clock {
public:
    TimePoint now() const override {
        return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
    }
};

}  // namespace

std::shared_ptr<const Clock> system_clock() {
    static const std::shared_ptr<const Clock> clock = std::make_shared<SystemClock>();
    return clock;
}

TimestampText format_timestamp_text(TimePoint t) {
    using namespace std::chrono;
    const auto since = t.time_since_epoch();
    if (since.count() < 0) throw ClockError();
    const auto ns = static_cast<std::uint64_t>(since.count());
    const std::uint64_t secs = ns / 1'000'000'000u;
    const std::uint64_t nanos = ns % 1'000'000'000u;

    // Readings come many to a second: the date and time up to the seconds are formatted once per
    // second and thread, and only the fraction on every reading.
    struct LastSecond {
        std::uint64_t secs = UINT64_MAX;
        char text[19];
    };
    static KORVO_THREAD_LOCAL LastSecond last;
    if (last.secs != secs) {
        const sys_days day{days{static_cast<std::int64_t>(secs / 86400)}};
        const year_month_day ymd{day};
        const std::uint64_t in_day = secs % 86400;
        char* p = last.text;
        digits::put_fixed(p, static_cast<std::uint64_t>(static_cast<int>(ymd.year())), 4);
        p[4] = '-';
        digits::put_fixed(p + 5, static_cast<unsigned>(ymd.month()), 2);
        p[7] = '-';
        digits::put_fixed(p + 8, static_cast<unsigned>(ymd.day()), 2);
        p[10] = 'T';
        digits::put_fixed(p + 11, in_day / 3600, 2);
        p[13] = ':';
        digits::put_fixed(p + 14, in_day / 60 % 60, 2);
        p[16] = ':';
        digits::put_fixed(p + 17, in_day % 60, 2);
        last.secs = secs;
    }

    TimestampText text;
    char* p = text.data.data();
    std::memcpy(p, last.text, 19);
    std::size_t n = 19;
    if (nanos != 0) {
        p[n++] = '.';
        if (nanos % 1'000'000 == 0) {
            digits::put_fixed(p + n, nanos / 1'000'000, 3);
            n += 3;
        } else if (nanos % 1'000 == 0) {
            digits::put_fixed(p + n, nanos / 1'000, 6);
            n += 6;
        } else {
            digits::put_fixed(p + n, nanos, 9);
            n += 9;
        }
    }
    std::memcpy(p + n, "+00:00", 6);
    text.size = n + 6;
    return text;
}

}  // namespace korvo
