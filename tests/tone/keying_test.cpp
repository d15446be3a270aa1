#include <gtest/gtest.h>

#include <string>

#include "counter_double.h"
#include "lamp_double.h"
#include "tone/key_clock.h"
#include "tone/keying.h"
#include "tone_fixture.h"

namespace {

constexpr int64_t kTicksPerMs = CounterDouble::kFrequency / 1000;

class Keying : public ToneTest {
 protected:
  void SetUp() override {
    counter.now = 1;
    ResetKeyClock();
    Install({});
    lamp.Reset();
  }
  void TearDown() override {
    lamp.Reset();
    counter.duringNextRead = nullptr;
    KeyUp();  // leave the key up for the next test
    ToneTest::TearDown();
  }

  void KeyDownAt(int64_t ms) {
    counter.now = ms * kTicksPerMs;
    KeyDown();
  }
  void KeyUpAt(int64_t ms) {
    counter.now = ms * kTicksPerMs;
    KeyUp();
  }
};

TEST_F(Keying, AutoRepeatKeepsTheFirstKeyDown) {
  ToneGenerator& g = *appState.toneGenerator;
  KeyDownAt(10);
  KeyDownAt(20);
  KeyDownAt(30);
  EXPECT_EQ(appState.keyDownStamp, 10 * kTicksPerMs);
  EXPECT_EQ(lamp.draws, 1);
  EXPECT_TRUE(appState.keyed);
  Fill(1000);
  KeyUpAt(110);  // 100 ms from the first key-down
  EXPECT_EQ(g.releaseSample, 4388u);
  EXPECT_EQ(lamp.clears, 1);
  EXPECT_FALSE(appState.keyed || lamp.lit);
}

TEST_F(Keying, KeyUpWithoutKeyDownDoesNothing) {
  appState.keyUpStamp = 12345;
  KeyUpAt(10);
  EXPECT_EQ(appState.keyUpStamp, 12345);
  EXPECT_EQ(lamp.clears, 0);
  EXPECT_FALSE(appState.toneGenerator->sounding || appState.toneGenerator->releasePending);
}

// The key line goes active, the space bar is pressed and released, then the
// line drops: the space bar's key-up ends the tone, the line's finds nothing.
TEST_F(Keying, TwoSourcesShareOneKey) {
  ToneGenerator& g = *appState.toneGenerator;
  KeyDownAt(0);  // line
  Fill(1000);
  KeyDownAt(30);  // space bar, ignored
  EXPECT_EQ(appState.keyDownStamp, 0);
  KeyUpAt(100);  // space bar
  EXPECT_FALSE(appState.keyed || lamp.lit);
  EXPECT_EQ(g.releaseSample, 4388u);
  KeyUpAt(150);  // line
  EXPECT_EQ(appState.keyUpStamp, 100 * kTicksPerMs);
  EXPECT_EQ(g.releaseSample, 4388u);
  EXPECT_EQ(lamp.draws, 1);
  EXPECT_EQ(lamp.clears, 1);
}

// The tone is started before the lamp is drawn and released before it is
// cleared, and `keyed` already reads the new way in both lamp calls.
TEST_F(Keying, LampFollowsTheToneAndKeyed) {
  lamp.duringDraw = [] { EXPECT_TRUE(appState.toneGenerator->sounding); };
  lamp.duringClear = [] { EXPECT_TRUE(appState.toneGenerator->releasePending); };
  KeyDownAt(0);
  Fill(1000);
  KeyUpAt(100);
}

// A key-down while the last tone still sounds renews the stamp and lights the
// lamp without restarting the tone; the next key-up hands the new key-down
// time to the tone.
TEST_F(Keying, KeyDownWhileTheToneSounds) {
  ToneGenerator& g = *appState.toneGenerator;
  KeyDownAt(0);
  Fill(1000);
  KeyUpAt(100);
  KeyDownAt(120);
  EXPECT_EQ(appState.keyDownStamp, 120 * kTicksPerMs);
  EXPECT_EQ(lamp.draws, 2);
  EXPECT_TRUE(g.releasePending);
  EXPECT_EQ(g.samplesSinceKeyDown, 1000u);  // not restarted
  KeyUpAt(170);
  EXPECT_EQ(g.releaseSample, 2205u - 22u);  // 50 ms
}

// Edges from the other source that arrive while one source's key-down or
// key-up is under way: while it takes its stamp (before the tone is touched)
// or while it draws or clears the lamp (at its very end).
const char* overlapScript = "";
void RunOverlapScript() {
  lamp.duringDraw = lamp.duringClear = nullptr;  // once
  for (const char* edge = overlapScript; *edge; ++edge) *edge == 'D' ? KeyDown() : KeyUp();
}

TEST_F(Keying, EdgesDuringAnotherSourcesTransition) {
  const struct {
    bool duringKeyUp;    // else during a key-down
    const char* script;  // the other source's edges: D key-down, U key-up
    bool keyed;
    int draws, clears;
  } cases[] = {
      {false, "U", false, 1, 1},  // released during the press: released after it
      {false, "UU", false, 1, 1},
      {false, "UD", true, 1, 0},  // released and pressed again: stays down
      {false, "D", true, 1, 0},   // a repeat
      {true, "D", true, 2, 1},    // pressed during the release: pressed after it
      {true, "DD", true, 2, 1},
      {true, "DU", false, 1, 1},  // pressed and released again: stays up
      {true, "U", false, 1, 1},   // a repeat
  };
  for (const bool duringStamp : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(duringStamp ? "stamp of " : "lamp of ") +
                   (c.duringKeyUp ? "key-up: " : "key-down: ") + c.script);
      ToneGenerator& g = Install({});
      lamp.Reset();
      overlapScript = c.script;
      if (c.duringKeyUp) {
        KeyDownAt(0);
        Fill(1000);
      }
      if (duringStamp) {
        counter.duringNextRead = RunOverlapScript;
      } else {
        (c.duringKeyUp ? lamp.duringClear : lamp.duringDraw) = RunOverlapScript;
      }
      c.duringKeyUp ? KeyUpAt(100) : KeyDownAt(0);
      EXPECT_EQ(appState.keyed, c.keyed);
      EXPECT_EQ(lamp.lit, c.keyed);
      EXPECT_EQ(lamp.draws, c.draws);
      EXPECT_EQ(lamp.clears, c.clears);
      // A tone sounds only while the key is down or its release is under way.
      EXPECT_TRUE(c.keyed || !g.sounding || g.releasePending);
      KeyUpAt(200);
      EXPECT_FALSE(appState.keyed);
      PlayToEnd();
      EXPECT_FALSE(g.sounding);
    }
  }
}

}  // namespace
