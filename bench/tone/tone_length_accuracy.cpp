// How closely tones follow the key-down time, against the audio buffer size.
//
// The real keying path and FillBuffer are driven by a simulated clock: one
// fill call at the start of every buffer period, key events at random times
// between them (the key clock reads the simulated time). For each tone the
// figure is (samples from the tone's first sample to the start of its fall)
// minus (the key-down time in samples). Beside it: the same key events when
// the tone is simply switched on and off at buffer boundaries.
//
// The scheduled timing runs on the simulated device of the scheduled keying
// tests instead (jittered fill calls, a drifting device clock), one press
// after another after 20 s in which its clock settles; beside the error it
// shows where each tone starts against its key-down's sample and the delay
// it states.
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
#include "simulated_device.h"
#include "tone/envelope.h"
#include "tone/key_clock.h"
#include "tone/key_schedule.h"
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

struct ScheduledOutcome {
  std::vector<double> errors;  // as above, per press
  std::vector<double> onsets;  // first sample less the key-down's sample, less the delay stated
  int cut = 0;
};

// Plays `presses` one after another through the scheduled timing: the fall
// is found as above, and a tone's first sample from its count at the end of
// the first call in which it sounded.
ScheduledOutcome PlayScheduled(ToneGenerator& g, const SimulatedDevice& device, const std::vector<KeyPress>& presses) {
  ScheduledOutcome outcome;
  FillCalls calls(device, device.buffer);
  std::vector<int16_t> buffer(2 * device.buffer);
  const double rate = static_cast<uint32_t>(g.sampleRate);
  size_t press = 0;
  bool down = false, up = false, begun = false, measured = false;
  for (uint64_t k = 0; press < presses.size(); ++k) {
    const KeyPress& p = presses[press];
    const double call = calls.Next(k);
    if (!down && p.down < call) {
      counter.now = Ticks(p.down);
      KeyDown();
      down = true;
    }
    if (!up && p.down + p.held < call) {
      counter.now = Ticks(p.down + p.held);
      KeyUp();
      up = true;
    }
    counter.now = Ticks(call);
    FillScheduled(buffer.data(), 2 * device.buffer, &g);
    if (down && !begun && g.sounding) {
      begun = true;
      const double first = static_cast<double>((k + 1) * device.buffer - g.samplesSinceKeyDown);
      outcome.onsets.push_back(first - device.SampleAt(p.down) - ScheduleDelaySamples(g, device.buffer));
      if (std::fabs(outcome.onsets.back()) > 3) fprintf(stderr, "buffer %u press %zu down %.6f onset-off %.2f call %.6f k=%lu prevcall? mean %.1f off %u period %.1f\n", device.buffer, press, p.down, outcome.onsets.back(), call, (unsigned long)k, g.schedule.clock.meanError, g.schedule.clock.offRun, g.schedule.clock.period);
    }
    if (begun && !measured && (g.falling || !g.sounding)) {
      measured = true;
      if (g.falling) {
        outcome.errors.push_back((g.samplesSinceKeyDown - g.fallCounter) - p.held * rate);
      } else {
        ++outcome.cut;
      }
    }
    if (measured && !g.sounding) {  // the tone is over: the next press
      ++press;
      down = up = begun = measured = false;
    }
  }
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
void UpdateLamp() {}

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

  std::printf("\nScheduled timing, the same key-down times; onset: first sample less (the key-down's sample\n"
              "plus the delay stated), in samples. Expected: error within a sample of -(half a wave), no cut.\n\n");
  std::printf("%6s %6s %5s | %8s %8s %8s %8s | %6s %6s %s | %8s | %9s %9s\n", "rate", "buffer", "cut", "mean",
              "p95", "min", "max", "lowest", "highest", "  ", "delay ms", "onset med", "spread");
  settings.keyTiming = KeyTiming::Scheduled;
  for (const int32_t rate : {44100, 48000}) {
    for (uint32_t buffer = 32; buffer <= 4096; buffer *= 2) {
      ToneGenerator* g = CreateToneGenerator();
      g->sampleRate = rate;
      ComputeToneParameters(*g);
      appState.toneGenerator = g;
      const SimulatedDevice device{.rate = rate, .buffer = buffer};
      std::vector<KeyPress> presses;
      for (double t = 20.0; static_cast<int>(presses.size()) < trials;) {
        presses.push_back({t, held(random)});
        t += presses.back().held + 0.25 + 0.15 * phase(random);  // the tone is over by then, delay and fall
      }
      const ScheduledOutcome outcome = PlayScheduled(*g, device, presses);
      const Summary e = Summarise(outcome.errors), o = Summarise(outcome.onsets);
      std::vector<double> onsets = outcome.onsets;
      std::sort(onsets.begin(), onsets.end());
      const double half = g->WaveLength / 2;
      const bool within = outcome.cut == 0 && e.min >= -half - 1 && e.max <= -half + 1;
      std::printf("%6d %6u %5d | %8.2f %8.2f %8.2f %8.2f | %6.2f %6.2f %s | %8.3f | %9.2f %9.2f\n", rate, buffer,
                  outcome.cut, e.mean, e.p95, e.min, e.max, -half - 1, -half + 1, within ? "ok" : "!!",
                  1000.0 * ScheduleDelaySamples(*g, buffer) / rate, onsets[onsets.size() / 2], o.max - o.min);
      appState.toneGenerator = nullptr;
      DestroyToneGenerator(g);
    }
  }
  return 0;
}
