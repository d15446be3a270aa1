#include <time.h>

#include "tone/performance_counter.h"

// A monotonic clock reported at the Windows counter's rate of 10,000,000 counts
// per second, so that long key-down times wrap exactly as they do there.
namespace {
constexpr int64_t kCountsPerSecond = 10'000'000;
}

int64_t ReadPerformanceCounter() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kCountsPerSecond + now.tv_nsec / 100;
}

int64_t ReadPerformanceFrequency() { return kCountsPerSecond; }
