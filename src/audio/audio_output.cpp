#include "audio/audio_output.h"

#include <cstring>

#include "app/app_state.h"
#include "app/settings.h"
#include "audio/audio_host.h"
#include "log/debug_log.h"
#include "tone/fill_buffer.h"
#include "tone/tone_generator.h"

AudioHost audioHost;

namespace {

constexpr int32_t kNameListBytes = 1024;
// What the library is asked for: one output channel, four buffers, and the
// channel's number in the calls that take one.
constexpr int32_t kOutputChannels = 1;
constexpr int32_t kBufferCount = 4;
constexpr int32_t kChannel = 0;
// Logged for a device whose name lies beyond the end of the list.
constexpr char kMissingName[] = "<name missing from the device list>";

bool LibraryLoaded() { return audioHost.ASIOGetDevices != nullptr; }

// Logs one line per device, reading only inside the list: a name that runs
// to the end of the list without its zero byte is logged as far as it goes,
// and the first device whose name starts past the end gets kMissingName and
// ends the listing, however many devices the count claims.
void LogDeviceNames(const char (&list)[kNameListBytes], int32_t count) {
  size_t start = 0;
  for (int32_t device = 0; device < count; ++device) {
    LogDeviceNumber(device);
    if (start >= sizeof list) {
      LogLine(kMissingName);
      return;
    }
    const void* zero = std::memchr(list + start, '\0', sizeof list - start);
    if (zero) {
      LogLine(list + start);
      start = static_cast<size_t>(static_cast<const char*>(zero) - list) + 1;
    } else {
      char name[kNameListBytes + 1] = {};
      std::memcpy(name, list + start, sizeof list - start);
      LogLine(name);
      start = sizeof list;
    }
  }
}

void FillChannelDescriptor(ToneGenerator& generator) {
  ChannelDescriptor& descriptor = generator.channelDescriptor;
  descriptor.reserved0 = 0;
  descriptor.sampleCount = static_cast<uint32_t>(generator.params.samplesPerCall);
  descriptor.fillCallback = FillBuffer;
  descriptor.reserved3 = 0;
  descriptor.callbackContext = &generator;
  descriptor.reserved5 = 0;
}

}  // namespace

bool EnumerateDevices(int32_t& deviceCount) {
  char names[kNameListBytes] = {};
  const int32_t count = LibraryLoaded() ? audioHost.ASIOGetDevices(names, kNameListBytes) : 0;
  if (count == 0) {
    LogLine("No ASIO device found!\n");
    return false;
  }
  deviceCount = count;
  LogInt("ASIO devices found", count);
  LogDeviceNames(names, count);
  LogLine("");
  LogLine("");
  return true;
}

void OpenAudioOutput(ToneGenerator& generator, void* window) {
  generator.channelReady = false;
  int32_t deviceCount = 0;
  if (!EnumerateDevices(deviceCount)) return;
  if (settings.deviceNumber >= deviceCount) {
    LogLine("Invalid ASIO device number!");
    return;
  }
  LogInt("Initializing device", settings.deviceNumber);
  if (!audioHost.ASIOInit(window, settings.deviceNumber)) {
    LogLine("Can't initialize ASIO device!");
    return;
  }
  LogLine("ASIO Initialized");
  if (audioHost.ASIOCreateBuffers(kOutputChannels, kBufferCount) == 0) {
    LogLine("Failed creating ASIO buffers!");
    return;
  }
  // Doubled as an unsigned 32-bit count, so that a nonsensical size from the
  // library wraps instead of overflowing.
  ToneParameters& params = generator.params;
  params.samplesPerCall =
      static_cast<int32_t>(2u * static_cast<uint32_t>(audioHost.ASIOGetPrimaryBufferSizeSamples()));
  LogLine("Create ASIO buffers success!");
  LogInt("Buffer sample size", params.samplesPerCall);
  params.sampleRate = audioHost.ASIOGetSampleRate();
  LogInt("Sample rate", params.sampleRate);
  FrequencyInUse(settings.frequency, params.sampleRate);

  ComputeToneParameters(generator, {settings.attenuation, settings.frequency, settings.riseTime, settings.fallTime,
                                    settings.keyTiming == KeyTiming::Scheduled, settings.keyer, settings.keyerSpeed,
                                    settings.keyerWeight});

  FillChannelDescriptor(generator);
  generator.channelReady = audioHost.CreateVirtualChannel(&generator.channelDescriptor);
  LogLine(generator.channelReady ? "Create virtual channel success!" : "Failed: Create virtual channel!");

  // Also without a channel, as the library expects the same sequence either way.
  generator.buffersPlayed.store(0, std::memory_order_relaxed);
  audioHost.PreLoadBuffers(kChannel);
  audioHost.StartPlay(kChannel);
}

void CloseAudioOutput() {
  ToneGenerator* generator = appState.toneGenerator;
  if (!generator) return;
  if (generator->channelReady) audioHost.CloseVirtualChannel(kChannel);
  if (LibraryLoaded()) audioHost.ASIOShutdown();
  LogLine("Shut down ASIO");
  LogInt("Count buffers played", static_cast<int32_t>(generator->buffersPlayed.load(std::memory_order_relaxed)));
  // A port monitor that outlived shutdown may still key the generator; it is
  // then left for the end of the process to take.
  if (appState.threadOutlived.load(std::memory_order_acquire)) return;
  appState.toneGenerator = nullptr;
  DestroyToneGenerator(generator);
}
