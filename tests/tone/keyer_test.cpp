// The keyer on a simulated buffer clock, in both key timings and at small and
// large buffers: paddle scripts keyed through the real keying controller,
// and the marks and spaces they give, in samples, read off the keying the
// audio thread queues for the lamp.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "counter_double.h"
#include "lamp_marks.h"
#include "lamp_double.h"
#include "simulated_device.h"
#include "tone/keying.h"
#include "tone_fixture.h"

namespace {

constexpr int32_t kRate = 48000;

struct Tap {
  Paddle paddle;
  double down, up;  // seconds
  PaddleSource source = PaddleSource::Keyboard;
};

struct Script {
  const char* name;
  KeyerMode mode;
  int32_t speed, weight;
  std::vector<Tap> taps;
  // The marks: '.' a dit, '-' a dah, 'k' a straight mark of `straight`
  // samples (within 1 %: the immediate timing ends it where the call meets
  // its key-up, if that is later). A trailing '+' means the pattern repeats, at least once, and
  // may stop anywhere.
  const char* expected;
  uint32_t dit, dah, space;  // samples
  uint32_t straight = 0;
  bool punctual = false;  // a device whose calls come exactly on time
};

int64_t Ticks(double seconds) { return std::llround(seconds * CounterDouble::kFrequency); }

class KeyerTest : public ToneTest {
 protected:
  void SetUp() override {
    counter.now = 0;
    lamp.Reset();
  }

  // Keys the script and returns the marks as the audio thread keyed them.
  std::vector<Span> Key(const Script& script, bool scheduled, uint32_t buffer) {
    ToneGenerator& g = Install({.sampleRate = kRate, .scheduled = scheduled, .keyer = script.mode,
                                .keyerSpeed = script.speed, .keyerWeight = script.weight});
    struct Edge {
      double at;
      Paddle paddle;
      PaddleSource source;
      bool down;
    };
    std::vector<Edge> edges;
    for (const Tap& t : script.taps) {
      edges.insert(edges.end(), {{t.down, t.paddle, t.source, true}, {t.up, t.paddle, t.source, false}});
    }
    std::stable_sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) { return a.at < b.at; });
    const SimulatedDevice device{.rate = kRate, .buffer = buffer, .drift = script.punctual ? 0.0 : 50e-6,
                                 .punctual = script.punctual};
    FillCalls calls(device, buffer + 7);
    std::vector<int16_t> samples(2 * buffer);
    std::vector<Span> marks;
    size_t next = 0;
    const double end = edges.back().at + 3.0;
    for (uint64_t k = 0; device.TimeOfSample(static_cast<double>(k) * buffer) < end; ++k) {
      const double call = calls.Next(k);
      for (; next < edges.size() && edges[next].at < call; ++next) {
        counter.now = Ticks(edges[next].at);
        edges[next].down ? PaddleDown(edges[next].paddle, edges[next].source)
                         : PaddleUp(edges[next].paddle, edges[next].source);
      }
      counter.now = Ticks(call);
      FillBuffer(samples.data(), 2 * buffer, &g);
      TakeLampMarks(g, counter.now, k * buffer, marks);
    }
    return marks;
  }
};

// The marks as elements, and the first space inside the character that is
// not the script's, if any.
std::string Elements(const Script& script, const std::vector<Span>& marks, std::string& badSpace) {
  std::string elements;
  for (size_t i = 0; i < marks.size(); ++i) {
    const uint64_t length = marks[i].length;
    const char element = length == script.dit ? '.'
                         : length == script.dah ? '-'
                         : std::abs(static_cast<double>(length) - script.straight) < 0.01 * script.straight ? 'k'
                                                                                                             : '?';
    elements += element;
    if (element == '?') elements.append("(").append(std::to_string(length)).append(")");
    if (i == 0 || element == 'k' || elements[elements.size() - 2] == 'k') continue;
    const uint64_t space = marks[i].start - marks[i - 1].start - marks[i - 1].length;
    if (space != script.space && badSpace.empty()) {
      badSpace.append(std::to_string(space)).append(" before mark ").append(std::to_string(i));
    }
  }
  return elements;
}

bool Matches(const std::string& elements, const std::string& expected) {
  if (expected.empty() || expected.back() != '+') return elements == expected;
  const std::string pattern = expected.substr(0, expected.size() - 1);
  if (elements.size() < pattern.size()) return false;
  for (size_t i = 0; i < elements.size(); ++i) {
    if (elements[i] != pattern[i % pattern.size()]) return false;
  }
  return true;
}

constexpr Paddle kDit = Paddle::Dit;
constexpr Paddle kDah = Paddle::Dah;
using enum KeyerMode;

