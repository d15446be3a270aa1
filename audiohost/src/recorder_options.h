#pragma once
// The WAV file recorder's settings, from the environment:
//   ASIOHOST_RATE    sample rate in hertz (default 48000)
//   ASIOHOST_BUFFER  samples per channel in one buffer (default 128)
//   ASIOHOST_WAV     the output file (default sidetone.wav in the working folder)
// A value that cannot be used is reported on standard error and the default
// is taken instead.

#include <cstdint>
#include <string>

struct RecorderOptions {
  uint32_t sampleRate = 48000;
  uint32_t bufferFrames = 128;
  std::string wavPath = "sidetone.wav";
};

inline constexpr uint32_t kMinRate = 8000, kMaxRate = 384000;
inline constexpr uint32_t kMinBufferFrames = 16, kMaxBufferFrames = 16384;

RecorderOptions ReadRecorderOptions();

// A whole decimal number from `low` to `high`, nothing else around it.
bool ParseCount(const char* text, uint32_t low, uint32_t high, uint32_t& value);
