#include "tone/keying.h"

#include <atomic>
#include <cstdint>

#include "app/app_state.h"
#include "tone/key_clock.h"
#include "tone/lamp.h"
#include "tone/performance_counter.h"
#include "tone/tone_generator.h"

// Both key sources may report at the same moment. The key's state is one
// atomic word: Up, Down, or one of the two transitions between them. The
// source whose compare-exchange starts a transition owns it and performs it
// alone. An edge that arrives during someone else's transition only records,
// in kTurnBack, whether the key is to end up the other way; the owner then
// performs that edge as well, stamping it at that moment. Calls that do not
// overlap therefore behave exactly as single calls, and overlapping ones can
// never start a tone after its release or leave the lamp lit with the key up.

namespace {

enum KeyState : uint8_t {
  kUp = 0,
  kPressing = 1,
  kDown = 2,
  kReleasing = 3,
  kTurnBack = 4,  // added to a transition: the opposite edge came meanwhile
};

std::atomic<uint8_t> keyState{kUp};
static_assert(std::atomic<uint8_t>::is_always_lock_free, "the keying path never waits");

// The edge goes to the audio thread, which alone moves the tone. Stamped
// first, before anything else happens.
void QueueEdge(bool down) {
  down ? StampKeyDown() : StampKeyUp();
  const int64_t stamp = (down ? appState.keyDownStamp : appState.keyUpStamp).load(std::memory_order_relaxed);
  if (ToneGenerator* generator = appState.toneGenerator) generator->edges.Push({stamp, down});
}

// In the keyer modes the lamp follows the tone, which the audio thread keys.
bool LampFollowsKey() {
  const ToneGenerator* generator = appState.toneGenerator;
  return generator == nullptr || generator->params.keyer == KeyerMode::Straight;
}

// The key's new state is published before the lamp is asked to show it.
void PerformEdge(bool down) {
  QueueEdge(down);
  if (!LampFollowsKey()) return;
  appState.keyed.store(down, std::memory_order_release);
  UpdateLamp();
}

uint8_t Opposite(uint8_t transition) { return transition == kPressing ? kReleasing : kPressing; }

// Performs the transition this thread owns, then every turn back that was
// asked for while it ran, until the key settles.
void Perform(uint8_t transition) {
  for (;;) {
    PerformEdge(transition == kPressing);
    const uint8_t settled = transition == kPressing ? kDown : kUp;
    for (;;) {
      uint8_t expected = transition;
      if (keyState.compare_exchange_weak(expected, settled, std::memory_order_acq_rel)) return;
      expected = transition | kTurnBack;
      if (keyState.compare_exchange_weak(expected, Opposite(transition),
                                         std::memory_order_acq_rel)) {
        break;
      }
    }
    transition = Opposite(transition);
  }
}

// An edge from either source: `edge` is kPressing for a key-down, kReleasing
// for a key-up.
void OnEdge(uint8_t edge) {
  const uint8_t from = edge == kPressing ? kUp : kDown;
  const uint8_t against = Opposite(edge);
  uint8_t state = keyState.load(std::memory_order_acquire);
  for (;;) {
    uint8_t next;
    if (state == from) {
      next = edge;  // this thread owns the transition
    } else if (state == against) {
      next = against | kTurnBack;  // the owner turns back afterwards
    } else if (state == (edge | kTurnBack)) {
      next = edge;  // a turn back asked for meanwhile is withdrawn
    } else {
      return;  // the key already is, or is going, this way
    }
    if (keyState.compare_exchange_weak(state, next, std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
      if (state == from) Perform(edge);
      return;
    }
  }
}

// Each paddle source has its own input, so the audio thread ORs a paddle's
// sources; in the bug mode the dah paddle is the straight key.
void QueuePaddleEdge(Paddle paddle, PaddleSource source, bool down) {
  ToneGenerator* generator = appState.toneGenerator;
  if (generator == nullptr) return;
  if (paddle == Paddle::Dah && generator->params.keyer == KeyerMode::Bug) {
    OnEdge(down ? kPressing : kReleasing);
    return;
  }
  const bool line = source == PaddleSource::Line;
  const KeyInput input = paddle == Paddle::Dit ? (line ? KeyInput::DitLine : KeyInput::DitKeyboard)
                                               : (line ? KeyInput::DahLine : KeyInput::DahKeyboard);
  generator->edges.Push({ReadPerformanceCounter(), down, input});
}

}  // namespace

void KeyDown() { OnEdge(kPressing); }

void KeyUp() { OnEdge(kReleasing); }

void PaddleDown(Paddle paddle, PaddleSource source) { QueuePaddleEdge(paddle, source, true); }

void PaddleUp(Paddle paddle, PaddleSource source) { QueuePaddleEdge(paddle, source, false); }
