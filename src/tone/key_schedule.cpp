#include "tone/key_schedule.h"

#include <algorithm>
#include <cmath>

#include "app/app_state.h"
#include "tone/envelope.h"
#include "tone/key_clock.h"
#include "tone/performance_counter.h"
#include "tone/real_to_count.h"
#include "tone/tone_generator.h"

namespace {

constexpr auto relaxed = std::memory_order_relaxed;
constexpr auto acquire = std::memory_order_acquire;
constexpr auto release = std::memory_order_release;

constexpr double kTwoPi = 6.283185307179586;
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
// A press whose start lies further back than this when the fill callback
// meets it (the device stalled or was away) is not played late.
constexpr double kStaleSeconds = 0.25;
constexpr double kMarginSeconds = 0.001;

double SecondsToSamples(double seconds, const ToneGenerator& generator) {
  return seconds * static_cast<uint32_t>(generator.sampleRate);
}

// Where the key-down `edge` starts its tone, in samples from this call's
// first sample, rounded to the nearest. An edge already stamped lies no
// further ahead than the delay past this buffer, whatever the clock model
// says while it is still settling.
double StartSample(const ToneGenerator& generator, const KeyEdgeQueue::Edge& edge, uint32_t half) {
  const KeySchedule& schedule = generator.schedule;
  const double start = std::floor(SamplesFromBuffer(schedule.clock, edge.stamp, half) + schedule.delaySamples + 0.5);
  return std::min(start, static_cast<double>(half) + schedule.delaySamples);
}

void ApplyKeyDown(ToneGenerator& generator, int64_t stamp, double& level) {
  generator.schedule.toneDownStamp = stamp;
  StartScheduledTone(generator, level);
}

void ApplyKeyUp(ToneGenerator& generator, int64_t stamp) {
  const int64_t frequency = appState.counterFrequency.load(relaxed);
  ReleaseScheduledTone(generator, MicrosBetween(generator.schedule.toneDownStamp, stamp, frequency));
}

// After edges were lost to a full queue: the queue is emptied and the tone
// follows where the key was left, from this call's first sample.
void CatchUp(ToneGenerator& generator, int64_t now, double& level) {
  KeySchedule& schedule = generator.schedule;
  while (schedule.edges.Front() != nullptr) schedule.edges.Pop();
  if (schedule.keyDown.load(relaxed)) {
    if (!generator.sounding.load(relaxed)) ApplyKeyDown(generator, now, level);
  } else {
    ApplyKeyUp(generator, schedule.toneDownStamp);
  }
}

// Applies, in order, every queued edge due at sample `at` of this call, and
// returns the sample of the next one due within the call (`half` if none).
// A key-up is applied as soon as its key-down has been: its fall then comes
// on its own sample, counted from the tone's start.
uint32_t MeetEdges(ToneGenerator& generator, uint32_t at, uint32_t half, double& level) {
  KeyEdgeQueue& edges = generator.schedule.edges;
  const double stale = SecondsToSamples(kStaleSeconds, generator);
  while (const KeyEdgeQueue::Edge* edge = edges.Front()) {
    const KeyEdgeQueue::Edge front = *edge;
    if (!front.down) {
      edges.Pop();
      ApplyKeyUp(generator, front.stamp);
      continue;
    }
    const double start = StartSample(generator, front, half);
    if (start >= half) return half;
    if (start > at) return RealToCount(start);
    edges.Pop();
    if (start < at - stale) {
      // A press long gone is dropped whole; a key still held sounds from now.
      const KeyEdgeQueue::Edge* next = edges.Front();
      if (next != nullptr && !next->down) {
        edges.Pop();
        continue;
      }
    }
    ApplyKeyDown(generator, front.stamp, level);
  }
  return half;
}

}  // namespace

bool KeyEdgeQueue::Push(const Edge& edge) {
  const uint32_t tail = tail_.load(relaxed);
  if (tail - head_.load(acquire) == kCapacity) return false;
  edges_[tail % kCapacity] = edge;
  tail_.store(tail + 1, release);
  return true;
}

const KeyEdgeQueue::Edge* KeyEdgeQueue::Front() const {
  const uint32_t head = head_.load(relaxed);
  return head == tail_.load(acquire) ? nullptr : &edges_[head % kCapacity];
}

void KeyEdgeQueue::Pop() { head_.store(head_.load(relaxed) + 1, release); }

void AdvanceSampleClock(SampleClock& clock, int64_t now, uint32_t bufferSamples, double sampleRate,
                        double counterFrequency) {
  const double nominalPeriod = bufferSamples * counterFrequency / sampleRate;
  if (!clock.started) {
    clock = SampleClock{true, now, 0.0, nominalPeriod, nominalPeriod, 0.0, 0, 0.0, 0.0};
    return;
  }
  double error = static_cast<double>(now - clock.origin) - clock.nextTime;
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
  const double omega = std::min(kTwoPi * kBandwidthHz * bufferSamples / sampleRate, kLargestOmega);
  clock.bufferTime = clock.nextTime;
  clock.nextTime += std::sqrt(2.0) * omega * clipped + clock.period;
  // A device runs within a fraction of a percent of its nominal rate; calls
  // that suggest more are no measure of it.
  clock.period = std::clamp(clock.period + omega * omega * clipped, (1.0 - kPeriodRange) * nominalPeriod,
                            (1.0 + kPeriodRange) * nominalPeriod);
}

double SamplesFromBuffer(const SampleClock& clock, int64_t stamp, uint32_t bufferSamples) {
  return (static_cast<double>(stamp - clock.origin) - clock.bufferTime) / clock.period * bufferSamples;
}

void QueueKeyEdge(KeySchedule& schedule, bool down, int64_t stamp) {
  schedule.keyDown.store(down, relaxed);
  if (!schedule.edges.Push({stamp, down})) schedule.overflowed.store(true, release);
}

uint32_t ScheduleDelaySamples(const ToneGenerator& generator, uint32_t bufferSamples) {
  return bufferSamples + RealToCount(std::ceil(SecondsToSamples(kMarginSeconds, generator))) +
         generator.halfWaveLength;
}

void FillScheduled(int16_t* buffer, uint32_t count, void* context) {
  ToneGenerator& generator = *static_cast<ToneGenerator*>(context);
  KeySchedule& schedule = generator.schedule;
  const uint32_t half = count / 2;
  const int64_t now = ReadPerformanceCounter();
  const double rate = static_cast<uint32_t>(generator.sampleRate);
  const double frequency = static_cast<double>(appState.counterFrequency.load(relaxed));
  AdvanceSampleClock(schedule.clock, now, half, rate, frequency);
  schedule.delaySamples = ScheduleDelaySamples(generator, half);

  double level = generator.amplitude;  // the working level belongs to this call
  if (schedule.overflowed.exchange(false, acquire)) CatchUp(generator, now, level);
  bool played = false;
  for (uint32_t at = 0; at < half;) {
    const uint32_t next = MeetEdges(generator, at, half, level);
    if (generator.sounding.load(relaxed)) {
      ProduceSamples(generator, buffer, half, at, next, level);
      played = true;
    } else {
      std::fill(buffer + at, buffer + next, int16_t{0});
      std::fill(buffer + half + at, buffer + half + next, int16_t{0});
    }
    at = next;
  }
  if (count % 2 != 0) buffer[count - 1] = 0;  // a value that belongs to neither half
  if (played) generator.buffersPlayed.store(generator.buffersPlayed.load(relaxed) + 1, relaxed);
}