// At 6 wpm a unit is 9600 samples (0.2 s), so that every edge below lies a
// unit or more from the element boundaries it is meant to fall between, also
// where the immediate timing moves it by a 4096-sample buffer.
const Script kScripts[] = {
    {"SingleDit", IambicA, 6, 50, {{kDit, 0.1, 0.15}}, ".", 9600, 28800, 9600},
    {"SingleDah", IambicB, 6, 50, {{kDah, 0.1, 0.15}}, "-", 9600, 28800, 9600},
    {"HeldDitRepeats", IambicA, 6, 50, {{kDit, 0.1, 1.4}}, "....", 9600, 28800, 9600},
    {"DahTappedDuringADit", IambicA, 6, 50, {{kDit, 0.1, 0.2}, {kDah, 0.15, 0.18}}, ".-", 9600, 28800, 9600},
    // Squeezed dah first, released in the second element.
    {"SqueezeReleasedInTheSecondA", IambicA, 6, 50, {{kDah, 0.1, 1.1}, {kDit, 0.12, 1.1}}, "-.", 9600, 28800, 9600},
    {"SqueezeReleasedInTheSecondB", IambicB, 6, 50, {{kDah, 0.1, 1.1}, {kDit, 0.12, 1.1}}, "-.-", 9600, 28800,
     9600},
    // C: mode A released in the fourth element, mode B in the third.
    {"LetterCInA", IambicA, 6, 50, {{kDah, 0.1, 2.3}, {kDit, 0.12, 2.3}}, "-.-.", 9600, 28800, 9600},
    {"LetterCInB", IambicB, 6, 50, {{kDah, 0.1, 1.7}, {kDit, 0.12, 1.7}}, "-.-.", 9600, 28800, 9600},
    {"SqueezeReleasedInTheFourthB", IambicB, 6, 50, {{kDah, 0.1, 2.3}, {kDit, 0.12, 2.3}}, "-.-.-", 9600, 28800,
     9600},
    // Both closed: the one closed last repeats; in iambic they alternate.
    {"UltimaticLastClosedWins", Ultimatic, 6, 50, {{kDit, 0.1, 2.2}, {kDah, 0.4, 1.5}}, ".--.", 9600, 28800, 9600},
    {"IambicAlternates", IambicA, 6, 50, {{kDit, 0.1, 2.2}, {kDah, 0.4, 1.5}}, ".-...", 9600, 28800, 9600},
    // Dits from the dit paddle; the dah paddle a straight key of its own length.
    {"Bug", Bug, 6, 50, {{kDit, 0.1, 0.6}, {kDah, 1.2, 1.7}}, "..k", 9600, 28800, 9600, 24000},
    // Each paddle is its line or its key: held from 0.1 to 1.0 by the two.
    {"LineOrKeyboard", IambicA, 6, 50, {{kDit, 0.1, 0.6, PaddleSource::Line}, {kDit, 0.4, 1.0}}, "...", 9600, 28800,
     9600},
    {"Weight25", IambicA, 6, 25, {{kDah, 0.1, 0.15}, {kDit, 0.3, 0.35}}, "-.", 4800, 24000, 14400},
    {"Weight75", IambicA, 6, 75, {{kDah, 0.1, 0.15}, {kDit, 0.3, 0.35}}, "-.", 14400, 33600, 4800},
    {"Speed5", IambicA, 5, 50, {{kDah, 0.1, 0.15}, {kDit, 0.3, 0.35}}, "-.", 11520, 34560, 11520},
    {"Speed60", IambicA, 60, 50, {{kDit, 0.1, 0.6}, {kDah, 0.1005, 0.6}}, ".-+", 960, 2880, 960},
    // Released exactly as the second dit's space ends: no third dit.
    {"ReleaseOnAnElementBoundary", IambicA, 6, 50, {{kDit, 0.1, 0.9}}, "..", 9600, 28800, 9600, 0, true},
};

TEST_F(KeyerTest, PaddleScripts) {
  for (const Script& script : kScripts) {
    for (const bool scheduled : {false, true}) {
      for (const uint32_t buffer : {32u, 4096u}) {
        SCOPED_TRACE(testing::Message() << script.name << (scheduled ? " scheduled " : " immediate ") << buffer);
        std::string badSpace;
        const std::string elements = Elements(script, Key(script, scheduled, buffer), badSpace);
        EXPECT_TRUE(Matches(elements, script.expected)) << elements;
        EXPECT_EQ(badSpace, "");
      }
    }
  }
}

// A dit sounds, sample for sample, as a straight press of its mark's length:
// the same envelope, also where the mark ends within the rise.
TEST_F(KeyerTest, AnElementSoundsAsAStraightPressOfItsMark) {
  const struct {
    int32_t speed, weight;
    uint32_t mark;
  } cases[] = {{25, 50, 2304}, {60, 25, 480}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.speed);
    const uint32_t length = 4 * c.mark;
    Install({.sampleRate = kRate, .keyer = KeyerMode::IambicA, .keyerSpeed = c.speed, .keyerWeight = c.weight});
    PaddleDown(Paddle::Dit, PaddleSource::Keyboard);
    PaddleUp(Paddle::Dit, PaddleSource::Keyboard);
    const std::vector<int16_t> dit = Fill(length);
    Install({.sampleRate = kRate});
    Down();
    Up(c.mark * 1000000 / kRate);
    EXPECT_EQ(dit, Fill(length));
  }
}

}  // namespace
