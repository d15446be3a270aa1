#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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
  Fill(1);
  EXPECT_EQ(g.envelope.releaseSample, 4388u);
  EXPECT_EQ(lamp.clears, 1);
  EXPECT_FALSE(appState.keyed || lamp.lit);
}

TEST_F(Keying, KeyUpWithoutKeyDownDoesNothing) {
  appState.keyUpStamp = 12345;
  KeyUpAt(10);
  EXPECT_EQ(appState.keyUpStamp, 12345);
  EXPECT_EQ(lamp.clears, 0);
  EXPECT_EQ(appState.toneGenerator->edges.Front(), nullptr);
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
  KeyUpAt(150);  // line
  EXPECT_EQ(appState.keyUpStamp, 100 * kTicksPerMs);
  Fill(1);
  EXPECT_EQ(g.envelope.releaseSample, 4388u);
  EXPECT_EQ(lamp.draws, 1);
  EXPECT_EQ(lamp.clears, 1);
}

// The edge is queued before the lamp is asked to show it, and `keyed`
// already reads the new way then.
bool Queued(bool down) {
  const KeyEdgeQueue::Edge* edge = appState.toneGenerator->edges.Front();
  return edge != nullptr && edge->down == down && appState.keyed == down;
}

TEST_F(Keying, LampFollowsTheQueuedEdge) {
  lamp.duringDraw = [] { EXPECT_TRUE(Queued(true)); };
  lamp.duringClear = [] { EXPECT_TRUE(Queued(false)); };
  KeyDownAt(0);
  Fill(1000);
  KeyUpAt(100);
  EXPECT_EQ(lamp.draws + lamp.clears, 2);
}

// A key-up and the next key-down met by one fill call keep their gap: the
// first tone falls from the call's first sample, and the second rises 20 ms
// (882 samples) later, from silence, instead of merging with the first.
TEST_F(Keying, EdgesMetTogetherKeepTheirGap) {
  KeyDownAt(0);
  Fill(5300);  // 120.2 ms
  KeyUpAt(100);
  KeyDownAt(120);
  KeyUpAt(170);
  const std::vector<int16_t> call = Fill(3000);
  EXPECT_NE(call[0], 0);
  EXPECT_EQ(std::count(call.begin() + 540, call.begin() + 884, 0), 884 - 540);
  EXPECT_EQ(call[884], 1);  // a tone's third sample
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
      // The queue takes the audio thread to where the key is, one edge at a
      // time, each the other way from the one before.
      std::vector<KeyEdgeQueue::Edge> queued;
      for (const KeyEdgeQueue::Edge* edge; (edge = g.edges.Front()) != nullptr; g.edges.Pop()) queued.push_back(*edge);
      bool down = c.duringKeyUp;
      for (const KeyEdgeQueue::Edge& edge : queued) {
        EXPECT_NE(edge.down, down);
        down = edge.down;
        g.edges.Push(edge);
      }
      EXPECT_EQ(down, c.keyed);
      KeyUpAt(200);
      EXPECT_FALSE(appState.keyed);
      PlayToEnd();
      EXPECT_FALSE(g.sounding);
    }
  }
}

}  // namespace
