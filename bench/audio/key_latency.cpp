// Key-to-sound latency through the program's own audio path with the WAV
// file recorder, in either key timing: from the key-down stamp that KeyDown
// takes to the moment the tone's first sample is due. With the argument
// "paddle" each press is instead a tap of the dit paddle, which the keyer in
// iambic A turns into one dit, and the figure runs from a stamp taken just
// before PaddleDown (which stamps the edge itself) to the dit's first sample.
// The program's fill callback (FillBuffer, in either timing) is wrapped, on
// its way to the library, by one that stamps every call and notes where in
// its buffer a tone began.
//
// When a sample is due: call k writes the stream's buffer k (the preload is
// call 0), whose first sample the device plays at its own pace, and a sample
// `offset` into it comes offset / rate later. The pace is read off the
// stamped calls: the median, over the calls around call k, of each call's
// stamp less its place on a grid of nominal periods. The recorder waits for
// each buffer's deadline and calls back at once, so this is its own sample
// clock; a call that comes late moves neither the grid nor the figure. For
// comparison the figure is also given at the call: its stamp plus the offset.
//
// With the argument "shared" or "exclusive" the device is instead that entry
// of a simulated system endpoint whose engine signals every period in real
// time, through the library linked into the benchmark.

#include <windows.h>

#include <algorithm>
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
#include "tone/key_clock.h"
#include "tone/key_schedule.h"
#include "tone/key_output.h"
#include "tone/keyer.h"
#include "tone/keying.h"
#include "tone/performance_counter.h"
#include "tone/tone_generator.h"

