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
#include "counter_double.h"
#include "simulated_device.h"
#include "tone/fill_buffer.h"
#include "tone/key_clock.h"
#include "tone/key_schedule.h"
#include "tone/keying.h"
#include "tone/tone_generator.h"

namespace {

struct KeyPress {
  double down;  // seconds from the start of the simulated clock
  double held;  // seconds
};

int64_t Ticks(double seconds) { return std::llround(seconds * CounterDouble::kFrequency); }

// A tone ends abruptly (it is cut) when two samples lie further apart than a
// full-level tone's largest step and the rise's largest step together.
struct Tone {
  bool fell = false;  // else its rise ran back down, or it was cut
  bool cut = false;
  double error = 0.0;  // samples from the first to the fall, less the key-down time
  int16_t last = 0;

  void Heard(const std::vector<int16_t>& buffer, uint32_t frames, const ToneParameters& params) {
    const double largest = params.amplitude * (2.0 * std::sin(kTwoPi / params.WaveLength / 2.0) +
                                               kTwoPi / 2 / (2.0 * params.dwTotalRiseTimeSamples - 1.0));
    for (uint32_t i = 0; i < frames; ++i) {
      cut = cut || std::abs(buffer[i] - last) > largest + 1.0;
      last = buffer[i];
    }
  }
  // The fall outlasts a buffer, so once seen it is still running: it began
  // this many samples into the tone.
  void Watch(const ToneGenerator& g, const KeyPress& press) {
    const Envelope& e = g.envelope;
    if (fell || e.state != EnvelopeState::kFalling) return;
    fell = true;
    error = (e.samplesSinceKeyDown - e.fallStep) - press.held * static_cast<uint32_t>(g.params.sampleRate);
  }
};

struct Outcome {
  Tone tone;
  double switchedError;  // the same, switching at buffer boundaries
};

// Plays one key press through buffers of `frames` frames.
Outcome Play(ToneGenerator& g, uint32_t frames, const KeyPress& press) {
  const double rate = static_cast<uint32_t>(g.params.sampleRate);
  const double period = frames / rate;
  const double up = press.down + press.held;
  std::vector<int16_t> buffer(2 * frames);
  Outcome outcome{};
  bool pressed = false, released = false;
  uint64_t firstBuffer = 0;
  for (uint64_t k = 0; !released || g.sounding; ++k) {
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
      const double switchedSamples = static_cast<double>(k - firstBuffer) * frames;
      outcome.switchedError = switchedSamples - press.held * rate;
    }
    FillBuffer(buffer.data(), 2 * frames, &g);
    outcome.tone.Heard(buffer, frames, g.params);
    outcome.tone.Watch(g, press);
  }
  return outcome;
}

struct ScheduledOutcome {
  std::vector<double> errors;  // as above, per press
  std::vector<double> onsets;  // first sample less the key-down's sample, less the delay stated
  int cut = 0, runBack = 0;
};

