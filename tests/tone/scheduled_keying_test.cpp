// Both key timings on a simulated buffer clock: fill calls at the device's
// pace (which drifts against the counter), woken late now and then, sometimes
// two at a time; key presses at random moments between them, through the
// real keying controller.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
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
  double late = 0.0;  // how long after their stamps its edges reach the keying controller
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
    tone.scheduled = true;
    return Install(tone);
  }

  // The whole output (one half of every buffer) while the presses are keyed.
  std::vector<int16_t> Play(ToneGenerator& g, const SimulatedDevice& device, const std::vector<Press>& presses,
                            unsigned seed) {
    struct Edge {
      double stamp, queued;
      bool down;
    };
    std::vector<Edge> edges;
    for (const Press& p : presses) {
      const double up = p.down + p.held;
      edges.insert(edges.end(), {{p.down, p.down + p.late, true}, {up, up + p.late, false}});
    }
    std::stable_sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) { return a.queued < b.queued; });
    const double end = edges.back().queued + 0.5;
    FillCalls calls(device, seed);
    std::vector<int16_t> buffer(2 * device.buffer), output;
    size_t nextEdge = 0;
    for (uint64_t k = 0; device.TimeOfSample(static_cast<double>(k) * device.buffer) < end; ++k) {
      const double call = calls.Next(k);
      for (; nextEdge < edges.size() && edges[nextEdge].queued < call; ++nextEdge) {
        counter.now = Ticks(edges[nextEdge].stamp);
        edges[nextEdge].down ? KeyDown() : KeyUp();
      }
      counter.now = Ticks(call);
      FillBuffer(buffer.data(), 2 * device.buffer, &g);
      output.insert(output.end(), buffer.begin(), buffer.begin() + device.buffer);
    }
    return output;
  }
};

// A lone tone keyed for `micros` in the immediate timing, released at full
// level: what every scheduled tone of that key-down time must sound like.
std::vector<int16_t> LoneTone(const ToneSettings& tone, uint32_t micros) {
  ToneGenerator* g = CreateToneGenerator();
  g->params.sampleRate = tone.sampleRate;
  ComputeToneParameters(*g, {tone.attenuation, tone.frequency, tone.riseTime, tone.fallTime, false});
  std::vector<int16_t> samples;
  int16_t pair[2];
  const auto play = [&] {
    FillBuffer(pair, 2, g);
    samples.push_back(pair[0]);
  };
  g->edges.Push({counter.now, true});
  do play(); while (g->envelope.state == EnvelopeState::kRising);
  g->edges.Push({counter.now + int64_t{micros} * 10, false});
  while (g->sounding) play();
  DestroyToneGenerator(g);
  return samples;
}

size_t FirstSound(const std::vector<int16_t>& samples, size_t from) {
  return static_cast<size_t>(
      std::find_if(samples.begin() + from, samples.end(), [](int16_t s) { return s != 0; }) - samples.begin());
}

// At buffers from 32 to 4096 samples: every tone starts one fixed delay after
// its key-down's sample (within a sample) and is, sample for sample, the tone
// of its key-down time, so its fall begins where that time says. The delay
// is a buffer, 1 ms (48 samples) and half a wave (24), also when calls come
// early.
TEST_F(ScheduledKeying, EveryToneIsItsKeyDownTimeAtOneDelay) {
  const struct {
    uint32_t buffer;
    double stallAt, stall, early;
    uint32_t delay;
  } cases[] = {
      {32, 1e9, 0.0, 0.0, 104},
      {128, 1e9, 0.0, 0.0008, 200},
      {512, 12.0, 0.3, 0.0, 584},             // a stall that moved the pace
      {1024, 12.0, 1024 / 48000.0, 0.0, 1096},  // an underrun: one period
      {4096, 1e9, 0.0, 0.0, 4168},
  };
  const ToneSettings tone{.sampleRate = 48000};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.buffer);
    ToneGenerator& g = InstallScheduled(tone);
    const SimulatedDevice device{.buffer = c.buffer, .stallAt = c.stallAt, .stall = c.stall, .early = c.early};
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
      lateness.push_back(static_cast<double>(onset) - device.SampleAt(p.down) - c.delay);
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

