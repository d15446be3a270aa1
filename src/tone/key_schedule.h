#pragma once
// Scheduled keying: every tone delayed by one constant amount, so that its
// start and its fall come on the samples that match the key stamps instead
// of wherever the next fill call happens to fall.
//
// The keying controller queues each stamped edge; the fill callback maps the
// stamps to output samples through a smoothed model of its own calls (a
// delay-locked loop on the counter) and starts or releases the tone on
// exactly those samples, one fixed delay later.

#include <atomic>
#include <cstdint>

struct ToneGenerator;

// Stamped key edges in the order they happened, from the keying controller to
// the fill callback. One producer at a time (the keying controller performs
// one edge at a time, on whichever key source's thread) and one consumer (the
// audio thread); no lock, no allocation.
class KeyEdgeQueue {
 public:
  struct Edge {
    int64_t stamp;  // performance counter
    bool down;
  };

  // False when full; the edge is then lost, and the consumer learns it.
  bool Push(const Edge& edge);
  // The oldest edge, or null when there is none.
  const Edge* Front() const;
  void Pop();

 private:
  static constexpr uint32_t kCapacity = 64;
  Edge edges_[kCapacity];
  std::atomic<uint32_t> head_{0};  // consumer's: the next edge to read
  std::atomic<uint32_t> tail_{0};  // producer's: the next slot to write
};

// The counter time of each fill call's first sample, smoothed: a second-order
// delay-locked loop over the call times. Deviations are clipped to twice
// their running mean (plus a sample), so late wake-ups and calls that come
// two at a time hardly move it, while a drifting device clock is followed by
// the loop's period. Eight calls in a row that keep to one deviation of more
// than half a buffer period (an underrun, a stall that moved the device's
// pace, a first call late by a period) move it at once.
struct SampleClock {
  bool started;
  int64_t origin;     // counter value of the first call
  double bufferTime;  // this call's first sample, in counts since origin
  double nextTime;    // the next call's first sample, predicted
  double period;      // counts per buffer
  double meanError;   // running mean of the clipped deviations, in counts
  uint32_t offRun;    // calls in a row that keep to one such deviation
  double offLast;     // the last call's deviation
  double offLeast;    // the run's deviation nearest the model
};

// Feeds one fill call at counter value `now`, for buffers of `bufferSamples`
// at the device's nominal `sampleRate` and a counter of `counterFrequency`.
void AdvanceSampleClock(SampleClock& clock, int64_t now, uint32_t bufferSamples, double sampleRate,
                        double counterFrequency);
// Where counter value `stamp` falls, in samples from this call's first
// sample (negative for the past), for buffers of `bufferSamples`.
double SamplesFromBuffer(const SampleClock& clock, int64_t stamp, uint32_t bufferSamples);

// What scheduled keying keeps in the generator. The queue is shared; the
// rest belongs to the audio thread.
struct KeySchedule {
  bool enabled;
  KeyEdgeQueue edges;
  // Set by the producer when an edge was lost to a full queue; `keyDown` is
  // then where the key was left.
  std::atomic<bool> overflowed;
  std::atomic<bool> keyDown;
  SampleClock clock;
  uint32_t delaySamples;  // from a key stamp to its sample
  int64_t toneDownStamp;  // the key-down of the tone that sounds
};

// Key side: queues a key edge stamped `stamp`.
void QueueKeyEdge(KeySchedule& schedule, bool down, int64_t stamp);

// The fill callback in scheduled keying, in place of FillBuffer.
void FillScheduled(int16_t* buffer, uint32_t count, void* context);

// The delay from a key stamp to its tone, in samples: one buffer period, so
// that the edge is known before its sample is produced, and a margin of 1 ms
// and half a wave. The millisecond takes fill calls that come earlier than
// the model expects and the moment between a stamp and its edge in the
// queue; the half wave is how early a fall begins before its key-up sample.
uint32_t ScheduleDelaySamples(const ToneGenerator& generator, uint32_t bufferSamples);
