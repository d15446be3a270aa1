#include "tone/key_schedule.h"

#include <algorithm>
#include <cmath>

#include "tone/envelope.h"
#include "tone/key_clock.h"
#include "tone/key_output.h"
#include "tone/keyer.h"
#include "tone/real_to_count.h"
#include "tone/tone_generator.h"

namespace {

// The loop's bandwidth, and the largest share of a deviation it takes in one
// call: narrow enough that the model wanders by less than a sample under the
// usual wake-up jitter, wide enough to settle within seconds of the start.
constexpr double kBandwidthHz = 0.5;
constexpr double kLargestOmega = 0.02;
// Calls in a row, each more than half a buffer period off the model and
// within a quarter period of the one before (an underrun, a stall or a first
// call late by a period put them there), that move it.
constexpr uint32_t kOffRun = 8;
// How far the model's period may stray from the nominal one.
constexpr double kPeriodRange = 0.01;
// The mean of the clipped deviations follows this many calls.
constexpr double kMeanCalls = 32.0;
// A press whose key-down is older than this when the fill callback meets it
// (the device stalled or was away) is not played late.
constexpr double kStaleSeconds = 0.25;
constexpr double kMarginSeconds = 0.001;

using Edge = KeyEdgeQueue::Edge;

double Rate(const ToneParameters& params) { return static_cast<uint32_t>(params.sampleRate); }

// Counter values are far inside a double's exact range, and a difference of
// doubles cannot overflow whatever a stamp holds.
double CountsBetween(int64_t from, int64_t to) { return static_cast<double>(to) - static_cast<double>(from); }

double FramesBetween(int64_t from, int64_t to, const ToneParameters& params) {
  return CountsBetween(from, to) / static_cast<double>(params.counterFrequency) * Rate(params);
}

double StaleCounts(const ToneParameters& params) {
  return kStaleSeconds * static_cast<double>(params.counterFrequency);
}

bool IsStale(const ToneGenerator& generator, const Edge& edge) {
  return CountsBetween(edge.stamp, generator.schedule.now) > StaleCounts(generator.params);
}

// A call that comes later than the clock model expects by more than any
// wake-up is late follows a stall of the device: until the model has taken
// the new pace, it places what was stamped meanwhile too far ahead.
bool AfterStall(const KeySchedule& schedule, const ToneParameters& params) {
  const SampleClock& clock = schedule.clock;
  return CountsBetween(clock.origin, schedule.now) - clock.bufferTime > StaleCounts(params);
}

// Where `edge` takes effect, in frames from this call's first, rounded to
// the nearest: from its stamp through the clock model and the delay; in the
// immediate timing on frame `at`, but a key-down while the tone before it
// still sounds its gap after the key-up before it. Never before `at`, the
// frame the call has reached.
uint64_t EdgeFrame(const ToneGenerator& generator, const Edge& edge, uint32_t at, uint32_t frames) {
  const KeySchedule& schedule = generator.schedule;
  const bool afterTone = edge.input == KeyInput::Key && generator.envelope.state != EnvelopeState::kSilent;
  const double start =
      generator.params.scheduled ? FramesFromBuffer(schedule.clock, edge.stamp, frames) + schedule.delayFrames
      : afterTone ? schedule.lastEdgeFrame - static_cast<double>(schedule.callFrame) +
                        FramesBetween(schedule.lastEdgeStamp, edge.stamp, generator.params)
                  : 0.0;
  const double latest = static_cast<double>(frames) + schedule.delayFrames;
  return schedule.callFrame + RealToCount(std::clamp(std::floor(start + 0.5), static_cast<double>(at), latest));
}

void ApplyKeyDown(ToneGenerator& generator, int64_t stamp, uint32_t at) {
  KeySchedule& schedule = generator.schedule;
  schedule.toneDownStamp = stamp;
  schedule.toneFrame = schedule.callFrame + at;
  schedule.lastEdgeStamp = stamp;
  schedule.lastEdgeFrame = static_cast<double>(schedule.toneFrame);
  schedule.keyDown = true;
  KeyToneFrom(generator, ToneKey::Straight, schedule.toneFrame);
}

// The key-up lands where the key-down time says, or on frame `at` when that
// has passed.
void ApplyKeyUp(ToneGenerator& generator, int64_t stamp, uint32_t at) {
  KeySchedule& schedule = generator.schedule;
  const ToneParameters& params = generator.params;
  const uint32_t held = KeyDownSamples(params, MicrosBetween(schedule.toneDownStamp, stamp, params.counterFrequency));
  schedule.lastEdgeStamp = stamp;
  schedule.lastEdgeFrame = static_cast<double>(std::max(schedule.callFrame + at, schedule.toneFrame + held));
  schedule.keyDown = false;
  KeyToneUntil(generator, ToneKey::Straight, schedule.toneFrame + held);
}

// After edges were lost to a full queue the tone follows where the key and
// the paddles were left, from this call's first frame: a key left up
// releases at once.
void CatchUp(ToneGenerator& generator, uint8_t levels) {
  KeySchedule& schedule = generator.schedule;
  schedule.frontPlaced = false;
  CatchUpPaddles(generator, levels);
  const bool keyDown = (levels & InputBit(KeyInput::Key)) != 0;
  if (keyDown == schedule.keyDown) return;
  if (keyDown) {
    ApplyKeyDown(generator, schedule.now, 0);
  } else {
    ApplyKeyUp(generator, schedule.toneDownStamp, 0);
  }
}

// Gives the edge at the queue's front (a key-down or a paddle edge) its frame
// when it is first met: in the immediate timing for good; in the scheduled
// timing the latest it may have, no further ahead than the delay past this
// buffer if this call follows a stall. False when it was met too late to be
// played: a press long gone is dropped whole, and a key still held sounds
// from frame `at`; a paddle takes the edge's side at once, but a closing
// arms no memory.
bool PlaceEdge(ToneGenerator& generator, const Edge& front, uint32_t at, uint32_t frames) {
  KeySchedule& schedule = generator.schedule;
  KeyEdgeQueue& edges = generator.edges;
  if (!IsStale(generator, front)) {
    const bool anchored = !generator.params.scheduled || AfterStall(schedule, generator.params);
    schedule.frontFrame = anchored ? EdgeFrame(generator, front, at, frames) : UINT64_MAX;
    schedule.frontPlaced = true;
    return true;
  }
  edges.Pop();
  if (front.input != KeyInput::Key) {
    MeetPaddleEdge(generator, front, false);
    return false;
  }
  const Edge* next = edges.Front();
  if (next != nullptr && next->input == KeyInput::Key && !next->down) {
    edges.Pop();
  } else {
    ApplyKeyDown(generator, front.stamp, at);
  }
  return false;
}

// Applies the queued edges due at frame `at`, and returns the frame of the
// next one due within the call (`frames` if none).
uint32_t MeetQueuedEdges(ToneGenerator& generator, uint32_t at, uint32_t frames) {
  KeySchedule& schedule = generator.schedule;
  KeyEdgeQueue& edges = generator.edges;
  while (const Edge* edge = edges.Front()) {
    const Edge front = *edge;
    if (front.input == KeyInput::Key && !front.down) {
      edges.Pop();
      ApplyKeyUp(generator, front.stamp, at);
      continue;
    }
    if (!schedule.frontPlaced && !PlaceEdge(generator, front, at, frames)) continue;
    // The clock model moves from call to call, as it follows the calls that
    // catch up after a late wake-up: each call asks it afresh.
    uint64_t frame = schedule.frontFrame;
    if (generator.params.scheduled) frame = std::min(frame, EdgeFrame(generator, front, at, frames));
    const uint64_t due = frame - schedule.callFrame;
    if (due >= frames) return frames;
    if (due > at) return static_cast<uint32_t>(due);
    edges.Pop();
    schedule.frontPlaced = false;
    if (front.input == KeyInput::Key) {
      ApplyKeyDown(generator, front.stamp, at);
    } else {
      MeetPaddleEdge(generator, front, true);
    }
  }
  return frames;
}

}  // namespace