// In both timings, at buffers of 32 and 4096 samples: a press shorter than
// the rise, released during its rise or before its first sample, and bursts
// faster than the delay, some with gaps shorter than the fall. Each press
// gives a tone of its own, and the level never steps further than the rise
// does. The short press runs its rise back down where its key-up takes
// effect: at its own length in the scheduled timing, at most a buffer later
// in the immediate one, and exactly there when one call meets both edges.
TEST_F(ScheduledKeying, ShortPressesAndBurstsGiveOneToneEachWithoutAClick) {
  const ToneSettings tone{.sampleRate = 48000, .frequency = 12000.0};
  std::vector<Press> presses{{20.0, 0.003}};
  for (double t = 20.1; t < 20.2; t += 0.019) presses.push_back({t, 0.015});  // gaps of 4 ms
  for (double t = 20.3; t < 20.5; t += 0.037) presses.push_back({t, 0.012});  // gaps of 25 ms
  for (const bool scheduled : {false, true}) {
    for (const uint32_t buffer : {32u, 4096u}) {
      SCOPED_TRACE(std::string(scheduled ? "scheduled, " : "immediate, ") + std::to_string(buffer));
      ToneGenerator& g = Install({.sampleRate = tone.sampleRate, .frequency = tone.frequency, .scheduled = scheduled});
      const std::vector<int> levels = Levels(Play(g, SimulatedDevice{.buffer = buffer}, presses, buffer));
      const double riseStep = g.params.amplitude * 3.141592653589793 / (2.0 * g.params.dwTotalRiseTimeSamples - 1.0);
      int largestStep = 0;
      for (size_t i = 1; i < levels.size(); ++i) largestStep = std::max(largestStep, std::abs(levels[i] - levels[i - 1]));
      EXPECT_LE(largestStep, 2 * riseStep + 2);  // two samples a pair, and the truncation
      EXPECT_EQ(Tones(levels), static_cast<int>(presses.size()));

      // The short press: its levels read the same backwards, and it ends at 0.
      // It turns back its key-down time, less half a wave, after it began
      // (give or take the few steps too quiet to show).
      const auto begun = std::find_if(levels.begin(), levels.end(), [](int level) { return level != 0; });
      const auto end = std::find(begun, levels.end(), 0);
      ASSERT_GT(end - begun, 50);
      for (auto up = begun, down = end - 1; up < down; ++up, --down) ASSERT_LE(std::abs(*up - *down), 1);
      const auto turn = 2 * (std::max_element(begun, end) - begun);
      const auto own = 144 - 2;
      EXPECT_GE(turn, own - 4);
      EXPECT_LE(turn, own + 4 + (scheduled || buffer == 4096 ? 0 : buffer));
    }
  }
}

// One rule of the schedule a row, on a punctual device whose clock is exact
// from its first call: 48000 Hz, 128 samples a buffer, a 1000 Hz tone and so
// a delay of 200 samples. Each row gives where the first tone starts and from
// which sample on all is silence.
TEST_F(ScheduledKeying, EdgeRules) {
  const auto at = [](double sample) { return sample / 48000.0; };
  // While a tone sounds, 69 edges within a buffer period, the last a key-up:
  // more than the queue holds.
  std::vector<Press> overflow{{1.0, 1.0}};
  for (int i = 0; i < 35; ++i) overflow.push_back({1.5 + i * 20e-6, 10e-6});
  const struct {
    const char* name;
    std::vector<Press> presses;
    double stallAt, stall;
    size_t firstSample;  // of the first tone; SIZE_MAX for none
    size_t silentFrom;
  } cases[] = {
      {"0.4 samples past a sample", {{at(48000.4), 0.1}}, 1e9, 0.0, 48200, 60000},
      {"0.6 samples past: one sample later", {{at(48000.6), 0.1}}, 1e9, 0.0, 48201, 60000},
      // The clock still takes the stall's calls for the old pace.
      {"keyed during a 0.3 s stall: at most a buffer and the delay into the first call after",
       {{1.1, 0.5}}, 1.0, 0.3, 48000 + 128 + 200, 80000},
      {"due 10 samples before the call that meets it: from that call's first sample",
       {{at(127790), 0.1, at(209)}}, 1e9, 0.0, 128000, 140000},
      {"met 0.3 s after it ended: not at all", {{at(113500), 0.001, 0.3}}, 1e9, 0.0, SIZE_MAX, 0},
      {"met 0.3 s late and still held: from that call's first sample", {{at(113500), 1.0, 0.3}}, 1e9, 0.0,
       128000, 180000},
      // The call after the burst, at sample 72064, falls at once.
      {"a full queue, the key left up: released at once", overflow, 1e9, 0.0, 48200, 72064 + 480 + 3 * 48},
  };
  const ToneSettings tone{.sampleRate = 48000};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ToneGenerator& g = InstallScheduled(tone);
    const SimulatedDevice device{.drift = 0.0, .stallAt = c.stallAt, .stall = c.stall, .punctual = true};
    const std::vector<int16_t> output = Play(g, device, c.presses, 1);
    const Press& first = c.presses.front();
    const uint32_t micros = MicrosBetween(Ticks(first.down), Ticks(first.down + first.held), CounterDouble::kFrequency);
    const size_t sound = FirstSound(output, 0);
    EXPECT_EQ(sound == output.size() ? SIZE_MAX : sound - FirstSound(LoneTone(tone, micros), 0), c.firstSample);
    ASSERT_LT(c.silentFrom, output.size());
    EXPECT_EQ(FirstSound(output, c.silentFrom), output.size());
  }
}

// The model's period keeps within 1 % of the nominal one, however far the
// calls' pace strays from it.
TEST(SampleClock, PeriodStaysNearTheNominal) {
  const double nominal = 128 * 1e7 / 48000;
  for (const double pace : {0.0, 0.5, 2.0}) {  // calls at one counter value; twice as fast; half as fast
    SampleClock clock{};
    for (int call = 0; call < 20000; ++call) {
      AdvanceSampleClock(clock, std::llround(call * pace * nominal), 128, 48000, 1e7);
    }
    EXPECT_GE(clock.period, 0.99 * nominal - 1e-6) << pace;
    EXPECT_LE(clock.period, 1.01 * nominal + 1e-6) << pace;
  }
}

}  // namespace
