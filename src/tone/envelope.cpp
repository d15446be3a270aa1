#include "tone/envelope.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tone/real_to_count.h"
#include "tone/tone_generator.h"

namespace {

// Step `step` of a raised cosine whose period is 2 · length − 1 samples.
double RaisedCosine(uint32_t step, uint32_t length, double amplitude) {
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

void RiseStep(Envelope& envelope, const ToneParameters& params) {
  const uint32_t rise = params.dwTotalRiseTimeSamples;
  const uint32_t step = ++envelope.riseStep;
  if (step < rise) {
    envelope.level = RaisedCosine(step, rise, params.amplitude);
  } else {
    envelope.state = EnvelopeState::kSteady;
  }
}

// The rise run back down the way it came, so that a press shorter than the
// rise still gives a tone of its own length, without a step steeper than the
// rise's. It ends where the rise began, at level 0.
void ReturnStep(ToneGenerator& generator) {
  Envelope& envelope = generator.envelope;
  if (envelope.riseStep > 0) --envelope.riseStep;
  envelope.level = RaisedCosine(envelope.riseStep, generator.params.dwTotalRiseTimeSamples, generator.params.amplitude);
  if (envelope.riseStep == 0) EndTone(generator);
}

// Stretched so that the tone ends on a cycle boundary. Without a fall the
// configured length is 0, and the tone runs on at its level to the boundary.
void PlanFall(Envelope& envelope, const ToneParameters& params) {
  const uint32_t fall = params.dwCalculatedFallTimeSamples;
  envelope.fallStep = 0;
  envelope.fallLength = fall + SamplesToCycleBoundary(envelope.samplesSinceKeyDown + fall, params);
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

// The envelope's step for the sample about to be produced.
[[gnu::always_inline]] inline void Step(ToneGenerator& generator) {
  Envelope& envelope = generator.envelope;
  switch (envelope.state) {
    case EnvelopeState::kRising:
      if (envelope.samplesSinceKeyDown < envelope.releaseSample) {
        RiseStep(envelope, generator.params);
        return;
      }
      envelope.state = EnvelopeState::kReturning;
      [[fallthrough]];
    case EnvelopeState::kReturning:
      ReturnStep(generator);
      return;
    case EnvelopeState::kSteady:
      if (envelope.samplesSinceKeyDown < envelope.releaseSample) return;
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
    envelope.riseStep = 0;
    envelope.level = params.amplitude;  // a tone's working level starts full, as at a call's start
    generator.sounding.store(true, std::memory_order_release);
  } else if (params.dwTotalRiseTimeSamples < 2) {
    envelope.level = params.amplitude;  // nothing to rise through
  } else {
    envelope.riseStep = RiseStepAtOrBelow(envelope.level / params.amplitude, params.dwTotalRiseTimeSamples);
  }
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

void BeginEnvelopeCall(ToneGenerator& generator) {
  // Each call starts at the full level, and the steps of the rise and the
  // fall set their own; but the last fall level carries on into a tone's
  // settling to its cycle boundary, so that it never ends on a full-level
  // half wave.
  Envelope& envelope = generator.envelope;
  const bool fading = envelope.state == EnvelopeState::kFalling || envelope.state == EnvelopeState::kSettling;
  if (!(fading && generator.params.hasFall)) envelope.level = generator.params.amplitude;
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
