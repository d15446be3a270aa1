// Key sides and the audio thread racing each other: both key sources and the
// audio thread at once for a few seconds. Meant for the ThreadSanitizer build
// too, and a check of the keying and its queue under every interleaving they
// meet.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "lamp_double.h"
#include "tone/key_clock.h"
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
// would, and counts the calls whose halves differ.
class AudioThread {
 public:
  explicit AudioThread(ToneGenerator& generator)
      : thread_([this, &generator] {
          std::vector<int16_t> buffer(kBufferCount);
          while (!stop_.load()) {
            FillBuffer(buffer.data(), kBufferCount, &generator);
            if (!std::equal(buffer.begin(), buffer.begin() + kBufferCount / 2, buffer.begin() + kBufferCount / 2)) {
              ++unequalHalves_;
            }
          }
        }) {}
  ~AudioThread() {
    stop_ = true;
    thread_.join();
  }
  int UnequalHalves() const { return unequalHalves_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> unequalHalves_{0};
  std::thread thread_;
};

using KeyingStress = ToneTest;

// In both key timings: every round of edges ends with the key up, the lamp
// out, and, once the audio thread has met the last edge, silence.
TEST_F(KeyingStress, TwoKeySourcesAndTheAudioThread) {
  for (const bool scheduled : {false, true}) {
    SCOPED_TRACE(scheduled ? "scheduled" : "immediate");
    ResetKeyClock();
    lamp.Reset();
    ToneGenerator& g = Install({.scheduled = scheduled});
    AudioThread audio(g);
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
      const auto wait = Clock::now() + std::chrono::seconds(2);
      while ((g.sounding || g.edges.Front() != nullptr) && Clock::now() < wait) std::this_thread::yield();
      ASSERT_FALSE(g.sounding) << "a tone outlived its key-up, round " << rounds;
    }
    EXPECT_EQ(audio.UnequalHalves(), 0);
    EXPECT_GT(rounds, 10);
  }
}

}  // namespace