void AdvanceSampleClock(SampleClock& clock, int64_t now, uint32_t frames, double sampleRate,
                        double counterFrequency) {
  const double nominalPeriod = frames * counterFrequency / sampleRate;
  if (!clock.started) {
    clock = SampleClock{true, now, 0.0, nominalPeriod, nominalPeriod, 0.0, 0, 0.0, 0.0};
    return;
  }
  double error = CountsBetween(clock.origin, now) - clock.nextTime;
  // A new pace: calls that keep to one deviation of more than half a period.
  // Calls catching up after a late wake-up come a period nearer the model
  // each, so they break the run.
  const bool off = std::fabs(error) > clock.period / 2;
  const bool steady = clock.offRun > 0 && std::fabs(error - clock.offLast) < clock.period / 4;
  clock.offRun = off ? (steady ? clock.offRun + 1 : 1) : 0;
  // The run's deviation nearest the model: late wake-ups only add to it.
  if (clock.offRun == 1 || std::fabs(error) < std::fabs(clock.offLeast)) clock.offLeast = error;
  clock.offLast = error;
  if (clock.offRun == kOffRun) {
    clock.nextTime += clock.offLeast;
    error -= clock.offLeast;
    clock.offRun = 0;
  }
  const double cap = 2.0 * clock.meanError + counterFrequency / sampleRate;
  const double clipped = std::clamp(error, -cap, cap);
  clock.meanError += (std::fabs(clipped) - clock.meanError) / kMeanCalls;
  const double omega = std::min(kTwoPi * kBandwidthHz * frames / sampleRate, kLargestOmega);
  clock.bufferTime = clock.nextTime;
  clock.nextTime += std::sqrt(2.0) * omega * clipped + clock.period;
  // A device runs within a fraction of a percent of its nominal rate; calls
  // that suggest more are no measure of it.
  clock.period = std::clamp(clock.period + omega * omega * clipped, (1.0 - kPeriodRange) * nominalPeriod,
                            (1.0 + kPeriodRange) * nominalPeriod);
}

