#include "tone/envelope.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "app/app_state.h"
#include "tone/real_to_count.h"
#include "tone/tone_generator.h"

// Memory order: `sounding`, `releasePending` and the request word publish
// what was written before them, so they are stored with release and loaded
// with acquire; every other shared field is read and written whole, relaxed.
// The phase and the counters have one writer, the audio thread, which learns
// of each start and cut from the request word: its rise follows that word,
// not `rising`, which the key side keeps for its own decisions.

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr auto relaxed = std::memory_order_relaxed;
constexpr auto release = std::memory_order_release;
constexpr auto acquire = std::memory_order_acquire;

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
uint32_t SamplesToCycleBoundary(uint32_t count, const ToneGenerator& generator) {
  const double waveLength = generator.WaveLength;
  if (!(waveLength > 0.0 && waveLength < std::numeric_limits<double>::infinity())) return 0;
  const uint32_t distance = RealToCount(waveLength - std::fmod(count, waveLength));
  return distance == generator.wholeWaveLength ? 0 : distance;
}

void RiseStep(ToneGenerator& generator, double& level) {
  const uint32_t step = generator.riseCounter.load(relaxed) + 1;
  generator.riseCounter.store(step, relaxed);
  if (step < generator.dwTotalRiseTimeSamples) {
    level = RaisedCosine(step, generator.dwTotalRiseTimeSamples, generator.amplitude);
  } else {
    generator.riseBegun = false;
    generator.rising.store(false, relaxed);
  }
}

// The tone's level now, as a share of the full amplitude, from its state.
double LevelReached(const ToneGenerator& generator) {
  const uint32_t rise = generator.dwTotalRiseTimeSamples;
  const uint32_t step = generator.riseCounter.load(relaxed);
  if (generator.riseBegun) return step < rise ? RaisedCosine(step, rise, 1.0) : 1.0;
  if (!generator.falling.load(relaxed) || !generator.hasFall) return 1.0;
  const uint32_t length = generator.fallLength.load(relaxed);
  const uint32_t fallStep = std::min(generator.fallCounter.load(relaxed), length - 1);
  return RaisedCosine(length - fallStep, length, 1.0);
}

// The last rise step whose level is not above `share` of the full amplitude:
// a rise taken up from there never steps further than the rise itself does.
uint32_t RiseStepAtOrBelow(double share, uint32_t rise) {
  if (rise < 2) return 0;
  const double cycle = 2.0 * rise - 1.0;
  const uint32_t step = RealToCount(std::acos(std::clamp(1.0 - 2.0 * share, -1.0, 1.0)) * cycle / kTwoPi);
  return std::min(step, rise - 1);
}

// A release during the rise, in scheduled keying: the rise runs back down
// the way it came, so a press shorter than the rise still gives a tone of
// its own length, without a step steeper than the rise's. The tone ends where
// the rise began, at level 0.
void RiseBackStep(ToneGenerator& generator, double& level) {
  const uint32_t counter = generator.riseCounter.load(relaxed);
  const uint32_t step = counter > 0 ? counter - 1 : 0;
  generator.riseCounter.store(step, relaxed);
  level = RaisedCosine(step, generator.dwTotalRiseTimeSamples, generator.amplitude);
  if (step > 0) return;
  generator.riseBegun = false;
  generator.riseReversed = false;
  generator.rising.store(false, relaxed);
  generator.sounding.store(false, release);
}

// A rising tone whose release sample has come turns back down.
void TurnRiseBack(ToneGenerator& generator) {
  generator.releasePending.store(false, release);
  generator.riseReversed = true;
}

// Holding: full level until the count reaches the release sample, then the
// fall begins on that same sample.
void HoldStep(ToneGenerator& generator, double& level) {
  if (generator.samplesSinceKeyDown.load(relaxed) < generator.releaseSample.load(relaxed)) return;
  generator.releasePending.store(false, release);
  generator.fallCounter.store(0, relaxed);
  generator.falling.store(true, relaxed);
  FallStep(generator, level);
}

