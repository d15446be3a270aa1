#pragma once
// The envelope of the sidetone: the key side starts and releases a tone, the
// audio thread's fill callback produces its samples. They share the
// generator's state without locks.

#include <cstdint>

struct ToneGenerator;

// Key side, on the process's generator (appState.toneGenerator).
void StartTone();
void ReleaseTone(uint32_t keyDownMicros);

// The fill callback: `count` samples, both halves of the buffer alike.
// `context` is the generator.
void FillBuffer(int16_t* buffer, uint32_t count, void* context);

// The end of a tone, used by FillBuffer.
void PlanFall(ToneGenerator& generator);
void FallStep(ToneGenerator& generator, double& level);
