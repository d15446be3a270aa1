#pragma once
// A performance counter that the keying tests set by hand. It replaces the
// platform's at link time, so the key clock reads it through the real path;
// an optional action runs once inside the next read (another source's key
// edge arriving while a stamp is taken).

#include <atomic>
#include <cstdint>

struct CounterDouble {
  static constexpr int64_t kFrequency = 10'000'000;  // counts per second
  std::atomic<int64_t> now{0};
  void (*duringNextRead)() = nullptr;
};

extern CounterDouble counter;
