// How closely tones follow the key-down time, against the audio buffer size.
//
// The real keying path and FillBuffer are driven by a simulated clock: one
// fill call at the start of every buffer period, key events at random times
// between them (the key clock reads the simulated time). For each tone the
// figure is (samples from the tone's first sample to the start of its fall)
// minus (the key-down time in samples). Beside it: the same key events when
// the tone is simply switched on and off at buffer boundaries.
//
//   tone_length_accuracy [trials per row]

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "app/app_state.h"
#include "app/settings.h"
#include "counter_double.h"
#include "tone/envelope.h"
#include "tone/key_clock.h"
#include "tone/keying.h"
#include "tone/tone_generator.h"

namespace {

struct KeyPress {
  double down;  // seconds from the start of the simulated clock
  double held;  // seconds
};

struct Outcome {
  bool cut;             // released before the rise was produced: no fall at all
  double error;         // samples from the first to the fall, less the key-down time
  double switchedError; // the same, switching at buffer boundaries
};

int64_t Ticks(double seconds) { return std::llround(seconds * CounterDouble::kFrequency); }

// Plays one key press through buffers of `bufferSamples` per half.
Outcome Play(ToneGenerator& g, uint32_t bufferSamples, const KeyPress& press) {
  const double rate = static_cast<uint32_t>(g.sampleRate);
  const double period = bufferSamples / rate;
  const double up = press.down + press.held;
  std::vector<int16_t> buffer(2 * bufferSamples);
  Outcome outcome{};
  bool pressed = false, released = false;
  uint64_t firstBuffer = 0;
  for (uint64_t k = 0;; ++k) {
    const double now = k * period;
    if (!pressed && press.down < now) {
      counter.now = Ticks(press.down);
      KeyDown();
      pressed = true;
      firstBuffer = k;
    }
    if (!released && up < now) {
      counter.now = Ticks(up);
      KeyUp();
      released = true;
      const double switchedSamples = static_cast<double>(k - firstBuffer) * bufferSamples;
      outcome.switchedError = switchedSamples - press.held * rate;
    }
    FillBuffer(buffer.data(), 2 * bufferSamples, &g);
    if (g.falling) {
      // The fall outlasts a buffer, so it is still running: it began this
      // many samples into the tone.
      outcome.error = (g.samplesSinceKeyDown - g.fallCounter) - press.held * rate;
      break;
    }
    if (released && !g.sounding) {
      outcome.cut = true;
      return outcome;
    }
  }
  while (g.sounding) FillBuffer(buffer.data(), 2 * bufferSamples, &g);
  return outcome;
}

struct Summary {
  double mean, p95, min, max;
};

Summary Summarise(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  double sum = 0.0;
  for (const double v : values) sum += v;
  const size_t p95 = std::min(values.size() - 1, static_cast<size_t>(0.95 * values.size()));
  return {sum / values.size(), values[p95], values.front(), values.back()};
}

}  // namespace

// The lamp is not looked at here.
void DrawLamp() {}
void ClearLamp() {}

int main(int argc, char** argv) {
  const int trials = argc > 1 ? std::atoi(argv[1]) : 2000;
  settings.fallTime = 0.1;  // outlasts the largest buffer; where the fall starts does not depend on it
  ResetKeyClock();
  std::mt19937_64 random(20261208);
  std::uniform_real_distribution<double> held(0.020, 0.500), phase(0.0, 1.0);

  std::printf("Error in samples: (first sample to start of fall) - (key-down time); %d key presses per row,\n"
              "1000 Hz, rise 10 ms. Expected: not below -(half a wave + 1), not above one buffer.\n\n",
              trials);
  std::printf("%6s %6s %5s | %8s %8s %8s %8s | %6s %6s %s | %9s %9s %9s %9s\n", "rate", "buffer", "cut",
              "mean", "p95", "min", "max", "lowest", "highest", "  ", "switched", "p95", "min", "max");
  for (const int32_t rate : {44100, 48000}) {
    ToneGenerator* g = CreateToneGenerator();
    g->sampleRate = rate;
    ComputeToneParameters(*g);
    appState.toneGenerator = g;
    for (uint32_t buffer = 32; buffer <= 4096; buffer *= 2) {
      const double period = static_cast<double>(buffer) / rate;
      std::vector<double> errors, switched;
      int cut = 0;
      for (int t = 0; t < trials; ++t) {
        const KeyPress press{period * (1.0 + phase(random)), held(random)};
        const Outcome outcome = Play(*g, buffer, press);
        switched.push_back(outcome.switchedError);
        if (outcome.cut) {
          ++cut;
        } else {
          errors.push_back(outcome.error);
        }
      }
      const Summary e = Summarise(errors), s = Summarise(switched);
      const double lowest = -(g->WaveLength / 2 + 1), highest = buffer;
      const bool within = errors.empty() || (e.min >= lowest && e.max <= highest);
      std::printf("%6d %6u %5d | %8.2f %8.2f %8.2f %8.2f | %6.2f %6.0f %s | %9.2f %9.2f %9.2f %9.2f\n", rate,
                  buffer, cut, e.mean, e.p95, e.min, e.max, lowest, highest, within ? "ok" : "!!", s.mean,
                  s.p95, s.min, s.max);
    }
    appState.toneGenerator = nullptr;
    DestroyToneGenerator(g);
  }
  return 0;
}