// The first sample that sees a new request begins that tone: its count
// starts here, and a fresh tone rises from phase 0. A cut ends the rise.
void MeetRequest(ToneGenerator& generator, uint32_t request) {
  if ((request ^ generator.startSeen) & ~kCut) {
    generator.samplesSinceKeyDown.store(0, relaxed);
    generator.riseBegun = (request & kFreshTone) != 0;
    generator.riseReversed = false;
    if (generator.riseBegun) {
      generator.riseCounter.store(0, relaxed);
      generator.fallCounter.store(0, relaxed);
      generator.phase.store(0.0, relaxed);
    }
  }
  if (request & kCut) generator.riseBegun = false;
  generator.startSeen = request;
}

// Half a wave early, so that the fall, stretched to a cycle boundary,
// makes the tone as long as the key was down.
void PublishRelease(ToneGenerator& generator, uint32_t keyDownMicros) {
  const uint32_t keyDownSamples = RealToCount(keyDownMicros / generator.microsPerSample + 0.5);
  const uint32_t half = generator.halfWaveLength;
  generator.releaseSample.store(keyDownSamples > half ? keyDownSamples - half : keyDownSamples, relaxed);
  generator.releasePending.store(true, release);
}

// Ends the tone at once, without a fall.
void CutTone(ToneGenerator& generator) {
  generator.sounding.store(false, release);
  generator.falling.store(false, relaxed);
  generator.releasePending.store(false, release);
  generator.rising.store(false, relaxed);
  generator.startRequest.store(generator.startRequest.load(relaxed) | kCut, release);
}

// Asks for a tone unless one still sounds.
void StartToneOn(ToneGenerator& generator) {
  if (generator.sounding.load(acquire)) return;
  // A tone cut mid-envelope left its phase and counters where they were: the
  // next one carries on from there, without a rise.
  const bool fresh = !(generator.rising.load(relaxed) || generator.falling.load(relaxed));
  generator.rising.store(fresh, relaxed);
  // The flags are settled before the request and `sounding` publish the
  // tone, so a fill call that meets the new tone never sees the old tone's
  // fall or release.
  generator.falling.store(false, relaxed);
  generator.releasePending.store(false, relaxed);
  const uint32_t asked = generator.startRequest.load(relaxed) & ~(kFreshTone | kCut);
  generator.startRequest.store(asked + kNextRequest + (fresh ? kFreshTone : 0), release);
  generator.sounding.store(true, release);
}

// The samples [from, to) of the call; FillBuffer's loop, shared with
// scheduled keying. Built into each caller, so that FillBuffer's whole-buffer
// loop costs a sample no more than it did on its own.
[[gnu::always_inline]] inline void Produce(ToneGenerator& generator, int16_t* buffer, uint32_t half,
                                           uint32_t from, uint32_t to, double& level) {
  // The count is this thread's alone: kept here, stored at every sample for
  // the steps and the readers, never read back.
  uint32_t produced = generator.samplesSinceKeyDown.load(relaxed);
  for (uint32_t i = from; i < to; ++i) {
    // A release is read before the request, so that it never comes without
    // the start it follows.
    const bool holding = generator.releasePending.load(acquire);
    const uint32_t request = generator.startRequest.load(acquire);
    if (request != generator.startSeen) {
      MeetRequest(generator, request);
      produced = generator.samplesSinceKeyDown.load(relaxed);
    }
    const double phase = generator.phase.load(relaxed) + generator.phaseIncrement;
    generator.phase.store(phase, relaxed);
    if (generator.riseBegun) {
      if (holding && produced >= generator.releaseSample.load(relaxed)) TurnRiseBack(generator);
      generator.riseReversed ? RiseBackStep(generator, level) : RiseStep(generator, level);
    } else if (holding) {
      HoldStep(generator, level);
    } else if (generator.falling.load(relaxed)) {
      FallStep(generator, level);
    }
    buffer[i] = buffer[half + i] = ToSample(std::sin(phase) * level);
    generator.samplesSinceKeyDown.store(++produced, relaxed);
  }
}

}  // namespace

