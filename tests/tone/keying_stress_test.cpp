// Key sides and the audio thread racing each other: both key sources and the
// audio thread at once for a few seconds, and tones started while a fill call
// runs on. Meant for the ThreadSanitizer build too, and a check of the keying
// and the envelope under every interleaving they meet.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "lamp_double.h"
#include "tone/key_clock.h"
#include "tone/key_schedule.h"
#include "tone/keying.h"
#include "tone_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kBufferCount = 256;  // values per fill call, both halves

void SpinFor(std::chrono::microseconds time) {
  const auto until = Clock::now() + time;
  while (Clock::now() < until) {
  }
}

// One key source: a burst of random edges, most of them back to back so
// that the two sources overlap often, ending with a key-up.
void KeyRandomly(unsigned seed, const std::atomic<bool>& go) {
  std::mt19937 random(seed);
  while (!go) {
  }
  const int edges = std::uniform_int_distribution<int>(1, 40)(random);
  for (int i = 0; i < edges; ++i) {
    random() % 2 ? KeyDown() : KeyUp();
    if (random() % 4 == 0) SpinFor(std::chrono::microseconds(random() % 100));
  }
  KeyUp();
}

// Runs FillBuffer back to back until stopped, as the audio library's thread
// would, and checks that a tone's count never runs ahead of the samples
// produced since its start was seen: the fall begins once the count reaches
// the release sample, so a count that ran ahead (a reset lost to a fill call
// running on) would make the tone shorter than its key-down time less half a
// wave.
class AudioThread {
 public:
  AudioThread(ToneGenerator& generator, void (*fill)(int16_t*, uint32_t, void*))
      : thread_([this, &generator, fill] {
          std::vector<int16_t> buffer(kBufferCount);
          uint32_t tone = generator.startSeen / kNextRequest, producedUpTo = 0;
          while (!stop_.load()) {
            const uint32_t played = generator.buffersPlayed.load();
            fill(buffer.data(), kBufferCount, &generator);
            if (!std::equal(buffer.begin(), buffer.begin() + kBufferCount / 2,
                            buffer.begin() + kBufferCount / 2)) {
              ++unequalHalves_;
            }
            if (generator.buffersPlayed.load() != played) {  // the call produced samples
              const uint32_t begun = generator.startSeen / kNextRequest;
              producedUpTo = begun == tone ? producedUpTo + kBufferCount / 2 : kBufferCount / 2;
              tone = begun;
              if (generator.samplesSinceKeyDown.load() > producedUpTo) ++countsAhead_;
            }
            ++calls_;
          }
        }) {}
  ~AudioThread() {
    stop_ = true;
    thread_.join();
  }
  uint64_t Calls() const { return calls_.load(); }
  int UnequalHalves() const { return unequalHalves_.load(); }
  int CountsAhead() const { return countsAhead_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> calls_{0};
  std::atomic<int> unequalHalves_{0};
  std::atomic<int> countsAhead_{0};
  std::thread thread_;
};

using KeyingStress = ToneTest;

// In both key timings; a scheduled tone may only begin after the last
// key-up, so the bound on its count is the immediate timing's alone.
TEST_F(KeyingStress, TwoKeySourcesAndTheAudioThread) {
  for (const KeyTiming timing : {KeyTiming::Immediate, KeyTiming::Scheduled}) {
    const bool scheduled = timing == KeyTiming::Scheduled;
    SCOPED_TRACE(scheduled ? "scheduled" : "immediate");
    ResetKeyClock();
    lamp.Reset();
    settings.keyTiming = timing;
    ToneGenerator& g = Install({});
    // From a key-up, a tone runs to its release sample (or on from where the
    // count is), through the fall stretched by less than a wave, and ends at
    // most one wave later; the fill call it ends in runs on to its end.
    const uint32_t afterRelease = g.dwCalculatedFallTimeSamples + 2 * (g.wholeWaveLength + 1) + kBufferCount / 2;

    AudioThread audio(g, scheduled ? FillScheduled : FillBuffer);
    const auto deadline = Clock::now() + std::chrono::milliseconds(1500);
    int rounds = 0;
    for (unsigned seed = 1; Clock::now() < deadline; seed += 2, ++rounds) {
      std::atomic<bool> go{false};
      std::thread line(KeyRandomly, seed, std::cref(go)), spaceBar(KeyRandomly, seed + 1, std::cref(go));
      go = true;
      line.join();
      spaceBar.join();

      ASSERT_FALSE(appState.keyed) << "round " << rounds;
      ASSERT_FALSE(lamp.lit) << "round " << rounds;
      const uint32_t bound = std::max(g.releaseSample.load(), g.samplesSinceKeyDown.load()) + afterRelease;
      const auto wait = Clock::now() + std::chrono::seconds(2);
      while ((g.sounding || g.schedule.edges.Front() != nullptr) && Clock::now() < wait) std::this_thread::yield();
      ASSERT_FALSE(g.sounding) << "a tone outlived its key-up, round " << rounds;
      const uint64_t calls = audio.Calls();
      while (audio.Calls() < calls + 2) std::this_thread::yield();  // the ending call is over
      if (!scheduled) {
        ASSERT_LE(g.samplesSinceKeyDown, bound) << "round " << rounds;
      }
    }
    EXPECT_EQ(audio.UnequalHalves(), 0);
    EXPECT_EQ(audio.CountsAhead(), 0);
    EXPECT_GT(rounds, 10);
  }
}

// A long fill call runs on after its tone ended, and another thread starts
// the next tone as soon as `sounding` drops. The new tone's count and phase
// start from its own first sample: from there on the call writes exactly a
// lone tone's samples, and the count is the number it wrote.
TEST_F(KeyingStress, ToneStartedWhileAFillCallRunsOn) {
  constexpr uint32_t kCall = 50000;  // samples per half of the long call
  std::vector<int16_t> loneTone(kCall), fallingTone(kCall);
  const auto fill = [](std::vector<int16_t>& samples, ToneGenerator& g) {
    std::vector<int16_t> buffer(2 * samples.size());
    FillBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()), &g);
    std::copy_n(buffer.begin(), samples.size(), samples.begin());
  };
  // A tone at full level released at once: it falls and ends early in the next call.
  const auto releaseAtFullLevel = [&](ToneGenerator& g) {
    StartTone();
    std::vector<int16_t> rise(1000);
    fill(rise, g);
    ReleaseTone(0);
  };
  ToneGenerator& lone = Install({});
  StartTone();
  fill(loneTone, lone);
  releaseAtFullLevel(Install({}));
  fill(fallingTone, *appState.toneGenerator);
  const auto toneEnd = static_cast<std::size_t>(
      std::find_if(fallingTone.rbegin(), fallingTone.rend(), [](int16_t s) { return s != 0; }).base() -
      fallingTone.begin());

  int startedMidCall = 0;
  for (int restart = 0; restart < 200; ++restart) {
    ToneGenerator& g = Install({});
    releaseAtFullLevel(g);
    std::atomic<bool> waiting{false};
    std::thread keySide([&] {
      waiting = true;
      while (g.sounding.load()) {
      }
      StartTone();
    });
    std::vector<int16_t> samples(kCall);
    while (!waiting) {
    }
    fill(samples, g);
    keySide.join();

    const auto firstSound = std::find_if(samples.begin() + toneEnd, samples.end(), [](int16_t s) { return s != 0; });
    if (firstSound == samples.end()) {
      // The start came after the call, or in its last samples, still silent:
      // the next call goes on from the tone's own start.
      const uint32_t begun = g.startSeen == g.startRequest ? g.samplesSinceKeyDown.load() : 0;
      ASSERT_EQ(Fill(8), std::vector<int16_t>(loneTone.begin() + begun, loneTone.begin() + begun + 8)) << restart;
      continue;
    }
    ++startedMidCall;
    const std::size_t start = static_cast<std::size_t>(firstSound - samples.begin()) - 2;  // a tone opens 0, 0, 1
    ASSERT_TRUE(std::equal(samples.begin(), samples.begin() + start, fallingTone.begin())) << restart;
    ASSERT_TRUE(std::equal(samples.begin() + start, samples.end(), loneTone.begin())) << restart << " " << start;
    ASSERT_EQ(g.samplesSinceKeyDown, kCall - start) << restart;
  }
  std::printf("%d of 200 tones started during the fill call\n", startedMidCall);
}

}  // namespace
