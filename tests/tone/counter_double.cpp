#include "counter_double.h"

#include "tone/performance_counter.h"

CounterDouble counter;

int64_t ReadPerformanceCounter() {
  if (void (*action)() = counter.duringNextRead) {
    counter.duringNextRead = nullptr;
    action();
  }
  return counter.now;
}

int64_t ReadPerformanceFrequency() { return CounterDouble::kFrequency; }
