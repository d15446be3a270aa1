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

// The samples [from, to) of a buffer whose halves hold `half` samples each,
// for a generator that sounded when its call began; `level` is the call's
// working level. FillBuffer's loop, shared with scheduled keying.
void ProduceSamples(ToneGenerator& generator, int16_t* buffer, uint32_t half, uint32_t from, uint32_t to,
                    double& level);

// Scheduled keying: the audio thread starts and releases the tone itself, on
// the samples where the key stamps fall. A start while the last tone still
// falls rises again from the level it reached instead of being lost; a
// release during the rise runs the rise back down instead of cutting it.
void StartScheduledTone(ToneGenerator& generator, double& level);
void ReleaseScheduledTone(ToneGenerator& generator, uint32_t keyDownMicros);
