#include "sample_conversion.h"

#include <cstring>

namespace {

void PutSample(int16_t value, SampleFormat sample, uint8_t* out) {
  switch (sample) {
    case SampleFormat::Int16:
      std::memcpy(out, &value, 2);
      break;
    case SampleFormat::Int24: {
      const int32_t wide = value * 256;
      out[0] = static_cast<uint8_t>(wide);
      out[1] = static_cast<uint8_t>(wide >> 8);
      out[2] = static_cast<uint8_t>(wide >> 16);
      break;
    }
    case SampleFormat::Int32: {
      const int32_t wide = value * 65536;
      std::memcpy(out, &wide, 4);
      break;
    }
    case SampleFormat::Float32: {
      const float real = static_cast<float>(value) / 32768.0f;
      std::memcpy(out, &real, 4);
      break;
    }
  }
}

}  // namespace

uint32_t BytesPerSample(SampleFormat sample) {
  switch (sample) {
    case SampleFormat::Int16: return 2;
    case SampleFormat::Int24: return 3;
    case SampleFormat::Int32:
    case SampleFormat::Float32: return 4;
  }
  return 2;
}

void ConvertHalves(const int16_t* halves, uint32_t frames, const FrameFormat& format, uint8_t* out) {
  const uint32_t sampleBytes = BytesPerSample(format.sample);
  const int16_t* left = halves;
  const int16_t* right = halves + frames;
  for (uint32_t i = 0; i < frames; ++i) {
    if (format.channels == 1) {
      PutSample(static_cast<int16_t>((left[i] + right[i]) / 2), format.sample, out);
      out += sampleBytes;
      continue;
    }
    PutSample(left[i], format.sample, out);
    PutSample(right[i], format.sample, out + sampleBytes);
    out += 2 * sampleBytes;
    for (uint32_t c = 2; c < format.channels; ++c, out += sampleBytes) std::memset(out, 0, sampleBytes);
  }
}
