// Key-to-sound latency through the program's own audio path with the WAV
// file recorder: from the key-down stamp that KeyDown takes to the moment the
// fill call that writes the tone's first sample begins. The fill callback is
// wrapped, on its way to the library, by one that stamps every call.
//
// With the argument "shared" or "exclusive" the device is instead that entry
// of a simulated system endpoint whose engine signals every period in real
// time, through the library linked into the benchmark.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/settings.h"
#include "audio/audio_host.h"
#include "audio/audio_output.h"
#include "figures.h"
#include "simulated_endpoint.h"
#include "tone/envelope.h"
#include "tone/keying.h"
#include "tone/performance_counter.h"
#include "tone/tone_generator.h"

namespace {

constexpr int kPresses = 200;

struct FillCall {
  int64_t start;
  uint32_t samplesAfter;  // samplesSinceKeyDown when the call returned
};

std::vector<FillCall> fillCalls(1 << 16);
std::atomic<size_t> fillCount{0};
decltype(audioHost.CreateVirtualChannel) libraryCreateChannel = nullptr;

void TimedFill(int16_t* buffer, uint32_t count, void* context) {
  const int64_t start = ReadPerformanceCounter();
  FillBuffer(buffer, count, context);
  const size_t call = fillCount.load(std::memory_order_relaxed);
  if (call < fillCalls.size())
    fillCalls[call] = {start, static_cast<ToneGenerator*>(context)->samplesSinceKeyDown.load(std::memory_order_relaxed)};
  fillCount.store(call + 1, std::memory_order_release);
}

bool CreateTimedChannel(ChannelDescriptor* descriptor) {
  descriptor->fillCallback = TimedFill;
  return libraryCreateChannel(descriptor);
}

SimulatedEndpoint* simulated = nullptr;

// The simulated endpoint's smallest periods, shared and exclusive, made
// `frames` long.
void ShapeSimulatedPeriods(uint32_t frames) {
  simulated->engineMinimumFrames = frames;
  simulated->engineDefaultFrames = frames > 480 ? frames : 480;
  simulated->exclusiveMinimum = (REFERENCE_TIME{10000000} * frames + simulated->mixRate - 1) / simulated->mixRate;
}

AudioHost LinkedAudioHost() {
  return {ASIOGetDevices,    ASIOInit,       ASIOCreateBuffers, ASIOGetPrimaryBufferSizeSamples,
          ASIOGetSampleRate, CreateVirtualChannel, PreLoadBuffers, StartPlay, CloseVirtualChannel, ASIOShutdown};
}

void Measure(uint32_t frames, std::mt19937& random) {
  SetEnvironmentVariableA("ASIOHOST_BUFFER", std::to_string(frames).c_str());
  if (simulated) ShapeSimulatedPeriods(frames);
  fillCount.store(0);
  appState.toneGenerator = CreateToneGenerator();
  OpenAudioOutput(*appState.toneGenerator, nullptr);
  ToneGenerator& generator = *appState.toneGenerator;
  if (!generator.channelReady) {
    std::printf("the device did not open\n");
    return;
  }
  const int32_t sampleRate = generator.sampleRate;
  const double periodMs = 1000.0 * frames / sampleRate;
  std::uniform_int_distribution<int> gapMs(2, 2 + static_cast<int>(periodMs) + 3);
  std::vector<int64_t> downStamps;
  for (int press = 0; press < kPresses; ++press) {
    KeyDown();
    downStamps.push_back(appState.keyDownStamp.load());
    Sleep(15);
    KeyUp();
    while (generator.sounding.load(std::memory_order_acquire)) Sleep(1);
    Sleep(static_cast<DWORD>(gapMs(random)));  // a fresh phase against the buffer clock
  }
  CloseAudioOutput();

  const double countsPerMs = ReadPerformanceFrequency() / 1000.0;
  const size_t calls = fillCount.load(std::memory_order_acquire);
  std::vector<double> latencies;
  size_t call = 0;
  for (const int64_t down : downStamps) {
    while (call < calls && !(fillCalls[call].start >= down && fillCalls[call].samplesAfter > 0 &&
                             fillCalls[call].samplesAfter <= frames))
      ++call;
    if (call == calls) break;
    latencies.push_back((fillCalls[call].start - down) / countsPerMs);
  }
  const Spread latency = SpreadOf(latencies);
  std::printf("%5u frames at %d Hz (period %.3f ms): %zu of %d presses found; latency ms: median %.3f, "
              "p99 %.3f, worst %.3f; worst - period %+.3f ms (target <= +1 ms)\n",
              frames, sampleRate, periodMs, latencies.size(), kPresses, latency.median, latency.p99,
              latency.worst, latency.worst - periodMs);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string device = argc > 1 ? argv[1] : "recorder";
  const std::string wav = std::string(getenv("TEMP") ? getenv("TEMP") : ".") + "\\velkin-latency.wav";
  SetEnvironmentVariableA("ASIOHOST_DEVICES", "recorder");
  SetEnvironmentVariableA("ASIOHOST_RATE", "48000");
  SetEnvironmentVariableA("ASIOHOST_WAV", wav.c_str());
  SimulatedEndpoint endpoint(L"{simulated}", L"Simulated");
  std::unique_ptr<SimulatedSystem> system;
  settings.deviceNumber = 0;
  if (device == "shared" || device == "exclusive") {
    system = std::make_unique<SimulatedSystem>(std::vector<SimulatedEndpoint*>{&endpoint}, true);
    simulated = &endpoint;
    endpoint.RunClock();
    audioHost = LinkedAudioHost();
    SetEnvironmentVariableA("ASIOHOST_DEVICES", nullptr);
    settings.deviceNumber = device == "exclusive" ? 1 : 0;
  } else if (device != "recorder") {
    std::printf("usage: bench_key_latency [recorder | shared | exclusive]\n");
    return 1;
  } else if (!LoadAudioHost()) {
    std::printf("ASIOHOST.dll is missing beside the benchmark\n");
    return 1;
  }
  libraryCreateChannel = audioHost.CreateVirtualChannel;
  audioHost.CreateVirtualChannel = CreateTimedChannel;
  std::mt19937 random(1);
  std::printf("Key-to-sound latency with the %s device, %d presses per buffer size\n", device.c_str(), kPresses);
  for (uint32_t frames : {64u, 128u, 256u}) Measure(frames, random);
  DeleteFileA(wav.c_str());
  return 0;
}
