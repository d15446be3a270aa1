#pragma once
// A 16-bit PCM stereo WAV file that is written while it grows. The header is
// written first with zero lengths and patched as data arrives, so a process
// that is killed leaves a file that plays up to the last patch.

#include <cstdint>
#include <cstdio>

struct WavFile {
  FILE* file = nullptr;
  uint32_t dataBytes = 0;   // PCM bytes after the header, whole frames only
  uint32_t lostFrames = 0;  // frames a failed or short write did not store
  bool full = false;        // the format's 4 GiB limit was reached
};

// The write call, which a test can replace to cut a write short the way a
// full disk does.
using WavWrite = size_t (*)(const void* data, size_t bytes, FILE* file);
extern WavWrite wavWrite;

constexpr uint32_t kWavHeaderBytes = 44;
constexpr uint32_t kWavFrameBytes = 4;  // two 16-bit channels

// Creates (or truncates) the file and writes a header with zero lengths.
bool OpenWav(WavFile& wav, const char* path, uint32_t sampleRate);
// Appends interleaved left/right frames; past the format's limit the rest is
// dropped and `full` is set. False when the file could not be written whole:
// the frames written whole stay, the rest count as lost, and a piece of a
// frame is cut off again, so later frames stay aligned.
bool AppendWav(WavFile& wav, const int16_t* frames, uint32_t frameCount);
// Writes the current lengths into the header and hands the data to the
// system, so the file is valid from here on even if the process dies.
void PatchWavHeader(WavFile& wav);
// Patches the header and closes the file. Harmless on a closed file.
void CloseWav(WavFile& wav);
