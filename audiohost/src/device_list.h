#pragma once
// The devices the host offers, numbered in this order: for each active
// render endpoint, the default one first, a shared entry named as the
// endpoint and an exclusive entry whose name ends in " (exclusive)". The WAV
// file recorder is offered only on request: ASIOHOST_DEVICES=recorder offers
// it alone, as device 0 (how headless machines and tests select it), and
// ASIOHOST_DEVICES=all after the endpoints.

#include <cstdint>
#include <string>
#include <vector>

enum class DeviceKind { SharedEndpoint, ExclusiveEndpoint, Recorder };

struct DeviceEntry {
  DeviceKind kind;
  std::string name;         // UTF-8
  std::wstring endpointId;  // empty for the recorder
};

inline constexpr char kRecorderName[] = "WAV file recorder";
inline constexpr char kExclusiveSuffix[] = " (exclusive)";

std::vector<DeviceEntry> ListDevices();

// Lays the names one after another, each ended by a zero byte, into the
// `size` bytes at `names`. A name that does not fit whole is left out, and so
// is every name after it.
void LayDeviceNames(const std::vector<DeviceEntry>& devices, char* names, int32_t size);
