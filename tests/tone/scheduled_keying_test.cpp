// Scheduled keying on a simulated buffer clock: fill calls at the device's
// pace (which drifts against the counter), woken late now and then, sometimes
// two at a time; key presses at random moments between them, through the
// real keying controller.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "counter_double.h"
#include "lamp_double.h"
#include "simulated_device.h"
#include "tone/key_clock.h"
#include "tone/key_schedule.h"
#include "tone/keying.h"
#include "tone_fixture.h"

namespace {

struct Press {
  double down, held;  // seconds
};

int64_t Ticks(double seconds) { return std::llround(seconds * CounterDouble::kFrequency); }

class ScheduledKeying : public ToneTest {
 protected:
  void SetUp() override {
    counter.now = 0;
    ResetKeyClock();
    lamp.Reset();
  }

  ToneGenerator& InstallScheduled(ToneSettings tone) {
    settings.keyTiming = KeyTiming::Scheduled;
    return Install(tone);
  }

  // The whole output (one half of every buffer) while the presses are keyed.
  std::vector<int16_t> Play(ToneGenerator& g, const SimulatedDevice& device, const std::vector<Press>& presses,
                            unsigned seed) {
    struct Edge {
      double time;
      bool down;
    };
    std::vector<Edge> edges;
    for (const Press& p : presses) edges.insert(edges.end(), {{p.down, true}, {p.down + p.held, false}});
    const double end = edges.back().time + 0.5;
    FillCalls calls(device, seed);
    std::vector<int16_t> buffer(2 * device.buffer), output;
    size_t nextEdge = 0;
    for (uint64_t k = 0; device.TimeOfSample(static_cast<double>(k) * device.buffer) < end; ++k) {
      const double call = calls.Next(k);
      for (; nextEdge < edges.size() && edges[nextEdge].time < call; ++nextEdge) {
        counter.now = Ticks(edges[nextEdge].time);
        edges[nextEdge].down ? KeyDown() : KeyUp();
      }
      counter.now = Ticks(call);
      FillScheduled(buffer.data(), 2 * device.buffer, &g);
      output.insert(output.end(), buffer.begin(), buffer.begin() + device.buffer);
    }
    return output;
  }
};

// A lone tone keyed for `micros` in the immediate timing, released at full
// level: what every scheduled tone of that key-down time must sound like.
std::vector<int16_t> LoneTone(const ToneSettings& tone, uint32_t micros) {
  ToneGenerator* g = CreateToneGenerator();
  g->sampleRate = tone.sampleRate;
  settings.keyTiming = KeyTiming::Immediate;
  ComputeToneParameters(*g);
  ToneGenerator* installed = appState.toneGenerator;
  appState.toneGenerator = g;
  std::vector<int16_t> samples;
  int16_t pair[2];
  StartTone();
  while (g->rising) {
    FillBuffer(pair, 2, g);
    samples.push_back(pair[0]);
  }
  ReleaseTone(micros);
  while (g->sounding) {
    FillBuffer(pair, 2, g);
    samples.push_back(pair[0]);
  }
  appState.toneGenerator = installed;
  DestroyToneGenerator(g);
  return samples;
}

size_t FirstSound(const std::vector<int16_t>& samples, size_t from) {
  return static_cast<size_t>(
      std::find_if(samples.begin() + from, samples.end(), [](int16_t s) { return s != 0; }) - samples.begin());
}

// At buffers from 32 to 4096 samples: every tone starts one fixed delay after
// its key-down's sample (within a sample) and is, sample for sample, the tone
// of its key-down time, so its fall begins where that time says.
TEST_F(ScheduledKeying, EveryToneIsItsKeyDownTimeAtOneDelay) {
  const struct {
    uint32_t buffer;
    double stallAt, stall;
  } cases[] = {
      {32, 1e9, 0.0},
      {512, 12.0, 0.3},            // a stall that moved the pace
      {1024, 12.0, 1024 / 48000.0},  // an underrun: one period
      {4096, 1e9, 0.0},
  };
  const ToneSettings tone{.sampleRate = 48000};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.buffer);
    ToneGenerator& g = InstallScheduled(tone);
    const SimulatedDevice device{.buffer = c.buffer, .stallAt = c.stallAt, .stall = c.stall};
    // The clock settles for 20 s; after the stall it moves with the first
    // 16 calls, and the presses wait as long again.
    std::mt19937 random(c.buffer);
    std::uniform_real_distribution<double> held(0.03, 0.3), gap(0.03, 0.2);
    std::vector<Press> presses;
    for (double t = 20.0; presses.size() < 40;) {
      const Press p{t, held(random)};
      if (p.down + p.held < c.stallAt || p.down > c.stallAt + c.stall + 20.0 * c.buffer / 48000 + 0.5) {
        presses.push_back(p);
      }
      t = p.down + p.held + gap(random);
    }
    const std::vector<int16_t> output = Play(g, device, presses, c.buffer + 1);

