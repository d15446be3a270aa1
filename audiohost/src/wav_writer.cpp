#include "wav_writer.h"

#include <cstring>

namespace {

// RIFF lengths are 32 bits; the RIFF length counts the header less 8 bytes.
constexpr uint32_t kMaxDataBytes = 0xFFFFFFFFu - (kWavHeaderBytes - 8);

void PutLittleEndian(uint8_t* at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void BuildHeader(uint8_t (&header)[kWavHeaderBytes], uint32_t sampleRate, uint32_t dataBytes) {
  std::memcpy(header + 0, "RIFF", 4);
  PutLittleEndian(header + 4, dataBytes + kWavHeaderBytes - 8, 4);
  std::memcpy(header + 8, "WAVEfmt ", 8);
  PutLittleEndian(header + 16, 16, 4);  // length of the fmt chunk
  PutLittleEndian(header + 20, 1, 2);   // integer PCM
  PutLittleEndian(header + 22, 2, 2);   // channels
  PutLittleEndian(header + 24, sampleRate, 4);
  PutLittleEndian(header + 28, sampleRate * kWavFrameBytes, 4);
  PutLittleEndian(header + 32, kWavFrameBytes, 2);
  PutLittleEndian(header + 34, 16, 2);  // bits per sample
  std::memcpy(header + 36, "data", 4);
  PutLittleEndian(header + 40, dataBytes, 4);
}

}  // namespace

bool OpenWav(WavFile& wav, const char* path, uint32_t sampleRate) {
  CloseWav(wav);
  wav = WavFile{};
  wav.file = std::fopen(path, "w+b");
  if (!wav.file) return false;
  uint8_t header[kWavHeaderBytes];
  BuildHeader(header, sampleRate, 0);
  if (std::fwrite(header, sizeof header, 1, wav.file) != 1 || std::fflush(wav.file) != 0) {
    std::fclose(wav.file);
    wav.file = nullptr;
    return false;
  }
  return true;
}

bool AppendWav(WavFile& wav, const int16_t* frames, uint32_t frameCount) {
  if (!wav.file) return false;
  uint64_t bytes = uint64_t{frameCount} * kWavFrameBytes;
  const uint64_t room = kMaxDataBytes - wav.dataBytes;
  if (bytes > room) {
    bytes = room - room % kWavFrameBytes;
    wav.full = true;
  }
  if (bytes == 0) return true;
  // Samples go out little-endian, which is the machine's order on Windows.
  const size_t written = std::fwrite(frames, 1, static_cast<size_t>(bytes), wav.file);
  wav.dataBytes += static_cast<uint32_t>(written - written % kWavFrameBytes);
  return written == bytes;
}

void PatchWavHeader(WavFile& wav) {
  if (!wav.file) return;
  uint8_t lengths[4];
  PutLittleEndian(lengths, wav.dataBytes + kWavHeaderBytes - 8, 4);
  std::fseek(wav.file, 4, SEEK_SET);
  std::fwrite(lengths, 4, 1, wav.file);
  PutLittleEndian(lengths, wav.dataBytes, 4);
  std::fseek(wav.file, 40, SEEK_SET);
  std::fwrite(lengths, 4, 1, wav.file);
  std::fseek(wav.file, 0, SEEK_END);
  std::fflush(wav.file);
}

void CloseWav(WavFile& wav) {
  if (!wav.file) return;
  PatchWavHeader(wav);
  std::fclose(wav.file);
  wav.file = nullptr;
}
