#include "device_list.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "wasapi_endpoints.h"

namespace {

enum class DeviceChoice { Endpoints, RecorderOnly, All };

DeviceChoice ReadDeviceChoice() {
  char value[64];
  const DWORD length = GetEnvironmentVariableA("ASIOHOST_DEVICES", value, sizeof value);
  if (length == 0) return DeviceChoice::Endpoints;
  if (length < sizeof value && lstrcmpiA(value, "recorder") == 0) return DeviceChoice::RecorderOnly;
  if (length < sizeof value && lstrcmpiA(value, "all") == 0) return DeviceChoice::All;
  std::fprintf(stderr,
               "ASIOHOST_DEVICES=\"%s\" is not known (\"recorder\" lists the WAV file recorder alone, \"all\" "
               "the endpoints and then the recorder); listing the endpoints\n",
               length < sizeof value ? value : "...");
  std::fflush(stderr);
  return DeviceChoice::Endpoints;
}

}  // namespace

std::vector<DeviceEntry> ListDevices() {
  const DeviceChoice choice = ReadDeviceChoice();
  std::vector<DeviceEntry> devices;
  if (choice != DeviceChoice::RecorderOnly) {
    for (const RenderEndpoint& endpoint : ListRenderEndpoints()) {
      devices.push_back({DeviceKind::SharedEndpoint, endpoint.name, endpoint.id});
      devices.push_back({DeviceKind::ExclusiveEndpoint, endpoint.name + kExclusiveSuffix, endpoint.id});
    }
  }
  if (choice != DeviceChoice::Endpoints) devices.push_back({DeviceKind::Recorder, kRecorderName, {}});
  return devices;
}

void LayDeviceNames(const std::vector<DeviceEntry>& devices, char* names, int32_t size) {
  if (!names || size <= 0) return;
  size_t used = 0;
  for (const DeviceEntry& device : devices) {
    const size_t length = device.name.size() + 1;
    if (length > static_cast<size_t>(size) - used) return;
    std::memcpy(names + used, device.name.c_str(), length);
    used += length;
  }
}