void StartTone() {
  ToneGenerator* generator = appState.toneGenerator;
  if (generator != nullptr) StartToneOn(*generator);
}

void ReleaseTone(uint32_t keyDownMicros) {
  ToneGenerator* generator = appState.toneGenerator;
  if (generator == nullptr || !generator->sounding.load(acquire)) return;
  if (generator->rising.load(relaxed) || generator->falling.load(relaxed)) {
    CutTone(*generator);
    return;
  }
  generator->falling.store(false, relaxed);
  PublishRelease(*generator, keyDownMicros);
  generator->rising.store(false, relaxed);
}

void FillBuffer(int16_t* buffer, uint32_t count, void* context) {
  ToneGenerator& generator = *static_cast<ToneGenerator*>(context);
  if (!generator.sounding.load(acquire)) {
    std::fill_n(buffer, count, int16_t{0});
    return;
  }
  const uint32_t half = count / 2;
  double level = generator.amplitude;  // the working level belongs to this call
  Produce(generator, buffer, half, 0, half, level);
  if (count % 2 != 0) buffer[count - 1] = 0;  // a value that belongs to neither half
  generator.buffersPlayed.store(generator.buffersPlayed.load(relaxed) + 1, relaxed);
}

void ProduceSamples(ToneGenerator& generator, int16_t* buffer, uint32_t half, uint32_t from, uint32_t to,
                    double& level) {
  Produce(generator, buffer, half, from, to, level);
}

void StartScheduledTone(ToneGenerator& generator, double& level) {
  if (!generator.sounding.load(relaxed)) {
    StartToneOn(generator);
    level = generator.amplitude;  // a tone's working level starts full, as at a call's start
    return;
  }
  // Still falling (or running its rise back): rise again from the level it
  // has reached, on the same phase, as a new tone.
  const uint32_t rise = generator.dwTotalRiseTimeSamples;
  generator.riseCounter.store(RiseStepAtOrBelow(LevelReached(generator), rise), relaxed);
  generator.riseBegun = true;
  generator.riseReversed = false;
  generator.rising.store(true, relaxed);
  generator.falling.store(false, relaxed);
  generator.releasePending.store(false, release);
  generator.samplesSinceKeyDown.store(0, relaxed);
}

void ReleaseScheduledTone(ToneGenerator& generator, uint32_t keyDownMicros) {
  if (generator.sounding.load(relaxed)) PublishRelease(generator, keyDownMicros);
}

void PlanFall(ToneGenerator& generator) {
  // Without a fall the configured length is 0, and the tone runs on at its
  // level to the next cycle boundary.
  const uint32_t fall = generator.dwCalculatedFallTimeSamples;
  const uint32_t reached = generator.samplesSinceKeyDown.load(relaxed) + fall;
  generator.fallLength.store(fall + SamplesToCycleBoundary(reached, generator), relaxed);
}

void FallStep(ToneGenerator& generator, double& level) {
  const uint32_t counter = generator.fallCounter.load(relaxed);
  if (counter == 0) PlanFall(generator);
  const uint32_t step = counter + 1;
  generator.fallCounter.store(step, relaxed);
  const uint32_t length = generator.fallLength.load(relaxed);
  if (step < length) {
    if (generator.hasFall) level = RaisedCosine(length - step, length, generator.amplitude);
    return;
  }
  // The fall is over: end on the first sample whose sine is not negative. A
  // sine that is not a number (no usable tone) ends the tone as well.
  if (!(std::sin(generator.phase.load(relaxed)) < 0.0)) {
    level = 0.0;
    generator.falling.store(false, relaxed);
    generator.sounding.store(false, release);
  }
}
