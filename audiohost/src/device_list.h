#pragma once
// The devices the host offers, numbered in this order: the system's render
// endpoints, the default one first, then the WAV file recorder. With
// ASIOHOST_DEVICES=recorder the recorder alone is offered, as device 0, which
// is how headless machines and tests select it.

#include <cstdint>
#include <string>
#include <vector>

enum class DeviceKind { Endpoint, Recorder };

struct DeviceEntry {
  DeviceKind kind;
  std::string name;         // UTF-8
  std::wstring endpointId;  // empty for the recorder
};

inline constexpr char kRecorderName[] = "WAV file recorder";

std::vector<DeviceEntry> ListDevices();

// Lays the names one after another, each ended by a zero byte, into the
// `size` bytes at `names`. A name that does not fit whole is left out, and so
// is every name after it.
void LayDeviceNames(const std::vector<DeviceEntry>& devices, char* names, int32_t size);
