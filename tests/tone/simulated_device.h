#pragma once
// An audio device's buffer clock, simulated for scheduled keying: when it
// plays each sample, and when the audio thread calls the fill callback.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

// The device plays sample s at (s / rate) · (1 + drift) seconds and, past a
// stall that moved its pace, that much later. It asks for each buffer when
// its first sample is due; the audio thread wakes late by a few microseconds
// mostly, by up to 6 ms now and then, and the buffers that fell due
// meanwhile are asked for at once, one call after another. A device that
// asks early has a tenth of its calls come up to `early` seconds before they
// are due; a punctual one, on time to the tick.
struct SimulatedDevice {
  int32_t rate = 48000;
  uint32_t buffer = 128;
  double drift = 50e-6;
  double stallAt = 1e9, stall = 0.0;
  double early = 0.0;
  bool punctual = false;

  double TimeOfSample(double sample) const {
    const double t = sample / rate * (1.0 + drift);
    return t < stallAt ? t : t + stall;
  }
  double SampleAt(double time) const {
    const double t = time < stallAt ? time : std::max(stallAt, time - stall);
    return t * rate / (1.0 + drift);
  }
};

// The times of the fill calls, one per buffer.
class FillCalls {
 public:
  FillCalls(const SimulatedDevice& device, unsigned seed) : device_(device), random_(seed) {}

  // The time of the call for buffer `index`; calls come in index order.
  double Next(uint64_t index) {
    const double due = device_.TimeOfSample(static_cast<double>(index) * device_.buffer);
    if (device_.punctual) return due;
    double wake = LateWake();
    if (device_.early > 0.0 && unit_(random_) < 0.1) wake -= device_.early * unit_(random_);
    last_ = std::max(due + wake, last_ + 10e-6);
    return last_;
  }

 private:
  double LateWake() {
    const double roll = unit_(random_);
    return roll < 0.9    ? 30e-6 * unit_(random_)
           : roll < 0.99 ? -200e-6 * std::log(1.0 - unit_(random_))
                         : 1e-3 + 5e-3 * unit_(random_);
  }

  const SimulatedDevice& device_;
  std::mt19937 random_;
  std::uniform_real_distribution<double> unit_{0.0, 1.0};
  double last_ = -1.0;
};
