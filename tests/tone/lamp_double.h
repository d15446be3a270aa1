#pragma once
// The lamp as the keying tests see it: how often it was drawn and cleared,
// whether `keyed` already read right when it was, and an optional action run
// inside the call (another source's key edge arriving mid-transition).

#include <atomic>

struct LampDouble {
  std::atomic<int> draws{0};
  std::atomic<int> clears{0};
  std::atomic<int> keyedWrong{0};  // a draw with `keyed` false or a clear with it true
  std::atomic<bool> lit{false};     // drawn more lately than cleared
  void (*duringDraw)() = nullptr;
  void (*duringClear)() = nullptr;

  void Reset() {
    draws = 0;
    clears = 0;
    keyedWrong = 0;
    lit = false;
    duringDraw = nullptr;
    duringClear = nullptr;
  }
};

extern LampDouble lamp;