    const uint32_t delay = ScheduleDelaySamples(g, c.buffer);
    std::vector<double> lateness;
    size_t from = static_cast<size_t>(device.SampleAt(presses.front().down)) + 1;
    for (const Press& p : presses) {
      const uint32_t micros = MicrosBetween(Ticks(p.down), Ticks(p.down + p.held), CounterDouble::kFrequency);
      const std::vector<int16_t> lone = LoneTone(tone, micros);
      const size_t onset = FirstSound(output, from) - FirstSound(lone, 0);
      ASSERT_LT(onset + lone.size(), output.size());
      for (size_t i = 0; i < lone.size(); ++i) {
        // The level held after a rise ends at a call's end differs by a few
        // millionths from the full one; nothing else may differ.
        ASSERT_LE(std::abs(output[onset + i] - lone[i]), 1) << "press at " << p.down << " s, sample " << i;
      }
      lateness.push_back(static_cast<double>(onset) - device.SampleAt(p.down) - delay);
      from = onset + lone.size();
    }
    std::sort(lateness.begin(), lateness.end());
    const double median = lateness[lateness.size() / 2];
    EXPECT_LE(lateness.back() - median, 1.0);
    EXPECT_LE(median - lateness.front(), 1.0);
    EXPECT_LE(std::fabs(median), 2.0) << "the delay stated is the delay heard";
  }
}

// A tone of a quarter of the sample rate has a sine of ±1 on every other
// sample and 0 between, so the larger of each pair of samples is the level.
std::vector<int> Levels(const std::vector<int16_t>& samples) {
  std::vector<int> levels;
  for (size_t i = 0; i + 1 < samples.size(); i += 2) {
    levels.push_back(std::max(std::abs(int{samples[i]}), std::abs(int{samples[i + 1]})));
  }
  return levels;
}

// Each tone rises to one peak and falls from it; the peaks are counted where
// the level, once it has risen, turns down.
int Tones(const std::vector<int>& levels) {
  int tones = 0;
  bool rising = false;
  for (size_t i = 1; i < levels.size(); ++i) {
    if (levels[i] > levels[i - 1]) rising = true;
    if (levels[i] < levels[i - 1] && rising) {
      ++tones;
      rising = false;
    }
  }
  return tones;
}

// A press shorter than the rise, and bursts faster than the delay, some with
// gaps shorter than the fall: each press gives a tone of its own, and the
// level never steps further than the rise does, whether the key-up is known
// before the tone starts (large buffers) or comes during its rise (small).
TEST_F(ScheduledKeying, ShortPressesAndBurstsGiveOneToneEachWithoutAClick) {
  const ToneSettings tone{.sampleRate = 48000, .frequency = 12000.0};
  std::vector<Press> presses{{20.0, 0.003}};
  for (double t = 20.1; t < 20.2; t += 0.019) presses.push_back({t, 0.015});  // gaps of 4 ms
  for (double t = 20.3; t < 20.5; t += 0.037) presses.push_back({t, 0.012});  // gaps of 25 ms
  for (const uint32_t buffer : {32u, 4096u}) {
    SCOPED_TRACE(buffer);
    ToneGenerator& g = InstallScheduled(tone);
    const std::vector<int> levels = Levels(Play(g, SimulatedDevice{.buffer = buffer}, presses, buffer));
    const double riseStep = g.amplitude * 3.141592653589793 / (2.0 * g.dwTotalRiseTimeSamples - 1.0);
    int largestStep = 0;
    for (size_t i = 1; i < levels.size(); ++i) largestStep = std::max(largestStep, std::abs(levels[i] - levels[i - 1]));
    EXPECT_LE(largestStep, 2 * riseStep + 2);  // two samples a pair, and the truncation
    EXPECT_EQ(Tones(levels), static_cast<int>(presses.size()));
  }
}

}  // namespace
