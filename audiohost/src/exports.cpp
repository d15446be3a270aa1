// The library's ten operations. They keep the host's state: the device list,
// the open device and its stream, the program's channel and whether it plays.
// Each operation checks that state first, so any order of calls is safe; the
// program calls them all from one thread.

#include <vector>

#include "asiohost.h"
#include "audio_device.h"
#include "device_list.h"

namespace {

constexpr int32_t kChannel = 0;  // the one channel the host offers

struct Host {
  std::vector<DeviceEntry> devices;
  const DeviceDriver* driver = nullptr;  // the open device's, or none
  StreamShape shape;
  bool buffersCreated = false;
  std::vector<int16_t> channelSamples;
  Channel channel;  // callback set while a channel exists
  bool playing = false;
};

Host host;

bool ChannelExists() { return host.channel.callback != nullptr; }

}  // namespace

extern "C" {

int32_t ASIOGetDevices(char* names, int32_t size) {
  if (!host.driver) host.devices = ListDevices();  // the numbering holds while a device is open
  LayDeviceNames(host.devices, names, size);
  return static_cast<int32_t>(host.devices.size());
}

bool ASIOInit(void* window, int32_t device) {
  if (host.driver) return false;
  if (host.devices.empty()) host.devices = ListDevices();
  if (device < 0 || static_cast<size_t>(device) >= host.devices.size()) return false;
  const DeviceEntry& entry = host.devices[static_cast<size_t>(device)];
  const DeviceDriver* driver = entry.kind == DeviceKind::Recorder ? &kRecorderDriver : &kEndpointDriver;
  StreamShape shape;
  if (!driver->open(entry, window, shape)) return false;
  host.driver = driver;
  host.shape = shape;
  return true;
}

int32_t ASIOCreateBuffers(int32_t channels, int32_t bufferCount) {
  if (!host.driver || channels < 1 || bufferCount < 1) return 0;
  if (!host.buffersCreated) host.buffersCreated = host.driver->createBuffers();
  return host.buffersCreated ? 1 : 0;
}

int32_t ASIOGetPrimaryBufferSizeSamples(void) {
  return host.buffersCreated ? static_cast<int32_t>(host.shape.frames) : 0;
}

int32_t ASIOGetSampleRate(void) { return host.driver ? static_cast<int32_t>(host.shape.sampleRate) : 0; }

bool CreateVirtualChannel(ChannelDescriptor* descriptor) {
  if (!host.buffersCreated || ChannelExists() || !descriptor || !descriptor->fillCallback ||
      descriptor->sampleCount != 2 * host.shape.frames)
    return false;
  host.channelSamples.assign(descriptor->sampleCount, 0);
  host.channel = {descriptor->fillCallback, descriptor->callbackContext, host.shape.frames,
                  host.channelSamples.data()};
  return true;
}

void PreLoadBuffers(int32_t channel) {
  if (channel == kChannel && ChannelExists() && !host.playing) host.driver->preload(host.channel);
}

void StartPlay(int32_t channel) {
  if (channel == kChannel && ChannelExists() && !host.playing) host.playing = host.driver->start(host.channel);
}

void CloseVirtualChannel(int32_t channel) {
  if (channel != kChannel || !ChannelExists()) return;
  if (host.playing) host.driver->stop();
  host.playing = false;
  host.channel = Channel{};
}

void ASIOShutdown(void) {
  CloseVirtualChannel(kChannel);
  if (host.driver) host.driver->close();
  host = Host{};
}

}  // extern "C"
