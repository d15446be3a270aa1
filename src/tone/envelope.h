#pragma once
// The envelope of the sidetone: one state, moved by the audio thread alone.
//
//   Silent     no tone; a key-down starts one at phase 0, rising from 0.
//   Rising     the raised-cosine rise, a step a sample, up to Steady. Once
//              the count reaches a known release sample, the rise turns
//              back: Returning.
//   Steady     full level, until the count reaches the release sample
//              (none is known while the key is down): Falling.
//   Falling    the raised-cosine fall, stretched to a cycle boundary, then
//              Settling.
//   Settling   the last level of the fall, until the first sample whose sine
//              is not negative, which is 0: Silent.
//   Returning  the rise's levels in reverse, down to 0 (faster when the fall
//              is shorter than the rise, so as not to outlast it): Silent.
//              Without a fall the rise instead holds its level to the next
//              cycle boundary: Falling.
//
// A key-down in Falling, Settling or Returning rises again from the level
// reached, on the same phase, as a new tone.

#include <cstdint>

struct ToneGenerator;
struct ToneParameters;

enum class EnvelopeState : uint8_t { kSilent, kRising, kSteady, kFalling, kSettling, kReturning };

struct Envelope {
  EnvelopeState state;
  double phase;  // radians, never reduced modulo 2π
  double level;  // the working level
  uint32_t samplesSinceKeyDown;
  uint32_t samplesBeforeKeyDown;  // since phase 0, before this tone's key-down
  uint32_t releaseSample;  // kNoRelease while the key is down
  uint32_t riseStep;
  double returnStep;  // the rise step a returning rise has come down to
  uint32_t fallStep;
  uint32_t fallLength;  // of the current fall, stretched to a cycle boundary
  double fallFrom;      // the share of the full level the fall began from
};

constexpr uint32_t kNoRelease = UINT32_MAX;

// A key-down time in whole samples, to the nearest.
uint32_t KeyDownSamples(const ToneParameters& params, uint32_t keyDownMicros);

// A key-down takes effect on the next sample produced.
void PressTone(ToneGenerator& generator);
// A key-up: the fall begins half a wave before `keyDownSamples` have been
// produced since the tone's key-down, or on the next sample when that point
// has passed. Nothing changes for a tone that is already ending.
void ReleaseTone(ToneGenerator& generator, uint32_t keyDownSamples);

// The press goes on: a release planned for a tone still rising or steady is
// withdrawn, as if the key had stayed down.
void HoldTone(ToneGenerator& generator);

// Starts a fill call: the working level it begins with.
void BeginEnvelopeCall(ToneGenerator& generator);
// The samples [from, to) of a buffer of `frames` samples a half, both halves
// alike.
void ProduceSamples(ToneGenerator& generator, int16_t* buffer, uint32_t frames, uint32_t from, uint32_t to);
