#pragma once
// The key clock: how long the key was held down, from two stamps of the
// high-resolution counter.

#include <cstdint>

void ResetKeyClock();
void StampKeyDown();
void StampKeyUp();
// Key-down time in microseconds, from the low 32 bits of the stamps and of the
// counter frequency (so a carry into the high word between them is harmless).
uint32_t KeyDownMicros();

// The arithmetic of KeyDownMicros on given values.
uint32_t MicrosBetween(int64_t downStamp, int64_t upStamp, int64_t frequency);
