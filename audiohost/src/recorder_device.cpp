// The WAV file recorder: a device without hardware that plays in real time
// into a 16-bit stereo WAV file. A pacing thread calls the fill callback once
// per buffer period against absolute deadlines and hands the samples through
// a lock-free ring to a writer thread, which alone touches the file.

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdio>

#include "audio_device.h"
#include "buffer_clock.h"
#include "frame_ring.h"
#include "recorder_options.h"
#include "wav_writer.h"

namespace {

constexpr DWORD kWriterPeriodMs = 100;  // the header is patched after every write
constexpr uint32_t kRingSeconds = 2;    // how long the disk may stall without loss
constexpr int64_t kLongestCatchUpMs = 200;

struct Recorder {
  RecorderOptions options;
  WavFile wav;
  bool writeFailed = false;
  FrameRing ring;
  Channel channel;
  BufferClock clock;
  HANDLE pacer = nullptr;
  HANDLE writer = nullptr;
  HANDLE writerStop = nullptr;
  std::atomic<bool> pacerStop{false};
  std::atomic<uint32_t> lostFrames{0};
};

Recorder recorder;

void Keep(const int16_t* samples) {
  const uint32_t frames = recorder.channel.frames;
  if (!recorder.ring.PushHalves(samples, samples + frames, frames))
    recorder.lostFrames.fetch_add(frames, std::memory_order_relaxed);
}

void DrainToFile() {
  for (;;) {
    uint32_t frames = 0;
    const int16_t* samples = recorder.ring.Readable(frames);
    if (frames == 0) return;
    if (!AppendWav(recorder.wav, samples, frames)) recorder.writeFailed = true;
    recorder.ring.Consume(frames);
  }
}

// Runs from start to stop. Allocates nothing, takes no lock, writes nothing
// but the ring.
DWORD WINAPI PaceBuffers(void*) {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  timeBeginPeriod(1);  // the sleeps between buffers are shorter than the default tick
  BufferClock clock = recorder.clock;
  const int64_t period = BufferDeadline(clock, 1) - clock.origin;
  const int64_t longestCatchUp = clock.frequency / 1000 * kLongestCatchUpMs;
  DeadlineWaiter waiter(clock.frequency, period / 2);
  for (uint64_t index = 1; !recorder.pacerStop.load(std::memory_order_acquire); ++index) {
    // A late buffer is made up for at once, so the pace holds on average.
    // After a long stall (a suspended process, a sleeping machine) the grid
    // moves instead, rather than calling back for all the missed buffers.
    const int64_t lateness = ReadCounter() - BufferDeadline(clock, index);
    if (lateness > longestCatchUp) clock.origin += lateness;
    waiter.WaitUntil(BufferDeadline(clock, index));
    Keep(ProduceBuffer(recorder.channel));
  }
  timeEndPeriod(1);
  return 0;
}

DWORD WINAPI WriteRecording(void*) {
  for (;;) {
    const bool stopping = WaitForSingleObject(recorder.writerStop, kWriterPeriodMs) == WAIT_OBJECT_0;
    DrainToFile();
    PatchWavHeader(recorder.wav);
    if (stopping) return 0;
  }
}

void JoinThread(HANDLE& thread) {
  if (!thread) return;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  thread = nullptr;
}

bool OpenRecorder(const DeviceEntry&, void*, StreamShape& shape) {
  recorder.options = ReadRecorderOptions();
  recorder.writeFailed = false;
  recorder.lostFrames.store(0, std::memory_order_relaxed);
  if (!OpenWav(recorder.wav, recorder.options.wavPath.c_str(), recorder.options.sampleRate)) {
    std::fprintf(stderr, "WAV file recorder: cannot create \"%s\"\n", recorder.options.wavPath.c_str());
    std::fflush(stderr);
    return false;
  }
  shape = {recorder.options.sampleRate, recorder.options.bufferFrames};
  return true;
}

bool CreateRecorderBuffers() {
  const uint32_t rate = recorder.options.sampleRate;
  const uint32_t frames = recorder.options.bufferFrames;
  recorder.ring.Allocate(rate * kRingSeconds > frames * 4 ? rate * kRingSeconds : frames * 4);
  return true;
}

void PreloadRecorder(const Channel& channel) {
  recorder.channel = channel;
  Keep(ProduceBuffer(channel));
}

bool StartRecorder(const Channel& channel) {
  recorder.channel = channel;
  recorder.clock = {ReadCounter(), CounterFrequency(), channel.frames, recorder.options.sampleRate};
  recorder.pacerStop.store(false, std::memory_order_relaxed);
  recorder.writerStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!recorder.writerStop) return false;
  recorder.writer = CreateThread(nullptr, 0, WriteRecording, nullptr, 0, nullptr);
  recorder.pacer = recorder.writer ? CreateThread(nullptr, 0, PaceBuffers, nullptr, 0, nullptr) : nullptr;
  if (recorder.pacer) return true;
  SetEvent(recorder.writerStop);
  JoinThread(recorder.writer);
  CloseHandle(recorder.writerStop);
  recorder.writerStop = nullptr;
  return false;
}

void StopRecorder() {
  recorder.pacerStop.store(true, std::memory_order_release);
  JoinThread(recorder.pacer);
  if (recorder.writerStop) SetEvent(recorder.writerStop);
  JoinThread(recorder.writer);
  if (recorder.writerStop) CloseHandle(recorder.writerStop);
  recorder.writerStop = nullptr;
}

void CloseRecorder() {
  DrainToFile();  // what was preloaded but never played
  const char* path = recorder.options.wavPath.c_str();
  if (recorder.writeFailed)
    std::fprintf(stderr, "WAV file recorder: writing \"%s\" failed; %u frames were lost\n", path,
                 recorder.wav.lostFrames);
  if (recorder.wav.full)
    std::fprintf(stderr, "WAV file recorder: \"%s\" reached the 4 GiB limit of the format\n", path);
  if (const uint32_t lost = recorder.lostFrames.load(std::memory_order_relaxed))
    std::fprintf(stderr, "WAV file recorder: %u frames lost while the disk was busy\n", lost);
  std::fflush(stderr);
  CloseWav(recorder.wav);
  recorder.ring.Release();
  recorder.channel = Channel{};
}

}  // namespace

const DeviceDriver kRecorderDriver = {OpenRecorder,    CreateRecorderBuffers, PreloadRecorder,
                                      StartRecorder,   StopRecorder,          CloseRecorder};
