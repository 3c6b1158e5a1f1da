// The wall clock and the RFC 3339 timestamps the components stamp events with.
#pragma once

#include <array>
#include <chrono>
#include <string_view>
#include <memory>
#include <stdexcept>
#include <string>

namespace korvo {

using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

// Raised when the system time lies before 1970-01-01T00:00:00Z. Components let it through:
// it ends the interpreter call as an internal fault.
class ClockError : public std::runtime_error {
public:
    ClockError() : std::runtime_error("system time before Unix epoch") {}
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
};

// The system's UTC wall clock.
std::shared_ptr<const Clock> system_clock();

// A formatted timestamp held inline, so stamping an existing record needs no allocation.
struct TimestampText {
    std::array<char, 40> data;  // only the first `size` bytes are ever read
    std::size_t size = 0;
    std::string_view view() const noexcept { return {data.data(), size}; }
};

// "YYYY-MM-DDTHH:MM:SS[.fff|.ffffff|.fffffffff]+00:00"; throws ClockError before 1970.
TimestampText format_timestamp_text(TimePoint t);
inline std::string format_timestamp(TimePoint t) { return std::string(format_timestamp_text(t).view()); }

// Reads the clock once and formats the reading.
inline TimestampText timestamp_text(const Clock& clock) { return format_timestamp_text(clock.now()); }
inline std::string timestamp(const Clock& clock) { return format_timestamp(clock.now()); }

}  // namespace korvo
