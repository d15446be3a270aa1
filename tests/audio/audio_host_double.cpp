#include "audio_host_double.h"

#include <cstring>

#include "app/app_state.h"
#include "tone/tone_generator.h"

AudioHostScript hostScript;
AudioHostRecord hostRecord;

namespace {

void Record(const std::string& call) { hostRecord.calls.push_back(call); }

int32_t GetDevices(char* list, int32_t size) {
  Record("ASIOGetDevices(" + std::to_string(size) + ")");
  if (hostScript.layNames) {
    hostScript.layNames(list, size);
  } else {
    size_t at = 0;
    for (const std::string& name : hostScript.names) {
      std::memcpy(list + at, name.c_str(), name.size() + 1);
      at += name.size() + 1;
    }
  }
  return hostScript.deviceCount;
}

bool Init(void* window, int32_t device) {
  Record("ASIOInit(" + std::to_string(device) + ")");
  hostRecord.initWindow = window;
  return device >= 0 && hostScript.initResult;
}

int32_t CreateBuffers(int32_t channels, int32_t bufferCount) {
  Record("ASIOCreateBuffers(" + std::to_string(channels) + ", " + std::to_string(bufferCount) + ")");
  return hostScript.createBuffersResult;
}

int32_t BufferSize() {
  Record("ASIOGetPrimaryBufferSizeSamples()");
  return hostScript.bufferSize;
}

int32_t SampleRate() {
  Record("ASIOGetSampleRate()");
  return hostScript.sampleRate;
}

bool CreateChannel(ChannelDescriptor* descriptor) {
  Record("CreateVirtualChannel");
  hostRecord.descriptorAddress = descriptor;
  hostRecord.descriptor = *descriptor;
  return hostScript.channelResult;
}

void PreLoad(int32_t channel) {
  Record("PreLoadBuffers(" + std::to_string(channel) + ")");
  hostRecord.buffersPlayedAtPreload = appState.toneGenerator->buffersPlayed.load();
}

void Start(int32_t channel) { Record("StartPlay(" + std::to_string(channel) + ")"); }
void CloseChannel(int32_t channel) { Record("CloseVirtualChannel(" + std::to_string(channel) + ")"); }
void Shutdown() { Record("ASIOShutdown()"); }

}  // namespace

AudioHost ScriptedAudioHost(const AudioHostScript& script) {
  hostScript = script;
  hostRecord = AudioHostRecord{};
  return {GetDevices, Init, CreateBuffers, BufferSize, SampleRate,
          CreateChannel, PreLoad, Start, CloseChannel, Shutdown};
}
