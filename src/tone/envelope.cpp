#include "tone/envelope.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tone/real_to_count.h"
#include "tone/tone_generator.h"

namespace {

// Step `step` of a raised cosine whose period is 2 · length − 1 samples.
double RaisedCosine(double step, uint32_t length, double amplitude) {
  return (0.5 - 0.5 * std::cos(kTwoPi * step / (2.0 * length - 1.0))) * amplitude;
}

// The sample for `value`: truncated toward zero and held to the 16-bit range,
// so an over-loud tone saturates instead of wrapping to the opposite sign. A
// value that is not a number (from settings that make no tone) is silence.
int16_t ToSample(double value) {
  if (value > -32769.0 && value < 32768.0) [[likely]] return static_cast<int16_t>(value);
  if (std::isnan(value)) return 0;
  return value < 0.0 ? int16_t{-32768} : int16_t{32767};
}

// Rise steps a returning rise goes down per sample: one, or as many as make
// it no longer than the fall.
double ReturnPace(const ToneParameters& params) {
  const uint32_t fall = params.dwCalculatedFallTimeSamples;
  return fall < params.dwTotalRiseTimeSamples ? static_cast<double>(params.dwTotalRiseTimeSamples) / fall : 1.0;
}

// Whole samples from sample count `count` to the next cycle boundary of a
// tone that began at phase 0; 0 when `count` is on one or less than a sample
// past it. A wave length that is not a positive finite number has no cycle
// boundaries to reach, so nothing is added.
uint32_t SamplesToCycleBoundary(uint32_t count, const ToneParameters& params) {
  const double waveLength = params.WaveLength;
  if (!(waveLength > 0.0 && waveLength < std::numeric_limits<double>::infinity())) return 0;
  const uint32_t distance = RealToCount(waveLength - std::fmod(count, waveLength));
  return distance == params.wholeWaveLength ? 0 : distance;
}

// The last rise step whose level is not above `share` of the full amplitude:
// a rise taken up from there never steps further than the rise itself does.
uint32_t RiseStepAtOrBelow(double share, uint32_t rise) {
  if (rise < 2) return 0;
  const double cycle = 2.0 * rise - 1.0;
  const uint32_t step = RealToCount(std::acos(std::clamp(1.0 - 2.0 * share, -1.0, 1.0)) * cycle / kTwoPi);
  return std::min(step, rise - 1);
}

void EndTone(ToneGenerator& generator) {
  generator.envelope.state = EnvelopeState::kSilent;
  generator.envelope.level = 0.0;
  generator.sounding.store(false, std::memory_order_release);
}

// Without a rise a tone starts at full level at phase 0; one that starts
// again while the last still ends holds the level reached until the sine
// next passes through zero, and takes the full level there.
bool ReachesFullLevel(const Envelope& envelope, const ToneParameters& params) {
  if (envelope.level >= params.amplitude) return true;
  return (std::sin(envelope.phase - params.phaseIncrement) < 0.0) != (std::sin(envelope.phase) < 0.0);
}

void RiseStep(Envelope& envelope, const ToneParameters& params) {
  const uint32_t rise = params.dwTotalRiseTimeSamples;
  const uint32_t step = ++envelope.riseStep;
  if (step < rise) {
    envelope.level = RaisedCosine(step, rise, params.amplitude);
  } else if (rise >= 2 || ReachesFullLevel(envelope, params)) {
    if (rise < 2) envelope.level = params.amplitude;
    envelope.state = EnvelopeState::kSteady;
  }
}

// The rise run back down the way it came, so that a press shorter than the
// rise still gives a tone of its own length: a step a sample, or faster when
// the fall is shorter than the rise, so that the tone is over within the
// fall and never steps further than the rise or the fall does. It ends where
// the rise began, at level 0.
void ReturnStep(ToneGenerator& generator) {
  Envelope& envelope = generator.envelope;
  const ToneParameters& params = generator.params;
  envelope.returnStep = std::max(envelope.returnStep - ReturnPace(params), 0.0);
  envelope.level = RaisedCosine(envelope.returnStep, params.dwTotalRiseTimeSamples, params.amplitude);
  if (envelope.returnStep == 0.0) EndTone(generator);
}

// The level the tone has reached, as a share of the full amplitude.
double LevelReached(const Envelope& envelope, const ToneParameters& params) {
  const uint32_t rise = params.dwTotalRiseTimeSamples;
  switch (envelope.state) {
    case EnvelopeState::kRising:
      if (rise < 2) return envelope.level / params.amplitude;
      return envelope.riseStep < rise ? RaisedCosine(envelope.riseStep, rise, 1.0) : 1.0;
    case EnvelopeState::kReturning:
      return RaisedCosine(envelope.returnStep, rise, 1.0);
    case EnvelopeState::kFalling:
    case EnvelopeState::kSettling:
      if (!params.hasFall) return envelope.fallFrom;
      return RaisedCosine(envelope.fallLength - std::min(envelope.fallStep, envelope.fallLength - 1), envelope.fallLength, 1.0);
    case EnvelopeState::kSteady:
      return 1.0;
    case EnvelopeState::kSilent:
      return 0.0;
  }
  return 0.0;
}

// Stretched so that the tone ends on a cycle boundary. Without a fall the
// configured length is 0, and the tone runs on at its level to the boundary.
void PlanFall(Envelope& envelope, const ToneParameters& params) {
  const uint32_t fall = params.dwCalculatedFallTimeSamples;
  envelope.fallStep = 0;
  envelope.fallLength =
      fall + SamplesToCycleBoundary(envelope.samplesBeforeKeyDown + envelope.samplesSinceKeyDown + fall, params);
}

// The tone ends on the first sample whose sine is not negative. A sine that
// is not a number (no usable tone) ends it as well.
void Settle(ToneGenerator& generator) {
  if (!(std::sin(generator.envelope.phase) < 0.0)) EndTone(generator);
}

void FallStep(ToneGenerator& generator) {
  Envelope& envelope = generator.envelope;
  const ToneParameters& params = generator.params;
  const uint32_t step = ++envelope.fallStep;
  if (step < envelope.fallLength) {
    if (params.hasFall) envelope.level = RaisedCosine(envelope.fallLength - step, envelope.fallLength, params.amplitude);
    return;
  }
  envelope.state = EnvelopeState::kSettling;
  Settle(generator);
}

// A rise whose release sample has come turns back down; without a fall it
// holds its level to the next cycle boundary, as a tone without a fall does.
// With no rise to run back (a tone waiting for its zero crossing), it falls
// from the level reached.
void TurnBack(ToneGenerator& generator) {
  Envelope& envelope = generator.envelope;
  const ToneParameters& params = generator.params;
  if (params.hasFall && params.dwTotalRiseTimeSamples >= 2) {
    envelope.state = EnvelopeState::kReturning;
    envelope.returnStep = envelope.riseStep;
    ReturnStep(generator);
    return;
  }
  envelope.fallFrom = LevelReached(envelope, params);
  envelope.level = envelope.fallFrom * params.amplitude;
  envelope.state = EnvelopeState::kFalling;
  PlanFall(envelope, params);
  if (params.hasFall) envelope.fallStep = envelope.fallLength - 1 - RiseStepAtOrBelow(envelope.fallFrom, envelope.fallLength);
  FallStep(generator);
}

// The envelope's step for the sample about to be produced.
[[gnu::always_inline]] inline void Step(ToneGenerator& generator) {
  Envelope& envelope = generator.envelope;
  switch (envelope.state) {
    case EnvelopeState::kRising:
      if (envelope.samplesSinceKeyDown < envelope.releaseSample) {
        RiseStep(envelope, generator.params);
      } else {
        TurnBack(generator);
      }
      return;
    case EnvelopeState::kReturning:
      ReturnStep(generator);
      return;
    case EnvelopeState::kSteady:
      if (envelope.samplesSinceKeyDown < envelope.releaseSample) return;
      envelope.fallFrom = 1.0;
      envelope.state = EnvelopeState::kFalling;
      PlanFall(envelope, generator.params);
      [[fallthrough]];
    case EnvelopeState::kFalling:
      FallStep(generator);
      return;
    case EnvelopeState::kSettling:
      Settle(generator);
      return;
    case EnvelopeState::kSilent:
      return;
  }
}

}  // namespace

