// The wall clock and the RFC 3339 timestamps the components stamp events with.
#pragma once

#include <chrono>
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

// "YYYY-MM-DDTHH:MM:SS[.fff|.ffffff|.fffffffff]+00:00"; throws ClockError before 1970.
std::string format_timestamp(TimePoint t);

// Reads the clock once and formats the reading.
inline std::string timestamp(const Clock& clock) { return format_timestamp(clock.now()); }

}  // namespace korvo
