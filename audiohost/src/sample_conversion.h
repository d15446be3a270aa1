#pragma once
// Turns the program's fill buffer (a left half, then a right half, 16-bit)
// into the interleaved frames an endpoint takes.

#include <cstdint>

enum class SampleFormat { Int16, Int24, Int32, Float32 };

struct FrameFormat {
  SampleFormat sample = SampleFormat::Int16;
  uint32_t channels = 2;
};

uint32_t BytesPerSample(SampleFormat sample);

// Writes `frames` frames to `out`. The left half goes to the first channel
// and the right half to the second; a one-channel endpoint gets their mean,
// and channels past the second get silence.
void ConvertHalves(const int16_t* halves, uint32_t frames, const FrameFormat& format, uint8_t* out);
