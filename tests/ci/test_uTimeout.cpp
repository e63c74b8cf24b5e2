#include "ci/uTimeout.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>

#include "ci/uThreadUtils.h"

namespace {

using uTimeout::TTimeout;

std::atomic<std::uint32_t> gFakeTicks{0};

std::uint32_t FakeTicks() {
  return gFakeTicks.load();
}

constexpr std::int64_t kWrap = std::int64_t{1} << 32;

// Runs the timer on a tick counter the test sets.
class TimeoutTest : public testing::Test {
 protected:
  void SetUp() override {
    gFakeTicks = 0;
    uTimeout::SetTickSource(&FakeTicks);
  }
  void TearDown() override { uTimeout::SetTickSource(nullptr); }

  static void At(std::uint32_t ticks) { gFakeTicks = ticks; }
};

struct RemainingCase {
  std::uint32_t setAt;
  std::uint32_t limit;
  std::uint32_t now;
  std::int64_t remaining;
  bool expired;
};

TEST_F(TimeoutTest, RemainingAndExpiryTable) {
  const RemainingCase cases[] = {
      // Counting down and past the limit.
      {1000, 100, 1000, 100, false},
      {1000, 100, 1040, 60, false},
      {1000, 100, 1099, 1, false},
      {1000, 100, 1100, 0, true},
      {1000, 100, 1150, -50, true},
      {0, 5, 0, 5, false},
      // A zero limit is expired at once.
      {1000, 0, 1000, 0, true},
      // Set shortly before the counter wraps.
      {0xFFFFFFF0, 100, 0xFFFFFFFF, 85, false},
      {0xFFFFFFF0, 100, 0x00000000, 84, false},
      {0xFFFFFFF0, 100, 0x00000010, 68, false},
      {0xFFFFFFF0, 100, 0x00000053, 1, false},
      {0xFFFFFFF0, 100, 0x00000054, 0, true},
      {0xFFFFFFF0, 100, 0x00000100, -172, true},
      {0xFFFFFFFF, 1, 0x00000000, 0, true},
      // The largest limit, close to a full turn of the counter.
      {0x80000000, 0xFFFFFFFF, 0x7FFFFFFE, 1, false},
      {0x80000000, 0xFFFFFFFF, 0x7FFFFFFF, 0, true},
  };
  for (const RemainingCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "set at " << c.setAt << ", limit " << c.limit << ", now " << c.now);
    At(c.setAt);
    TTimeout timeout;
    timeout.SetTimeout(c.limit);
    At(c.now);
    EXPECT_EQ(timeout.Remaining(timeout.Timeout), c.remaining);
    EXPECT_EQ(timeout.IsExpired(), c.expired);
    // Asking again at the same moment gives the same answer.
    EXPECT_EQ(timeout.Remaining(timeout.Timeout), c.remaining);
  }
}

TEST_F(TimeoutTest, WrapIsCorrectedOnceAndStored) {
  At(0xFFFFFFF0);
  TTimeout timeout;
  timeout.SetTimeout(100);
  EXPECT_EQ(timeout.Start, std::int64_t{0xFFFFFFF0});
  EXPECT_EQ(timeout.Remaining(100), 100);
  EXPECT_EQ(timeout.Start, std::int64_t{0xFFFFFFF0}) << "no correction before the wrap";

  At(0x00000010);
  EXPECT_FALSE(timeout.IsExpired());
  EXPECT_EQ(timeout.Start, std::int64_t{0xFFFFFFF0} - kWrap);
  EXPECT_EQ(timeout.Start >> 32, -1);

  At(0x00000030);
  EXPECT_EQ(timeout.Remaining(100), 36);
  At(0x00000054);
  EXPECT_TRUE(timeout.IsExpired());
  EXPECT_EQ(timeout.Start, std::int64_t{0xFFFFFFF0} - kWrap) << "corrected only once";
}

TEST_F(TimeoutTest, RestartKeepsTheLimit) {
  At(1000);
  TTimeout timeout;
  timeout.SetTimeout(100);
  At(1090);
  timeout.Restart();
  EXPECT_EQ(timeout.Timeout, 100);
  At(1150);
  EXPECT_EQ(timeout.Remaining(timeout.Timeout), 40);
  At(1190);
  EXPECT_TRUE(timeout.IsExpired());
}

