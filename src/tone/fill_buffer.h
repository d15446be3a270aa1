#pragma once
// The fill callback that the audio library calls once per buffer on its own
// thread: it meets the queued key edges where they take effect and produces
// the tone's samples. It allocates nothing, takes no lock, makes no blocking
// call and writes no log line.

#include <cstdint>

// `count` samples, both halves of the buffer alike; `context` is the
// generator.
void FillBuffer(int16_t* buffer, uint32_t count, void* context);
