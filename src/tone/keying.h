#pragma once
// The keying controller, where the keys and the paddles meet the tone. Safe
// to call from both key sources' threads at once; allocates nothing, takes
// no lock and writes no log line.

#include <cstdint>

void KeyDown();
void KeyUp();

// The keyer's paddles, each the OR of its serial line and its keyboard key.
// A paddle edge is stamped and queued to the audio thread, where the keyer
// turns the paddles into elements. In the bug mode the dah paddle is a
// straight key, and its edges are KeyDown and KeyUp. Each source reports
// from one thread only.
enum class Paddle : uint8_t { Dit, Dah };
enum class PaddleSource : uint8_t { Line, Keyboard };

void PaddleDown(Paddle paddle, PaddleSource source);
void PaddleUp(Paddle paddle, PaddleSource source);