uint32_t KeyDownSamples(const ToneParameters& params, uint32_t keyDownMicros) {
  return RealToCount(keyDownMicros / params.microsPerSample + 0.5);
}

void PressTone(ToneGenerator& generator) {
  Envelope& envelope = generator.envelope;
  const ToneParameters& params = generator.params;
  if (envelope.state == EnvelopeState::kSilent) {
    envelope.phase = 0.0;
    envelope.samplesSinceKeyDown = 0;
    envelope.samplesBeforeKeyDown = 0;
    envelope.riseStep = 0;
    envelope.level = params.amplitude;  // a tone's working level starts full, as at a call's start
    generator.sounding.store(true, std::memory_order_release);
  } else if (params.dwTotalRiseTimeSamples < 2) {
    envelope.level = LevelReached(envelope, params) * params.amplitude;
    envelope.riseStep = 0;
  } else {
    envelope.riseStep = RiseStepAtOrBelow(LevelReached(envelope, params), params.dwTotalRiseTimeSamples);
  }
  // A tone that rises again goes on on the phase of the one before: its cycle
  // boundaries lie where that one's did.
  envelope.samplesBeforeKeyDown += envelope.samplesSinceKeyDown;
  envelope.state = EnvelopeState::kRising;
  envelope.samplesSinceKeyDown = 0;
  envelope.releaseSample = kNoRelease;
}