// A restart after the wrap correction measures from the new tick, not the corrected Start.
TEST_F(TimeoutTest, RestartAfterWrapStartsFromTheCurrentTick) {
  At(0xFFFFFFF0);
  TTimeout timeout;
  timeout.SetTimeout(50);
  At(0x00000040);
  EXPECT_TRUE(timeout.IsExpired());
  timeout.Restart();
  EXPECT_EQ(timeout.Start, 0x40);
  At(0x00000050);
  EXPECT_EQ(timeout.Remaining(timeout.Timeout), 34);
  EXPECT_FALSE(timeout.IsExpired());
}

TEST_F(TimeoutTest, IsExpiredAfterUsesItsOwnLimit) {
  At(1000);
  TTimeout timeout;
  timeout.SetTimeout(100);
  At(1050);
  EXPECT_TRUE(timeout.IsExpiredAfter(50));
  EXPECT_TRUE(timeout.IsExpiredAfter(0));
  EXPECT_FALSE(timeout.IsExpiredAfter(51));
  EXPECT_FALSE(timeout.IsExpired());
  EXPECT_EQ(timeout.Remaining(200), 150);
  EXPECT_EQ(timeout.Timeout, 100);
}

TEST_F(TimeoutTest, TickSourceIsReplacedAndRestored) {
  At(12345);
  EXPECT_EQ(uTimeout::GetTickCount(), 12345u);
  EXPECT_EQ(uTimeout::SetTickSource(nullptr), &FakeTicks);
  EXPECT_EQ(uTimeout::SetTickSource(&FakeTicks), nullptr);
}

// The system counter moves forward with real time; the bounds are loose on purpose.
TEST_F(TimeoutTest, SystemTicksAdvance) {
  uTimeout::SetTickSource(nullptr);
  const std::uint32_t before = uTimeout::GetTickCount();
  uThreadUtils::Sleep(5);
  const std::uint32_t elapsed = uTimeout::GetTickCount() - before;
  EXPECT_GE(elapsed, 4u);
  EXPECT_LT(elapsed, 10000u);

  TTimeout timeout;
  timeout.SetTimeout(60000);
  EXPECT_FALSE(timeout.IsExpired());
  EXPECT_GT(timeout.Remaining(timeout.Timeout), 50000);
}

}  // namespace

TEST(TimeoutLimits, SumsOfCallerLimitsBecomeUsable32BitLimits) {
  struct Case {
    std::int64_t ms;
    std::uint32_t limit;
  };
  const Case cases[] = {
      {-5000, 0},  // a negative limit means no wait, not 49 days
      {0, 0},     {1, 1}, {30045, 30045}, {std::int64_t{1} << 32, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) EXPECT_EQ(uTimeout::ClampLimit(c.ms), c.limit) << c.ms;
  EXPECT_EQ(uTimeout::TransmissionAllowance(40, 1.0), 45);
  EXPECT_EQ(uTimeout::TransmissionAllowance(0, 1.0), 5);
  EXPECT_EQ(uTimeout::TransmissionAllowance(1, 1.5), 9);  // ceil(6 x 1.5)
}

TEST(TimeoutLimits, ScaledLimitsStayUsableWhateverTheFactor) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr std::int64_t kMax = 0xFFFFFFFF;
  struct Case {
    double factor;
    std::size_t length;
    std::int64_t allowance;
  };
  const Case cases[] = {
      {2.5, 3, 20},
      {0.0, 10, 0},
      {-1.0, 10, 0},
      {-kInf, 10, 0},
      {std::numeric_limits<double>::quiet_NaN(), 10, 0},
      {kInf, 10, kMax},
      {1e300, 10, kMax},
      {std::numeric_limits<double>::max(), std::numeric_limits<std::size_t>::max(), kMax},
      {std::numeric_limits<double>::denorm_min(), 10, 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(uTimeout::TransmissionAllowance(c.length, c.factor), c.allowance) << c.factor;
}
