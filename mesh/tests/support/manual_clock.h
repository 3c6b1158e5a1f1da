// A clock the test drives by hand, for the components that stamp what they do.
//
// It reads the time it was set to. Given a step, every reading moves the time on by that
// step, so consecutive stamps differ. It can be made to fail as a system clock set before
// 1970 does, in either of the two ways a component meets that: the reading itself throws
// ClockError, or the reading is a time before the epoch and formatting it throws. It counts
// its readings, failed ones included, so a test can tell whether an operation read it.
// Every member may be used from several threads at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "base/clock.h"

namespace korvo::test {

class ManualClock final : public Clock {
public:
    enum class Failure : std::uint8_t {
        None,         // readings give the time
        Throw,        // readings throw ClockError
        BeforeEpoch,  // readings give a time before 1970-01-01T00:00:00Z
    };

    explicit ManualClock(TimePoint start, std::chrono::nanoseconds step = {}) noexcept
        : ns_(start.time_since_epoch().count()), step_ns_(step.count()) {}

    TimePoint now() const override {
        reads_.fetch_add(1, std::memory_order_relaxed);
        switch (failure_.load()) {
            case Failure::Throw: throw ClockError();
            case Failure::BeforeEpoch: return TimePoint(std::chrono::nanoseconds(-1));
            case Failure::None: break;
        }
        return TimePoint(std::chrono::nanoseconds(ns_.fetch_add(step_ns_)));
    }

    // The time the next working reading gives; not a reading.
    TimePoint time() const noexcept { return TimePoint(std::chrono::nanoseconds(ns_.load())); }
    void advance(std::chrono::nanoseconds by) noexcept { ns_.fetch_add(by.count()); }

    // From now on readings fail this way; Failure::None makes them work again.
    void set_failure(Failure how) noexcept { failure_.store(how); }

    // Readings so far, failed ones included.
    std::uint64_t reads() const noexcept { return reads_.load(std::memory_order_relaxed); }

private:
    mutable std::atomic<std::int64_t> ns_;
    const std::int64_t step_ns_;
    std::atomic<Failure> failure_{Failure::None};
    mutable std::atomic<std::uint64_t> reads_{0};
};

}  // namespace korvo::test