// Plays `presses` one after another through the scheduled timing: the fall
// is found as above, and a tone's first sample from its count at the end of
// the first call in which it sounded.
ScheduledOutcome PlayScheduled(ToneGenerator& g, const SimulatedDevice& device, const std::vector<KeyPress>& presses) {
  ScheduledOutcome outcome;
  FillCalls calls(device, device.buffer);
  std::vector<int16_t> buffer(2 * device.buffer);
  size_t press = 0;
  bool down = false, up = false, begun = false;
  Tone tone;
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
    FillBuffer(buffer.data(), 2 * device.buffer, &g);
    tone.Heard(buffer, device.buffer, g.params);
    if (down && !begun && g.sounding) {
      begun = true;
      const double first = static_cast<double>((k + 1) * device.buffer - g.envelope.samplesSinceKeyDown);
      outcome.onsets.push_back(first - device.SampleAt(p.down) - ScheduleDelayFrames(g, device.buffer));
    }
    if (begun) tone.Watch(g, p);
    if (begun && !g.sounding) {  // the tone is over: the next press
      if (tone.fell) outcome.errors.push_back(tone.error);
      outcome.cut += tone.cut;
      outcome.runBack += !tone.fell && !tone.cut;
      tone = Tone{};
      ++press;
      down = up = begun = false;
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

namespace {

ToneGenerator* Install(int32_t rate, bool scheduled) {
  ToneGenerator* g = CreateToneGenerator();
  g->params.sampleRate = rate;
  // The fall outlasts the largest buffer; where it starts does not depend on it.
  ComputeToneParameters(*g, {3.0, 1000.0, 0.01, 0.1, scheduled});
  appState.toneGenerator = g;
  return g;
}

}  // namespace

int main(int argc, char** argv) {
  const int trials = argc > 1 ? std::atoi(argv[1]) : 2000;
  ResetKeyClock();
  std::mt19937_64 random(20261208);
  std::uniform_real_distribution<double> held(0.020, 0.500), phase(0.0, 1.0);

  std::printf("Error in samples: (first sample to start of fall) - (key-down time); %d key presses per row,\n"
              "1000 Hz, rise 10 ms. Expected: not below -(half a wave + 1), not above one buffer. cut: tones\n"
              "that end abruptly; back: presses released before their rise was produced, whose rise ran\n"
              "back down (not in the error).\n\n",
              trials);
  std::printf("%6s %6s %5s %5s | %8s %8s %8s %8s | %6s %6s %s | %9s %9s %9s %9s\n", "rate", "buffer", "cut",
              "back", "mean", "p95", "min", "max", "lowest", "highest", "  ", "switched", "p95", "min", "max");
  for (const int32_t rate : {44100, 48000}) {
    ToneGenerator* g = Install(rate, false);
    for (uint32_t buffer = 32; buffer <= 4096; buffer *= 2) {
      const double period = static_cast<double>(buffer) / rate;
      std::vector<double> errors, switched;
      int cut = 0, runBack = 0;
      for (int t = 0; t < trials; ++t) {
        const KeyPress press{period * (1.0 + phase(random)), held(random)};
        const Outcome outcome = Play(*g, buffer, press);
        switched.push_back(outcome.switchedError);
        cut += outcome.tone.cut;
        if (outcome.tone.fell) {
          errors.push_back(outcome.tone.error);
        } else {
          runBack += !outcome.tone.cut;
        }
      }
      const Summary e = Summarise(errors), s = Summarise(switched);
      const double lowest = -(g->params.WaveLength / 2 + 1), highest = buffer;
      const bool within = cut == 0 && (errors.empty() || (e.min >= lowest && e.max <= highest));
      std::printf("%6d %6u %5d %5d | %8.2f %8.2f %8.2f %8.2f | %6.2f %6.0f %s | %9.2f %9.2f %9.2f %9.2f\n", rate,
                  buffer, cut, runBack, e.mean, e.p95, e.min, e.max, lowest, highest, within ? "ok" : "!!", s.mean,
                  s.p95, s.min, s.max);
    }
    appState.toneGenerator = nullptr;
    DestroyToneGenerator(g);
  }

  std::printf("\nScheduled timing, the same key-down times; onset: first sample less (the key-down's sample\n"
              "plus the delay stated), in samples. Expected: error within a sample of -(half a wave), no cut.\n\n");
  std::printf("%6s %6s %5s %5s | %8s %8s %8s %8s | %6s %6s %s | %8s | %9s %9s\n", "rate", "buffer", "cut", "back",
              "mean", "p95", "min", "max", "lowest", "highest", "  ", "delay ms", "onset med", "spread");
  for (const int32_t rate : {44100, 48000}) {
    for (uint32_t buffer = 32; buffer <= 4096; buffer *= 2) {
      ToneGenerator* g = Install(rate, true);
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
      const double half = g->params.WaveLength / 2;
      const bool within = outcome.cut == 0 && e.min >= -half - 1 && e.max <= -half + 1;
      std::printf("%6d %6u %5d %5d | %8.2f %8.2f %8.2f %8.2f | %6.2f %6.2f %s | %8.3f | %9.2f %9.2f\n", rate,
                  buffer, outcome.cut, outcome.runBack, e.mean, e.p95, e.min, e.max, -half - 1, -half + 1,
                  within ? "ok" : "!!", 1000.0 * ScheduleDelayFrames(*g, buffer) / rate, onsets[onsets.size() / 2],
                  o.max - o.min);
      appState.toneGenerator = nullptr;
      DestroyToneGenerator(g);
    }
  }
  return 0;
}