namespace {

constexpr int kPresses = 200;
// The key schedule's clock follows the calls for this long before the first press.
constexpr DWORD kSettleMs = 2000;
// Calls on each side of a call whose stamps fix its place on the device's pace.
constexpr size_t kPaceWindow = 32;
constexpr DWORD kToneTimeoutMs = 2000;
// The keyer's speed for the paddle's dits: a dit (48 ms) outlasts the largest
// buffer, so that it still sounds at the end of the call it began in.
constexpr int32_t kPaddleSpeed = 25;

// How a press is keyed and let go.
struct Keying {
  const char* name;
  int64_t (*down)();  // returns the press's stamp
  void (*up)();
  DWORD (*holdMs)(double periodMs);
  DWORD restMs;  // after its tone, so that the next press starts a tone of its own
};

int64_t StraightDown() {
  KeyDown();
  return appState.keyDownStamp.load();
}

// Past the rise even when the tone starts a period late, so that no tone is
// cut and each outlasts a buffer.
DWORD StraightHoldMs(double periodMs) { return static_cast<DWORD>(periodMs) + 20; }

// The largest time PaddleDown took past the stamp taken before it, in counts.
int64_t paddleStampLead = 0;

int64_t DitPaddleDown() {
  const int64_t stamp = ReadPerformanceCounter();
  PaddleDown(Paddle::Dit, PaddleSource::Keyboard);
  paddleStampLead = std::max(paddleStampLead, ReadPerformanceCounter() - stamp);
  return stamp;
}

void DitPaddleUp() { PaddleUp(Paddle::Dit, PaddleSource::Keyboard); }

// Let go during the dit, so that the keyer sends that one alone.
DWORD PaddleHoldMs(double) { return 5; }

const Keying kStraight{"straight key", StraightDown, KeyUp, StraightHoldMs, 0};
// The next tap comes after the dit's space, when the keyer is idle again.
const Keying kPaddle{"dit paddle, iambic A", DitPaddleDown, DitPaddleUp, PaddleHoldMs, 1200 / kPaddleSpeed + 2};

struct FillCall {
  int64_t start;
  int press;        // whose tone began in this call, or -1
  uint32_t onset;   // the tone's first sample, from the buffer's start
};

std::vector<FillCall> fillCalls(1 << 17);
std::atomic<size_t> fillCount{0};
std::atomic<int> currentPress{-1};
std::atomic<int> lastPressHeard{-1};  // the latest press whose tone began
decltype(audioHost.CreateVirtualChannel) libraryCreateChannel = nullptr;
AsioFillCallback programFill = nullptr;

void TimedFill(int16_t* buffer, uint32_t count, void* context) {
  const int64_t start = ReadPerformanceCounter();
  // The envelope is the audio thread's, which this is.
  const Envelope& envelope = static_cast<ToneGenerator*>(context)->envelope;
  const bool silent = envelope.state == EnvelopeState::kSilent;
  programFill(buffer, count, context);
  FillCall call{start, -1, 0};
  if (silent && envelope.state != EnvelopeState::kSilent) {
    // A new tone: its count began at its first sample and, as every tone here
    // outlasts a buffer, runs on to the buffer's end.
    call.press = currentPress.load(std::memory_order_acquire);
    call.onset = count / 2 - envelope.samplesSinceKeyDown;
  }
  const size_t index = fillCount.load(std::memory_order_relaxed);
  if (index < fillCalls.size()) fillCalls[index] = call;
  fillCount.store(index + 1, std::memory_order_release);
  if (call.press >= 0) lastPressHeard.store(call.press, std::memory_order_release);
}

bool CreateTimedChannel(ChannelDescriptor* descriptor) {
  programFill = descriptor->fillCallback;
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

// The lamp's changes, taken off its queue as the program's lamp follower does.
void FollowTheLamp(ToneGenerator& generator) {
  static bool lit = false;
  FollowLamp(generator, ReadPerformanceCounter(), lit);
}

// Waits until press `press` has begun its tone and the tone has ended; false
// when no tone began in time.
bool WaitForTone(int press, ToneGenerator& generator) {
  for (DWORD waited = 0; lastPressHeard.load(std::memory_order_acquire) < press; ++waited) {
    if (waited == kToneTimeoutMs) return false;
    Sleep(1);
    FollowTheLamp(generator);
  }
  while (generator.sounding.load(std::memory_order_acquire)) {
    Sleep(1);
    FollowTheLamp(generator);
  }
  return true;
}

// When call `k`'s first sample is due on the device's pace, in counts.
double DueTime(size_t k, size_t calls, double period) {
  std::vector<double> offsets;
  for (size_t j = std::max<size_t>(1, k - std::min(k, kPaceWindow)); j < std::min(calls, k + kPaceWindow + 1); ++j)
    offsets.push_back(static_cast<double>(fillCalls[j].start) - j * period);
  std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
  return offsets[offsets.size() / 2] + k * period;
}

void PrintSpread(const char* where, const std::vector<double>& latencies) {
  const Spread s = SpreadOf(latencies);
  std::printf("    %s median %.3f, p99 %.3f, worst %.3f, best %.3f, spread %.3f ms\n", where, s.median, s.p99,
              s.worst, s.best, s.worst - s.best);
}

void Measure(uint32_t frames, const Keying& keying, std::mt19937& random) {
  SetEnvironmentVariableA("ASIOHOST_BUFFER", std::to_string(frames).c_str());
  if (simulated) ShapeSimulatedPeriods(frames);
  fillCount.store(0);
  lastPressHeard.store(-1);
  currentPress.store(-1);
  appState.toneGenerator = CreateToneGenerator();
  OpenAudioOutput(*appState.toneGenerator, nullptr);
  ToneGenerator& generator = *appState.toneGenerator;
  if (!generator.channelReady) {
    std::printf("the device did not open\n");
    return;
  }
  const int32_t sampleRate = generator.params.sampleRate;
  const double periodMs = 1000.0 * frames / sampleRate;
  const double statedMs = 1000.0 * ScheduleDelayFrames(generator, frames) / sampleRate;
  const DWORD holdMs = keying.holdMs(periodMs);
  std::uniform_int_distribution<int> gapMs(2, 2 + static_cast<int>(periodMs) + 3);
  std::vector<int64_t> downStamps;
  Sleep(kSettleMs);
  for (int press = 0; press < kPresses; ++press) {
    currentPress.store(press, std::memory_order_release);
    downStamps.push_back(keying.down());
    Sleep(holdMs);
    keying.up();
    if (!WaitForTone(press, generator)) std::printf("press %d gave no tone within %lu ms\n", press, kToneTimeoutMs);
    // A fresh phase against the buffer clock.
    Sleep(keying.restMs + static_cast<DWORD>(gapMs(random)));
  }
  const bool scheduled = generator.params.scheduled;
  CloseAudioOutput();

  const double frequency = static_cast<double>(ReadPerformanceFrequency());
  const double countsPerMs = frequency / 1000.0;
  const double countsPerSample = frequency / sampleRate;
  const size_t calls = std::min(fillCount.load(std::memory_order_acquire), fillCalls.size());
  std::vector<double> atSample, atCall;
  std::vector<bool> found(kPresses, false);
  int extraTones = 0;  // a press's second tone and after
  for (size_t k = 1; k < calls; ++k) {
    const FillCall& call = fillCalls[k];
    if (call.press < 0 || call.press >= kPresses) continue;
    if (found[call.press]) {
      ++extraTones;
      continue;
    }
    found[call.press] = true;
    const double down = static_cast<double>(downStamps[call.press]);
    const double offset = call.onset * countsPerSample;
    atSample.push_back((DueTime(k, calls, frames * countsPerSample) + offset - down) / countsPerMs);
    atCall.push_back((call.start + offset - down) / countsPerMs);
  }
  std::printf("%5u frames at %d Hz (period %.3f ms), %s timing, %s: %zu of %d presses found\n", frames,
              sampleRate, periodMs, scheduled ? "scheduled" : "immediate", keying.name, atSample.size(), kPresses);
  if (extraTones > 0) std::printf("    %d tones after the first of their press\n", extraTones);
  PrintSpread("at the sample:", atSample);
  PrintSpread("at the call:  ", atCall);
  const Spread sample = SpreadOf(atSample);
  if (scheduled) {
    std::printf("    stated delay %.3f ms; median at the sample - stated %+.3f ms\n", statedMs,
                sample.median - statedMs);
  } else {
    std::printf("    worst at the call - period %+.3f ms\n", SpreadOf(atCall).worst - periodMs);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string device = argc > 1 ? argv[1] : "recorder";
  const std::string timing = argc > 2 ? argv[2] : "immediate";
  const std::string key = argc > 3 ? argv[3] : "straight";
  const bool knownDevice = device == "recorder" || device == "shared" || device == "exclusive";
  if (!knownDevice || (timing != "immediate" && timing != "scheduled") || (key != "straight" && key != "paddle")) {
    std::printf("usage: bench_key_latency [recorder | shared | exclusive] [immediate | scheduled] [straight | paddle]\n");
    return 1;
  }
  // As the program: the timing and the keyer are known before the
  // generator's parameters are computed.
  settings.keyTiming = timing == "scheduled" ? KeyTiming::Scheduled : KeyTiming::Immediate;
  const Keying& keying = key == "paddle" ? kPaddle : kStraight;
  if (key == "paddle") {
    settings.keyer = KeyerMode::IambicA;
    settings.keyerSpeed = kPaddleSpeed;
  }
  ResetKeyClock();
  const std::string wav = std::string(getenv("TEMP") ? getenv("TEMP") : ".") + "\\velkin-latency.wav";
  SetEnvironmentVariableA("ASIOHOST_DEVICES", "recorder");
  SetEnvironmentVariableA("ASIOHOST_RATE", "48000");
  SetEnvironmentVariableA("ASIOHOST_WAV", wav.c_str());
  SimulatedEndpoint endpoint(L"{simulated}", L"Simulated");
  std::unique_ptr<SimulatedSystem> system;
  settings.deviceNumber = 0;
  if (device != "recorder") {
    system = std::make_unique<SimulatedSystem>(std::vector<SimulatedEndpoint*>{&endpoint}, true);
    simulated = &endpoint;
    endpoint.RunClock();
    audioHost = LinkedAudioHost();
    SetEnvironmentVariableA("ASIOHOST_DEVICES", nullptr);
    settings.deviceNumber = device == "exclusive" ? 1 : 0;
  } else if (!LoadAudioHost()) {
    std::printf("ASIOHOST.dll is missing beside the benchmark\n");
    return 1;
  }
  libraryCreateChannel = audioHost.CreateVirtualChannel;
  audioHost.CreateVirtualChannel = CreateTimedChannel;
  std::mt19937 random(1);
  std::printf("Key-to-sound latency with the %s device, %s key timing, %s, %d presses per buffer size\n",
              device.c_str(), timing.c_str(), keying.name, kPresses);
  for (uint32_t frames : {64u, 128u, 256u, 1024u}) Measure(frames, keying, random);
  if (&keying == &kPaddle) {
    std::printf("PaddleDown took at most %.3f ms past the stamp taken before it\n",
                1000.0 * static_cast<double>(paddleStampLead) / static_cast<double>(ReadPerformanceFrequency()));
  }
  DeleteFileA(wav.c_str());
  return 0;
}
