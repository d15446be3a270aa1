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
#include <string>
#include <thread>
#include <vector>

#include "lamp_double.h"
#include "tone/key_clock.h"
#include "app/settings.h"
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

// The inputs one key source's thread reports: its edges, and how it lets go.
struct KeySource {
  std::vector<void (*)(bool down)> inputs;
};

void StraightKey(bool down) { down ? KeyDown() : KeyUp(); }
template <Paddle paddle, PaddleSource source>
void PaddleKey(bool down) {
  down ? PaddleDown(paddle, source) : PaddleUp(paddle, source);
}

// As the port monitor's thread and the window's would report them: the key
// line alone, or the space bar alone, for the straight key; both paddle
// lines, or the space bar and both paddle keys, for the keyer.
const KeySource kStraightSource{{StraightKey}};
const KeySource kLineSource{{PaddleKey<Paddle::Dit, PaddleSource::Line>, PaddleKey<Paddle::Dah, PaddleSource::Line>}};
const KeySource kKeyboardSource{{StraightKey, PaddleKey<Paddle::Dit, PaddleSource::Keyboard>,
                                 PaddleKey<Paddle::Dah, PaddleSource::Keyboard>}};

// One key source: a burst of random edges on its inputs, most of them back
// to back so that the two sources overlap often, ending with every input up.
void KeyRandomly(unsigned seed, const KeySource& source, const std::atomic<bool>& go) {
  std::mt19937 random(seed);
  while (!go) {
  }
  const int edges = std::uniform_int_distribution<int>(1, 40)(random);
  for (int i = 0; i < edges; ++i) {
    source.inputs[random() % source.inputs.size()](random() % 2 != 0);
    if (random() % 4 == 0) SpinFor(std::chrono::microseconds(random() % 100));
  }
  for (auto* input : source.inputs) input(false);
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

// True once no tone has sounded for 20 ms of fill calls back to back (far
// more samples than any elements the keyer may still owe), within 2 s.
bool FallsSilent(const ToneGenerator& g) {
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  auto quietSince = Clock::now();
  uint32_t played = g.buffersPlayed;
  while (Clock::now() < deadline) {
    if (g.sounding || g.edges.Front() != nullptr || g.buffersPlayed != played) {
      played = g.buffersPlayed;
      quietSince = Clock::now();
    } else if (Clock::now() - quietSince > std::chrono::milliseconds(20)) {
      return true;
    }
    std::this_thread::yield();
  }
  return false;
}

// In both key timings, for the straight key and the keyer: every round of
// edges ends with the key up, the lamp out, and, once the audio thread has
// met the last edge and the keyer has sent what it owed, silence.
TEST_F(KeyingStress, TwoKeySourcesAndTheAudioThread) {
  const struct {
    KeyerMode keyer;
    const KeySource &first, &second;
  } cases[] = {{KeyerMode::Straight, kStraightSource, kStraightSource},
               {KeyerMode::IambicB, kLineSource, kKeyboardSource},
               {KeyerMode::Bug, kLineSource, kKeyboardSource}};
  for (const auto& c : cases) {
    for (const bool scheduled : {false, true}) {
      SCOPED_TRACE(std::string(KeyerModeName(c.keyer)) + (scheduled ? " scheduled" : " immediate"));
      ResetKeyClock();
      lamp.Reset();
      ToneGenerator& g = Install({.scheduled = scheduled, .keyer = c.keyer, .keyerSpeed = 60});
      AudioThread audio(g);
      const auto deadline = Clock::now() + std::chrono::milliseconds(500);
      int rounds = 0;
      for (unsigned seed = 1; Clock::now() < deadline; seed += 2, ++rounds) {
        std::atomic<bool> go{false};
        std::thread first(KeyRandomly, seed, std::cref(c.first), std::cref(go)),
            second(KeyRandomly, seed + 1, std::cref(c.second), std::cref(go));
        go = true;
        first.join();
        second.join();

        ASSERT_FALSE(appState.keyed) << "round " << rounds;
        ASSERT_FALSE(lamp.lit) << "round " << rounds;
        ASSERT_TRUE(FallsSilent(g)) << "a tone outlived its key-up, round " << rounds;
      }
      EXPECT_EQ(audio.UnequalHalves(), 0);
      EXPECT_GT(rounds, 10);
    }
  }
}

}  // namespace
