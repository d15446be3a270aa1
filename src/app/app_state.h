#pragma once
// Process-wide state that more than one part of the program touches. The
// window's drawing objects, the key port and the log keep their own state
// beside the code that owns it.

#include <atomic>
#include <cstdint>

struct ToneGenerator;

struct AppState {
  // With the straight key, true from an accepted key-down until the next
  // key-up; in the keyer modes, while the tone is keyed, as the lamp thread
  // follows it.
  std::atomic<bool> keyed{false};

  // Key clock: counter values of the last key-down and key-up, and the
  // counter's rate in counts per second.
  std::atomic<int64_t> keyDownStamp{0};
  std::atomic<int64_t> keyUpStamp{0};
  std::atomic<int64_t> counterFrequency{0};

  // The one sidetone generator; it exists from window creation until the
  // audio output is closed.
  ToneGenerator* toneGenerator = nullptr;

  // Set when shutdown stopped waiting for the port monitor thread or the
  // lamp thread before it ended: what that thread may still touch (the
  // generator among it) is then left to the end of the process instead of
  // being freed.
  std::atomic<bool> threadOutlived{false};
};

extern AppState appState;
