#pragma once
// The audio-host library as the program reaches it: a table of its ten
// operations, filled when the library is loaded at start-up. The table is
// filled whole or left empty; an empty table stands for a missing library,
// which the audio output treats exactly like a library with no device.

#include "asiohost.h"

struct AudioHost {
  decltype(&::ASIOGetDevices) ASIOGetDevices = nullptr;
  decltype(&::ASIOInit) ASIOInit = nullptr;
  decltype(&::ASIOCreateBuffers) ASIOCreateBuffers = nullptr;
  decltype(&::ASIOGetPrimaryBufferSizeSamples) ASIOGetPrimaryBufferSizeSamples = nullptr;
  decltype(&::ASIOGetSampleRate) ASIOGetSampleRate = nullptr;
  decltype(&::CreateVirtualChannel) CreateVirtualChannel = nullptr;
  decltype(&::PreLoadBuffers) PreLoadBuffers = nullptr;
  decltype(&::StartPlay) StartPlay = nullptr;
  decltype(&::CloseVirtualChannel) CloseVirtualChannel = nullptr;
  decltype(&::ASIOShutdown) ASIOShutdown = nullptr;
};

extern AudioHost audioHost;

// Loads ASIOHOST.dll from the program's own folder into audioHost. False, with
// the table left empty, when the library or any of its operations is missing.
// Called once, before the main window exists.
bool LoadAudioHost();
