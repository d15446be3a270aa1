#include <gtest/gtest.h>

#include <limits>

#include "app/app_state.h"
#include "tone/key_clock.h"
#include "tone/real_to_count.h"

namespace {

constexpr int64_t kRate = 10'000'000;

TEST(KeyClock, WorkedValuesAndWrap) {
  const int64_t high = int64_t{1} << 32;
  const struct {
    int64_t down, up, frequency;
    uint32_t micros;
  } cases[] = {
      {0, 1'234'567, kRate, 123'456},
      {0, 2490, kRate, 248},                      // divided first: 248.99999999999997
      {5, 14, kRate, 0},                          // 9 ticks: under a microsecond
      {77, 77, kRate, 0},                         // zero ticks
      {high - 256, high + 256, kRate, 51},        // carry into the high word
      {3 * high + 10, 3 * high + 20, kRate, 1},   // only the low words count
      {0, high + 10'000'000, kRate, 1'000'000},   // 2^32 ticks and more wrap
      {0, 10'000'000, kRate + (int64_t{7} << 32), 1'000'000},  // low word of the frequency
      {0, 1000, 0, 0},                            // no usable counter
      {0, 0, 0, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MicrosBetween(c.down, c.up, c.frequency), c.micros) << c.down << " " << c.up;
}

TEST(KeyClock, StampsFollowTheCounter) {
  ResetKeyClock();
  EXPECT_GT(appState.counterFrequency.load(), 0);
  StampKeyDown();
  EXPECT_EQ(appState.keyUpStamp.load(), 0);
  EXPECT_NE(appState.keyDownStamp.load(), 0);
  StampKeyUp();
  EXPECT_GE(appState.keyUpStamp.load(), appState.keyDownStamp.load());
  EXPECT_LT(KeyDownMicros(), 1'000'000u);
}

TEST(RealToCount, IsDefinedForEveryInput) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    uint32_t count;
  } cases[] = {
      {0.0, 0},
      {441.9, 441},
      {4410.5, 4410},
      {4294967295.0, 4294967295u},
      {4294967296.0, 0},            // low 32 bits of 2^32
      {4294967297.7, 1},
      {-1.0, 0xFFFFFFFFu},          // -1 as a 64-bit integer
      {-0.5, 0xFFFFFFFFu},          // floored to -1
      {9.2e18, static_cast<uint32_t>(static_cast<uint64_t>(9200000000000000000ull))},
      {9223372036854775808.0, 0},   // 2^63: beyond 64 bits
      {-9223372036854775808.0, 0},  // -2^63 itself is representable; low word 0
      {1e300, 0},
      {-1e300, 0},
      {inf, 0},
      {-inf, 0},
      {std::numeric_limits<double>::quiet_NaN(), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(RealToCount(c.value), c.count) << c.value;
}

}  // namespace
