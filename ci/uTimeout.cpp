#include "ci/uTimeout.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <ctime>
#include <limits>

namespace uTimeout {

namespace {
std::atomic<TTickSource> gTickSource{nullptr};

std::uint32_t SystemTicks() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}
}  // namespace

std::uint32_t GetTickCount() noexcept {
  const TTickSource source = gTickSource.load(std::memory_order_acquire);
  return source ? source() : SystemTicks();
}

TTickSource SetTickSource(TTickSource source) noexcept {
  return gTickSource.exchange(source, std::memory_order_acq_rel);
}

std::uint32_t ClampLimit(std::int64_t ms) noexcept {
  if (ms <= 0) return 0;
  if (ms > std::numeric_limits<std::uint32_t>::max())
    return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(ms);
}

std::uint32_t ScaledLimit(double ms) noexcept {
  constexpr double kMax = std::numeric_limits<std::uint32_t>::max();
  if (!(ms > 0.0)) return 0;  // NaN included
  const double up = std::ceil(ms);
  return up >= kMax ? std::numeric_limits<std::uint32_t>::max() : static_cast<std::uint32_t>(up);
}

std::int64_t TransmissionAllowance(std::size_t length, double timeFactor) noexcept {
  return ScaledLimit((static_cast<double>(length) + 5.0) * timeFactor);
}

double ClampTimeFactor(double factor) noexcept {
  if (std::isnan(factor)) return kDefaultTimeFactor;
  return std::clamp(factor, kMinTimeFactor, kMaxTimeFactor);
}

void TTimeout::SetTimeout(std::uint32_t ms) noexcept {
  Start = GetTickCount();
  Timeout = ms;
}

void TTimeout::Restart() noexcept {
  Start = GetTickCount();
}

std::int64_t TTimeout::Remaining(std::int64_t ms) noexcept {
  const std::int64_t now = GetTickCount();
  if (Start > now) Start -= std::int64_t{1} << 32;
  return ms - (now - Start);
}

}  // namespace uTimeout
