#pragma once
// The built-in keyer, on the audio thread: it turns the dit and dah paddles
// into elements counted in samples, and each element sounds as a straight
// key press of its mark's length would.

#include <cstdint>

struct ToneGenerator;

// The speed for the elements that start from now on, in words per minute
// (taken within 5 to 60). Any thread.
void SetKeyerSpeed(ToneGenerator& generator, int32_t wordsPerMinute);

// The lamp in the keyer modes follows the tone as it is keyed, element by
// element: the audio thread queues each change with the counter value of
// its sample. Applies the changes due by counter value `now` to `lit`; true
// when `lit` changed. One thread, other than the audio thread.
bool FollowLamp(ToneGenerator& generator, int64_t now, bool& lit);
