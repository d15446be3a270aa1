#include "wav_writer.h"

#include <windows.h>
#include <io.h>

#include <cstring>

namespace {

size_t WriteToFile(const void* data, size_t bytes, FILE* file) { return std::fwrite(data, 1, bytes, file); }

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

// Cuts the file after its last whole frame and writes on from there.
void CutAfterData(WavFile& wav) {
  std::fflush(wav.file);
  if (_fseeki64(wav.file, kWavHeaderBytes + int64_t{wav.dataBytes}, SEEK_SET) == 0)
    SetEndOfFile(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(wav.file))));
}

}  // namespace

WavWrite wavWrite = WriteToFile;

bool OpenWav(WavFile& wav, const char* path, uint32_t sampleRate) {
  CloseWav(wav);
  wav = WavFile{};
  wav.file = std::fopen(path, "w+b");
  if (!wav.file) return false;
  // Unbuffered, so that what a write reports is what reached the file.
  std::setvbuf(wav.file, nullptr, _IONBF, 0);
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
  const size_t written = wavWrite(frames, static_cast<size_t>(bytes), wav.file);
  const uint32_t kept = static_cast<uint32_t>(written - written % kWavFrameBytes);
  wav.dataBytes += kept;
  if (written == bytes) return true;
  wav.lostFrames += static_cast<uint32_t>((bytes - kept) / kWavFrameBytes);
  if (kept != written) CutAfterData(wav);
  std::clearerr(wav.file);  // the disk may have room again for the next write
  return false;
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
