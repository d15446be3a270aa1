#include "tone/key_clock.h"

#include "app/app_state.h"
#include "log/debug_log.h"
#include "tone/performance_counter.h"
#include "tone/real_to_count.h"

void ResetKeyClock() {
  appState.keyDownStamp.store(0, std::memory_order_relaxed);
  appState.keyUpStamp.store(0, std::memory_order_relaxed);
  appState.counterFrequency.store(0, std::memory_order_relaxed);
  appState.counterFrequency.store(ReadPerformanceFrequency(), std::memory_order_relaxed);
  LogLine("Timer initialized");
}

void StampKeyDown() {
  appState.keyDownStamp.store(0, std::memory_order_relaxed);
  appState.keyUpStamp.store(0, std::memory_order_relaxed);
  appState.keyDownStamp.store(ReadPerformanceCounter(), std::memory_order_relaxed);
}

void StampKeyUp() { appState.keyUpStamp.store(ReadPerformanceCounter(), std::memory_order_relaxed); }

uint32_t MicrosBetween(int64_t downStamp, int64_t upStamp, int64_t frequency) {
  const uint32_t ticks = static_cast<uint32_t>(upStamp) - static_cast<uint32_t>(downStamp);
  const uint32_t countsPerSecond = static_cast<uint32_t>(frequency);
  if (countsPerSecond == 0) return 0;  // no usable counter: nothing to measure
  // Divide first, multiply second, as the key-down times have always been taken.
  return RealToCount(static_cast<double>(ticks) / countsPerSecond * 1000000.0);
}

uint32_t KeyDownMicros() {
  return MicrosBetween(appState.keyDownStamp.load(std::memory_order_relaxed),
                       appState.keyUpStamp.load(std::memory_order_relaxed),
                       appState.counterFrequency.load(std::memory_order_relaxed));
}
