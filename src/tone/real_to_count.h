#pragma once
// The one conversion of a real into a 32-bit count: floor, truncate to a
// 64-bit integer, keep the low 32 bits. Defined for every input: NaN,
// infinities and values beyond 64 bits give what x86's truncating conversion
// gives (0x8000000000000000, whose low word is 0).

#include <cmath>
#include <cstdint>

constexpr double kTwoPow63 = 9223372036854775808.0;

inline uint32_t RealToCount(double value) {
  const double floored = std::floor(value);
  if (!(floored >= -kTwoPow63 && floored < kTwoPow63)) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(floored)));
}
