#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tone_fixture.h"

namespace {

constexpr uint32_t kMicros100ms = 100000;

using Envelope = ToneTest;

// Every tone starts from its own key-down, whatever the one before it did.
TEST_F(Envelope, FirstSamplesOfAToneInBothHalves) {
  enum Before { kNothing, kFinishedTone, kRiseRunBack };
  for (const Before before : {kNothing, kFinishedTone, kRiseRunBack}) {
    SCOPED_TRACE(before);
    ToneGenerator& g = Install({});
    if (before != kNothing) {
      Down();
      Fill(before == kFinishedTone ? 1000 : 100);
      Up(before == kFinishedTone ? kMicros100ms : 2000);  // else released during the rise
      PlayToEnd();
    }
    Down();
    EXPECT_EQ(Fill(8), (std::vector<int16_t>{0, 0, 1, 2, 4, 8, 12, 17}));
    EXPECT_EQ(g.envelope.samplesSinceKeyDown, 8u);
  }
}

TEST_F(Envelope, WithoutARiseTheFirstSampleHasFullLevel) {
  for (const uint32_t rise : {0u, 1u}) {
    ToneGenerator& g = Install({});
    g.params.dwTotalRiseTimeSamples = rise;
    Down();
    const int16_t full = static_cast<int16_t>(std::sin(g.params.phaseIncrement) * g.params.amplitude);
    EXPECT_EQ(Fill(1)[0], full) << rise;
  }
}

// The working level belongs to one call: after the last rise step it keeps
// the rise's last value to the end of the call, and the next call begins at
// the full amplitude.
TEST_F(Envelope, LevelAfterTheRiseHoldsUntilTheCallEnds) {
  const ToneParameters& g = Install({}).params;
  const uint32_t rise = g.dwTotalRiseTimeSamples;
  const double lastRiseLevel = (0.5 - 0.5 * std::cos(6.283185307179586 * (rise - 1) / (2.0 * rise - 1))) * g.amplitude;
  EXPECT_NEAR(lastRiseLevel / g.amplitude, 0.99999682, 1e-8);
  Down();
  const std::vector<int16_t> first = Fill(rise + 300);
  const std::vector<int16_t> second = Fill(300);
  double phase = 0.0;
  int distinguishing = 0;
  for (uint32_t i = 0; i < rise + 600; ++i) {
    phase += g.phaseIncrement;
    if (i < rise - 1) continue;
    const bool inFirst = i < rise + 300;
    const int16_t held = static_cast<int16_t>(std::sin(phase) * lastRiseLevel);
    const int16_t full = static_cast<int16_t>(std::sin(phase) * g.amplitude);
    distinguishing += held != full;
    EXPECT_EQ(inFirst ? first[i] : second[i - rise - 300], inFirst ? held : full) << i;
  }
  EXPECT_GT(distinguishing, 10);  // the check can tell the two levels apart
}

TEST_F(Envelope, ReleaseSampleFromTheKeyDownTime) {
  const struct {
    uint32_t micros, releaseSample;
  } cases[] = {
      {kMicros100ms, 4388},  // 4410 samples less half a wave
      {522, 1},              // 23 samples: just over half a wave
      {499, 22},             // 22 samples: not more than half a wave, kept whole
      {400, 18},             // a short key-down
      {11, 0},               // rounds to 0 samples
  };
  for (const auto& c : cases) {
    ToneGenerator& g = Install({.riseTime = 0.0});
    Down();
    Fill(1);
    Up(c.micros);
    Fill(1);
    EXPECT_EQ(g.envelope.releaseSample, c.releaseSample) << c.micros;
    EXPECT_TRUE(g.sounding);
  }
}

// A whole tone, released after its rise and before the release sample: where
// the fall begins, how long it is, where the stop test begins, and the sample
// that ends the tone: the first from there on whose sine is not negative.
TEST_F(Envelope, WholeTones) {
  const struct {
    const char* name;
    ToneSettings tone;
    uint32_t micros, releaseSample, fallLength, stopTest, lastSample;
  } cases[] = {
      // A whole number of cycles: the running phase ends just short of it, so
      // the sine at the stop test's first sample is still negative.
      {"44100", {.sampleRate = 44100}, kMicros100ms, 4388, 463, 4851, 4852},   // 110 cycles
      {"48000", {.sampleRate = 48000}, kMicros100ms, 4776, 504, 5280, 5281},   // 110 cycles
      {"boundary", {.sampleRate = 48000}, 100500, 4800, 480, 5280, 5281},      // nothing added
      {"no fall", {.sampleRate = 48000, .fallTime = 0.0}, kMicros100ms, 4776, 24, 4800, 4801},  // 100 cycles
      // 67 cycles of 73.5 samples end half a sample after the stop test begins.
      {"600 Hz", {.sampleRate = 44100, .frequency = 600.0}, 102000, 4462, 462, 4924, 4925},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ToneGenerator& g = Install(c.tone);
    Down();
    Fill(1000);
    Up(c.micros);
    EXPECT_EQ(PlayToFall(), c.releaseSample + 1);
    EXPECT_EQ(g.envelope.releaseSample, c.releaseSample);
    EXPECT_EQ(g.envelope.fallLength, c.fallLength);
    EXPECT_EQ(c.releaseSample + c.fallLength, c.stopTest);
    EXPECT_EQ(PlayToEnd(), c.lastSample);
    EXPECT_GE(std::sin(g.envelope.phase), 0.0);
    EXPECT_GT(g.buffersPlayed, 0u);
  }
}

// Without a fall the tone keeps its full level up to the cycle boundary and
// ends there, at a zero crossing.
TEST_F(Envelope, WithoutAFallTheLevelHoldsToTheBoundary) {
  Install({.sampleRate = 48000, .fallTime = 0.0});
  Down();
  Fill(1000);
  Up(kMicros100ms);
  const std::vector<int16_t> rest = Fill(4000);  // samples 1001 to 5000
  const auto sample = [&](uint32_t number) { return rest[number - 1001]; };
  int16_t peak = 0;
  for (uint32_t n = 4777; n < 4800; ++n) peak = std::max<int16_t>(peak, std::abs(sample(n)));
  EXPECT_GT(peak, 23000);
  for (uint32_t n = 4801; n <= 5000; ++n) ASSERT_EQ(sample(n), 0) << n;
  EXPECT_LE(std::abs(sample(4800)), 1);
}

// The fall runs the rise's shape backwards: the tone's peaks go down wave
// after wave, and its last samples are nearly silent.
TEST_F(Envelope, TheFallFadesTheTone) {
  Install({});
  Down();
  Fill(1000);
  Up(kMicros100ms);
  const std::vector<int16_t> rest = Fill(4000);  // samples 1001 to 5000
  const auto peakOfWaveFrom = [&](uint32_t first) {
    int peak = 0;
    for (uint32_t n = first; n < first + 45; ++n) peak = std::max(peak, std::abs(int{rest[n - 1001]}));
    return peak;
  };
  int previous = 32767;
  for (uint32_t first = 4389 + 50; first < 4851 - 45; first += 50) {
    EXPECT_LT(peakOfWaveFrom(first), previous) << first;
    previous = peakOfWaveFrom(first);
  }
  for (uint32_t n = 4841; n <= 4850; ++n) EXPECT_LT(std::abs(rest[n - 1001]), 30) << n;
  for (uint32_t n = 4853; n <= 5000; ++n) ASSERT_EQ(rest[n - 1001], 0) << n;
}

TEST_F(Envelope, LateReleaseFallsAtTheNextSample) {
  ToneGenerator& g = Install({});
  Down();
  Fill(5000);
  Up(kMicros100ms);
  EXPECT_EQ(PlayToFall(), 5001u);
  EXPECT_EQ(g.envelope.fallLength, 441u + 27u);  // stretched from 5441 to the boundary at 5468.4
}

// Silent calls write count zeros and change nothing; calls during a tone too
// short for a pair write no sample but a last odd value of 0, and count.
// Nothing is written past count.
TEST_F(Envelope, BufferEdges) {
  const int16_t guard = 0x5A5A;
  const struct {
    bool sounding;
    uint32_t count;
    std::vector<int16_t> written;
  } cases[] = {
      {false, 0, {}},
      {false, 1, {0}},
      {false, 5, {0, 0, 0, 0, 0}},
      // After the tone's first sample, 0: the next ones are 0, 1, 2.
      {true, 0, {}},
      {true, 1, {0}},
      {true, 2, {0, 0}},
      {true, 7, {0, 1, 2, 0, 1, 2, 0}},  // three pairs, and the odd value
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.count) + (c.sounding ? " sounding" : " silent"));
    ToneGenerator& g = Install({});
    if (c.sounding) {
      Down();
      Fill(1);
    }
    std::vector<int16_t> buffer(c.count + 4, guard);
    FillBuffer(buffer.data(), c.count, &g);
    EXPECT_EQ(std::vector<int16_t>(buffer.begin(), buffer.begin() + c.count), c.written);
    EXPECT_EQ(std::vector<int16_t>(buffer.begin() + c.count, buffer.end()), std::vector<int16_t>(4, guard));
    EXPECT_EQ(g.buffersPlayed, c.sounding ? 2u : 0u);
    EXPECT_EQ(g.envelope.samplesSinceKeyDown, c.sounding ? 1 + c.count / 2 : 0u);
    if (!c.sounding) {
      EXPECT_EQ(g.envelope.phase, 0.0);
    }
  }
}

