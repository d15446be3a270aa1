#pragma once
// What the host asks of a device, whichever kind it is. Each kind provides a
// table of these operations; the exported functions call them in order and
// only in states where they make sense.

#include <cstdint>

#include "asiohost.h"
#include "device_list.h"

// The program's output channel, copied from its descriptor when it is
// created, with the buffer the fill callback writes into.
struct Channel {
  AsioFillCallback callback = nullptr;
  void* context = nullptr;
  uint32_t frames = 0;        // per fill call; the buffer holds twice as many samples
  int16_t* samples = nullptr; // left half, then right half
};

// Has the program fill the channel's buffer; returns it.
inline const int16_t* ProduceBuffer(const Channel& channel) {
  channel.callback(channel.samples, channel.frames * 2, channel.context);
  return channel.samples;
}

struct StreamShape {
  uint32_t sampleRate = 0;
  uint32_t frames = 0;  // per fill call
};

struct DeviceDriver {
  // Opens the device and settles the stream's rate and buffer size. `window`
  // is told of later format changes.
  bool (*open)(const DeviceEntry& device, void* window, StreamShape& shape);
  bool (*createBuffers)();
  // Produces the buffer that plays first, before start.
  void (*preload)(const Channel& channel);
  // Starts the thread that produces one buffer per period.
  bool (*start)(const Channel& channel);
  // Stops that thread; once it returns the callback is not called again.
  void (*stop)();
  void (*close)();
};

extern const DeviceDriver kRecorderDriver;
extern const DeviceDriver kEndpointDriver;
