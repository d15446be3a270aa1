#pragma once
// The lamp as the keying tests see it: how often it was asked to light and to
// go out, and an optional action run inside the call (another source's key
// edge arriving mid-transition).

#include <atomic>

struct LampDouble {
  std::atomic<int> draws{0};
  std::atomic<int> clears{0};
  std::atomic<bool> lit{false};  // last asked to light
  void (*duringDraw)() = nullptr;
  void (*duringClear)() = nullptr;

  void Reset() {
    draws = 0;
    clears = 0;
    lit = false;
    duringDraw = nullptr;
    duringClear = nullptr;
  }
};

extern LampDouble lamp;
