#pragma once
// Real-time pacing for a device without hardware behind it: buffer k of a
// stream is due at an absolute moment on the performance counter, computed
// from k itself so that rounding never accumulates into drift.

#include <cstdint>

struct BufferClock {
  int64_t origin = 0;     // counter value when the stream started
  int64_t frequency = 0;  // counter counts per second
  uint32_t frames = 0;    // per buffer
  uint32_t sampleRate = 0;
};

// The counter value at which buffer `index` is due (buffer 0 at the origin).
int64_t BufferDeadline(const BufferClock& clock, uint64_t index);

// Waits for counter values with sub-millisecond precision: sleeps until a
// margin before the deadline and spins the rest. The margin follows how late
// the system's sleeps actually wake, so the spin stays short.
class DeadlineWaiter {
 public:
  DeadlineWaiter(int64_t frequency, int64_t longestMargin);
  void WaitUntil(int64_t deadline);

 private:
  void Sleep(int64_t counts);
  int64_t frequency_;
  int64_t margin_;
  int64_t shortestMargin_, longestMargin_;
};

int64_t ReadCounter();
int64_t CounterFrequency();
