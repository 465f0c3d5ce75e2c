#pragma once

#include <chrono>

namespace sonvale {

// Points in time as the controller sees them: seconds on a monotonic clock.
using Instant = std::chrono::time_point<std::chrono::steady_clock, std::chrono::duration<double>>;
using Seconds = std::chrono::duration<double>;

// Earlier than any real time; differences with it are huge but finite.
inline constexpr Instant distantPast = Instant::min();

// The controller's time source. Tests substitute one they can move.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Instant now() const = 0;
};

class SteadyClock : public Clock {
public:
    Instant now() const override { return Instant(std::chrono::steady_clock::now()); }
};

}  // namespace sonvale