void ReleaseTone(ToneGenerator& generator, uint32_t keyDownSamples) {
  Envelope& envelope = generator.envelope;
  if (envelope.state != EnvelopeState::kRising && envelope.state != EnvelopeState::kSteady) return;
  // Half a wave early, so that the fall, stretched to a cycle boundary,
  // makes the tone as long as the key was down.
  const uint32_t half = generator.params.halfWaveLength;
  envelope.releaseSample = keyDownSamples > half ? keyDownSamples - half : keyDownSamples;
}

void HoldTone(ToneGenerator& generator) {
  Envelope& envelope = generator.envelope;
  if (envelope.state == EnvelopeState::kRising || envelope.state == EnvelopeState::kSteady) {
    envelope.releaseSample = kNoRelease;
  }
}

void BeginEnvelopeCall(ToneGenerator& generator) {
  // Each call starts at the full level, and the steps of the rise and the
  // fall set their own; but the last fall level carries on into a tone's
  // settling to its cycle boundary, so that it never ends on a full-level
  // half wave, a tone without a fall holds the level it ends from, and one
  // without a rise the level it waits at for its zero crossing.
  Envelope& envelope = generator.envelope;
  const ToneParameters& params = generator.params;
  const bool ending = envelope.state == EnvelopeState::kFalling || envelope.state == EnvelopeState::kSettling;
  const bool waiting = envelope.state == EnvelopeState::kRising && params.dwTotalRiseTimeSamples < 2;
  if (ending && !params.hasFall) {
    envelope.level = envelope.fallFrom * params.amplitude;
  } else if (!ending && !waiting) {
    envelope.level = params.amplitude;
  }
}

void ProduceSamples(ToneGenerator& generator, int16_t* buffer, uint32_t frames, uint32_t from, uint32_t to) {
  Envelope& envelope = generator.envelope;
  const double increment = generator.params.phaseIncrement;
  for (uint32_t i = from; i < to; ++i) {
    if (envelope.state == EnvelopeState::kSilent) [[unlikely]] {
      buffer[i] = buffer[frames + i] = 0;
      continue;
    }
    envelope.phase += increment;
    Step(generator);
    buffer[i] = buffer[frames + i] = ToSample(std::sin(envelope.phase) * envelope.level);
    ++envelope.samplesSinceKeyDown;
  }
}
