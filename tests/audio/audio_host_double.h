#pragma once
// A scripted stand-in for the audio-host library, installed through the
// program's table of library operations. It answers as the script says and
// records every call in order.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "audio/audio_host.h"

struct AudioHostScript {
  // Lays the device-name list; by default the names, each ended by a zero.
  std::vector<std::string> names;
  std::function<void(char* list, int32_t size)> layNames;
  int32_t deviceCount = 0;
  bool initResult = true;  // for a device number that is not negative
  int32_t createBuffersResult = 1;
  int32_t bufferSize = 128;
  int32_t sampleRate = 48000;
  bool channelResult = true;
};

struct AudioHostRecord {
  std::vector<std::string> calls;  // e.g. "ASIOInit(1)"
  void* initWindow = nullptr;
  const ChannelDescriptor* descriptorAddress = nullptr;
  ChannelDescriptor descriptor{};  // as it was handed over
  uint32_t buffersPlayedAtPreload = 0;
};

extern AudioHostScript hostScript;
extern AudioHostRecord hostRecord;

// The table of the double's operations, with a fresh record.
AudioHost ScriptedAudioHost(const AudioHostScript& script);
