#include "device_list.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "wasapi_endpoints.h"

namespace {

bool RecorderOnly() {
  char value[64];
  const DWORD length = GetEnvironmentVariableA("ASIOHOST_DEVICES", value, sizeof value);
  if (length == 0) return false;
  if (length < sizeof value && lstrcmpiA(value, "recorder") == 0) return true;
  std::fprintf(stderr, "ASIOHOST_DEVICES=\"%s\" is not known (only \"recorder\" is); listing every device\n",
               length < sizeof value ? value : "...");
  std::fflush(stderr);
  return false;
}

}  // namespace

std::vector<DeviceEntry> ListDevices() {
  std::vector<DeviceEntry> devices;
  if (!RecorderOnly()) {
    for (RenderEndpoint& endpoint : ListRenderEndpoints())
      devices.push_back({DeviceKind::Endpoint, std::move(endpoint.name), std::move(endpoint.id)});
  }
  devices.push_back({DeviceKind::Recorder, kRecorderName, {}});
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
