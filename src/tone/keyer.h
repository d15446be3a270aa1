#pragma once
// The built-in keyer, on the audio thread: it turns the dit and dah paddles
// into elements counted in samples, and each element sounds as a straight
// key press of its mark's length would.
//
// A unit is 1.2 s / speed. At weight 50 a dit's mark is one unit and a dah's
// three, each followed by a space of one unit; weight adds (weight - 50) / 50
// of a unit to every mark and takes it from the space after it. Each mark,
// and each mark with its space, is rounded to a whole sample.
//
// The keyer sees a paddle edge on the sample it takes effect on. A paddle's
// closing arms its memory; an element's start disarms its own paddle's. A
// paddle wants an element while it is closed or its memory is armed. Idle,
// the keyer starts the element of a paddle on the sample it closes (when
// both close on one sample, the one whose edge came first; in ultimatic the
// one that came last). At an element's end, once the edges due on that
// sample are applied:
//   iambic A, B  the other paddle's element if it wants, else this paddle's;
//                in B also the other's when both paddles were closed
//                together on any sample of the element just ended.
//   ultimatic    when both want, the paddle closed last; else the one that
//                wants.
//   bug          dits while the dit paddle wants; the dah paddle is a
//                straight key, which the keyer never sees.

#include <cstdint>

#include "tone/key_edge_queue.h"

struct ToneGenerator;

// What the key line and the keyboard's Ctrl keys are: a straight key, or the
// dit and dah paddles of the built-in keyer in one of its modes.
enum class KeyerMode : uint8_t { Straight, IambicA, IambicB, Ultimatic, Bug };

// The speeds and weights the keyer takes.
constexpr int32_t kLowestKeyerSpeed = 5;
constexpr int32_t kHighestKeyerSpeed = 60;
constexpr int32_t kLowestKeyerWeight = 25;
constexpr int32_t kHighestKeyerWeight = 75;

// The audio thread's record of the paddles and the element under way.
// Frames count from the first fill call.
struct Keyer {
  uint8_t closedBy[2];  // per paddle (dit, dah): the sources holding it closed
  bool memory[2];
  bool bothClosed;      // on some sample of the element under way
  uint8_t lastClosed;   // the paddle closed last
  bool sending;         // an element is under way
  uint8_t element;      // the element under way, or the last one sent
  uint64_t elementEnd;  // the frame after its space
};

// The speed for the elements that start from now on, in words per minute
// (taken within 5 to 60). Any thread.
void SetKeyerSpeed(ToneGenerator& generator, int32_t wordsPerMinute);

// A paddle edge, on the frame the call has reached. A closing arms the
// paddle's memory when `arms` (not for an edge met too late to be played).
void MeetPaddleEdge(ToneGenerator& generator, const KeyEdgeQueue::Edge& edge, bool arms);
// After edges lost to a full queue: the paddle sources as `levels` (bits by
// KeyInput) has them, without arming any memory.
void CatchUpPaddles(ToneGenerator& generator, uint8_t levels);
// Starts the element due at frame `at` of this call, if any, and returns the
// frame within the call at which the keyer next decides (`frames` if none).
uint32_t RunKeyer(ToneGenerator& generator, uint32_t at, uint32_t frames);
