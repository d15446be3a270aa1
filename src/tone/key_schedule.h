#pragma once
// When each queued key edge takes effect, on the audio thread.
//
// Immediate timing: on the first sample of the fill call that first sees it.
// But while the tone before it still sounds, a key-down comes no sooner
// after the key-up before it than their stamps are apart, so that a key-up
// and the next key-down met by one call keep their gap instead of merging
// two presses into one tone.
//
// Scheduled timing: every tone delayed by one constant amount, so that its
// start and its fall come on the samples that match the key stamps instead
// of wherever the next fill call happens to fall. The stamps are mapped to
// output samples through a smoothed model of the fill calls (a delay-locked
// loop on the counter).
//
// In both, a key-up is applied as soon as its key-down has been: its fall
// then comes on its own sample, counted from the tone's start.

#include <cstdint>

struct ToneGenerator;

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

// Feeds one fill call at counter value `now`, for buffers of `frames` frames
// at the device's nominal `sampleRate` and a counter of `counterFrequency`.
void AdvanceSampleClock(SampleClock& clock, int64_t now, uint32_t frames, double sampleRate,
                        double counterFrequency);
// Where counter value `stamp` falls, in frames from this call's first frame
// (negative for the past), for buffers of `frames` frames.
double FramesFromBuffer(const SampleClock& clock, int64_t stamp, uint32_t frames);

// The audio thread's record of the edges it has met. Frames count from the
// first fill call.
struct KeySchedule {
  SampleClock clock;      // scheduled timing only
  uint32_t delayFrames;   // from a key stamp to its frame; 0 in immediate timing
  int64_t now;            // counter value at this call
  uint64_t callFrame;     // this call's first frame
  bool frontPlaced;       // the key-down at the queue's front has been met,
  uint64_t frontFrame;    // and this is the latest frame it may take effect on
  bool keyDown;           // the last edge met was a key-down
  int64_t toneDownStamp;  // the key-down of the tone that sounds
  uint64_t toneFrame;     // the frame it took effect on
  int64_t lastEdgeStamp;  // the last edge met, and the frame it landed on
  double lastEdgeFrame;
};


// Starts a fill call of `frames` frames at counter value `now`: the clock,
// the delay, and the key where it was left if edges were lost.
void BeginScheduleCall(ToneGenerator& generator, int64_t now, uint32_t frames);
// Applies every queued edge due at frame `at` of this call, then starts the
// keyer's element due there, and returns the next frame within the call at
// which an edge, the keyer or the end of the keying is due (`frames` if none).
uint32_t MeetEdges(ToneGenerator& generator, uint32_t at, uint32_t frames);
// Ends the call.
void EndScheduleCall(ToneGenerator& generator, uint32_t frames);

// The delay from a key stamp to its tone in scheduled timing, in frames: one
// buffer period, so that the edge is known before its frame is produced, and
// a margin of 1 ms and half a wave. The millisecond takes fill calls that
// come earlier than the model expects and the moment between a stamp and
// its edge in the queue; the half wave is how early a fall begins before
// its key-up frame.
uint32_t ScheduleDelayFrames(const ToneGenerator& generator, uint32_t frames);