double FramesFromBuffer(const SampleClock& clock, int64_t stamp, uint32_t frames) {
  return (CountsBetween(clock.origin, stamp) - clock.bufferTime) / clock.period * frames;
}

uint32_t ScheduleDelayFrames(const ToneGenerator& generator, uint32_t frames) {
  return frames + RealToCount(std::ceil(kMarginSeconds * Rate(generator.params))) + generator.params.halfWaveLength;
}

void BeginScheduleCall(ToneGenerator& generator, int64_t now, uint32_t frames) {
  KeySchedule& schedule = generator.schedule;
  const ToneParameters& params = generator.params;
  schedule.now = now;
  if (params.scheduled) {
    AdvanceSampleClock(schedule.clock, now, frames, Rate(params), static_cast<double>(params.counterFrequency));
    schedule.delayFrames = ScheduleDelayFrames(generator, frames);
  }
  uint8_t levels = 0;
  if (generator.edges.TakeOverflow(levels)) CatchUp(generator, levels);
}

uint32_t MeetEdges(ToneGenerator& generator, uint32_t at, uint32_t frames) {
  const uint32_t nextEdge = MeetQueuedEdges(generator, at, frames);
  const uint32_t nextElement = RunKeyer(generator, at, frames);
  return std::min({nextEdge, nextElement, MeetKeyingEnd(generator, at, frames)});
}

void EndScheduleCall(ToneGenerator& generator, uint32_t frames) { generator.schedule.callFrame += frames; }