// A negative attenuation asks for more than 16 bits: the samples saturate
// with the sine's sign instead of wrapping to the other one. At 0 dB the peak
// is 32767 and nothing saturates.
TEST_F(Envelope, LoudTonesSaturate) {
  const struct {
    double attenuation;
    int16_t highest, lowest;
  } cases[] = {
      {-6.0, 32767, -32768},
      {0.0, 32766, -32766},
  };
  for (const auto& c : cases) {
    ToneGenerator& g = Install({.riseTime = 0.0, .attenuation = c.attenuation});
    Down();
    const std::vector<int16_t> samples = Fill(4410);
    double phase = 0.0;
    for (const int16_t s : samples) {
      phase += g.params.phaseIncrement;
      ASSERT_GE(s * std::sin(phase), 0.0) << "sign flipped at " << s;
    }
    EXPECT_EQ(*std::max_element(samples.begin(), samples.end()), c.highest) << c.attenuation;
    EXPECT_EQ(*std::min_element(samples.begin(), samples.end()), c.lowest) << c.attenuation;
  }
}

// Settings in which the formulas mean nothing: every step stays defined (the
// sanitizer builds check that), and a released tone still ends.
TEST_F(Envelope, OutOfRangeSettingsStillEndTheTone) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    const char* name;
    ToneSettings tone;
    bool silent;
  } cases[] = {
      {"frequency 0", {.frequency = 0.0}, true},
      {"frequency NaN", {.frequency = std::nan("")}, true},
      {"negative frequency", {.frequency = -1000.0}, false},
      {"frequency beyond the sample rate", {.frequency = 1e9}, false},
      {"sample rate 0", {.sampleRate = 0}, true},
      {"sample rate taken unsigned", {.sampleRate = -1}, true},  // a rise of 42949672 samples
      {"attenuation -inf", {.attenuation = -inf}, false},
      {"attenuation NaN", {.attenuation = std::nan("")}, true},
      {"huge rise", {.riseTime = 1e12}, true},
      {"infinite rise and fall", {.riseTime = inf, .fallTime = inf}, false},
      {"huge fall", {.fallTime = 1e300}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ToneGenerator& g = Install(c.tone);
    Down();
    const std::vector<int16_t> samples = Fill(2000);
    const bool allZero = std::all_of(samples.begin(), samples.end(), [](int16_t s) { return s == 0; });
    EXPECT_EQ(allZero, c.silent);
    Up(10);
    EXPECT_NE(PlayToEnd(200000), 0u);
    EXPECT_FALSE(g.sounding);
  }
}

}  // namespace
