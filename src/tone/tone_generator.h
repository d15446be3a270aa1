#pragma once
// The sidetone generator: the audio channel's registration, the tone's
// parameters derived from the settings and the device, and the envelope state
// that the key side and the audio thread share without locks.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "asiohost.h"
#include "tone/key_schedule.h"

struct ToneGenerator {
  ChannelDescriptor channelDescriptor;  // first: its address is the generator's

  double phaseIncrement;  // radians per sample
  std::atomic<double> phase;
  double levelDb;
  double amplitude;
  double WaveLength;  // samples per cycle
  double microsPerSample;
  int32_t sampleRate;
  int32_t bufferSamples;
  std::atomic<uint32_t> samplesSinceKeyDown;
  std::atomic<uint32_t> releaseSample;
  uint32_t wholeWaveLength;
  uint32_t halfWaveLength;
  std::atomic<uint32_t> buffersPlayed;
  uint32_t dwTotalRiseTimeSamples;
  std::atomic<uint32_t> fallLength;
  uint32_t dwCalculatedFallTimeSamples;
  std::atomic<uint32_t> riseCounter;
  std::atomic<uint32_t> fallCounter;
  std::atomic<bool> rising;
  std::atomic<bool> falling;
  std::atomic<bool> releasePending;
  bool hasFall;
  std::atomic<bool> sounding;
  bool channelReady;
  // The audio thread alone writes the phase and the counters, so that a fill
  // call running on after its tone ended cannot undo the next tone's reset:
  // the key side asks for a tone, or cuts it, in this word (the request
  // constants below), and the fill loop resets them on the first sample that
  // sees a tone it has not begun.
  std::atomic<uint32_t> startRequest;
  // The audio thread's own: the request word it has met, whether it is
  // running the rise of the tone it began, and whether that rise runs back.
  uint32_t startSeen;
  bool riseBegun;
  bool riseReversed;
  KeySchedule schedule;
};

// The request word: a fresh tone (a rise from phase 0), a cut of the tone
// asked for, and the count of tones asked for in units of kNextRequest.
constexpr uint32_t kFreshTone = 1;
constexpr uint32_t kCut = 2;
constexpr uint32_t kNextRequest = 4;

static_assert(offsetof(ToneGenerator, channelDescriptor) == 0,
              "the library is handed the generator's address as its descriptor's");
static_assert(std::atomic<double>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "the audio thread must never wait on the key side");

// A generator with every field zero.
ToneGenerator* CreateToneGenerator();
void DestroyToneGenerator(ToneGenerator* generator);

// Derives the tone's parameters from the settings and `sampleRate`, and puts
// the envelope in its silent state. Writes its lines to the debug log.
void ComputeToneParameters(ToneGenerator& generator);
