#pragma once
// Time limits on the wrapping 32-bit millisecond tick counter.

#include <cstddef>
#include <cstdint>

namespace uTimeout {

// Milliseconds of CLOCK_MONOTONIC truncated to 32 bits (wraps after about 49.7 days), or
// the value of the tick source installed for tests.
std::uint32_t GetTickCount() noexcept;

using TTickSource = std::uint32_t (*)();
// Replaces the tick source; nullptr restores the system's counter. Returns the previous one.
TTickSource SetTickSource(TTickSource source) noexcept;

// A limit in ms for SetTimeout from a sum of caller limits: a negative sum (a caller's
// negative limit) means no wait, not a 49-day one after the 32-bit conversion.
std::uint32_t ClampLimit(std::int64_t ms) noexcept;

// A limit in ms from a scaled value: rounded up, 0 for NaN and anything not above 0, and
// at most 2^32 - 1, so no factor can make the conversion to an integer overflow.
std::uint32_t ScaledLimit(double ms) noexcept;

// ceil((length + 5) x timeFactor) as a ScaledLimit: the time a request of that length may
// take to go out.
std::int64_t TransmissionAllowance(std::size_t length, double timeFactor) noexcept;

// The range a time factor is kept in; NaN becomes the default factor.
inline constexpr double kDefaultTimeFactor = 1.0;
inline constexpr double kMinTimeFactor = 0.0;
inline constexpr double kMaxTimeFactor = 1000.0;
double ClampTimeFactor(double factor) noexcept;

// A limit measured from the moment it was set. Start is corrected once when the counter has
// wrapped since (it then lies 2^32 below zero), so elapsed time stays continuous.
struct TTimeout {
  std::int64_t Start = 0;
  std::int64_t Timeout = 0;

  void SetTimeout(std::uint32_t ms) noexcept;
  void Restart() noexcept;
  // ms minus the time elapsed since Start; negative once the limit has passed.
  std::int64_t Remaining(std::int64_t ms) noexcept;
  bool IsExpiredAfter(std::int64_t ms) noexcept { return Remaining(ms) <= 0; }
  bool IsExpired() noexcept { return IsExpiredAfter(Timeout); }
};

}  // namespace uTimeout
