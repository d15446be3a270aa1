#pragma once
// The sidetone generator: the audio channel's registration, the tone's
// parameters, fixed once worked out, and the envelope, which the audio thread
// alone moves. The key side reaches the generator only through its queue of
// stamped key edges.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "asiohost.h"
#include "tone/envelope.h"
#include "tone/key_edge_queue.h"
#include "tone/key_output.h"
#include "tone/key_schedule.h"
#include "tone/keyer.h"

constexpr double kTwoPi = 6.283185307179586;

// What the operator asked of the tone.
struct ToneRequest {
  double attenuation;  // dB below the 16-bit peak
  double frequency;    // Hz
  double riseTime;     // s
  double fallTime;     // s
  bool scheduled;      // each edge on the sample of its stamp, one delay later
  KeyerMode keyer = KeyerMode::Straight;
  int32_t keyerSpeed = 20;   // words per minute
  int32_t keyerWeight = 50;
};

// Worked out once, before the channel exists, and only read afterwards.
struct ToneParameters {
  double phaseIncrement;  // radians per sample
  double levelDb;
  double amplitude;
  double WaveLength;  // samples per cycle
  double microsPerSample;
  int32_t sampleRate;
  int32_t samplesPerCall;  // both halves together: twice the frames of a call
  uint32_t wholeWaveLength;
  uint32_t halfWaveLength;
  uint32_t dwTotalRiseTimeSamples;
  uint32_t dwCalculatedFallTimeSamples;
  bool hasFall;
  bool scheduled;
  int64_t counterFrequency;  // counts per second of the key stamps
  KeyerMode keyer;
  int32_t keyerWeight;
};

struct ToneGenerator {
  ChannelDescriptor channelDescriptor;  // first: its address is the generator's
  ToneParameters params;
  // From the key side to the audio thread.
  KeyEdgeQueue edges;
  std::atomic<int32_t> keyerSpeed;  // words per minute, for the next element
  // The audio thread's own.
  Envelope envelope;
  KeySchedule schedule;
  KeyOutput output;
  Keyer keyer;
  // From the audio thread to the lamp, in the keyer modes.
  KeyEdgeQueue lampEdges;
  // Written by the audio thread, read by anyone: a tone is on, and the fill
  // calls that produced tone.
  std::atomic<bool> sounding;
  std::atomic<uint32_t> buffersPlayed;
  bool channelReady;
};

static_assert(offsetof(ToneGenerator, channelDescriptor) == 0,
              "the library is handed the generator's address as its descriptor's");

// A generator with every field zero.
ToneGenerator* CreateToneGenerator();
void DestroyToneGenerator(ToneGenerator* generator);

// Derives the tone's parameters from `request` and `params.sampleRate`, and
// puts the envelope in its silent state. Writes its lines to the debug log.
void ComputeToneParameters(ToneGenerator& generator, const ToneRequest& request);
