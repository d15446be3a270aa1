#pragma once
// One event-driven render stream on a system endpoint, in shared or
// exclusive mode, and the filling of its buffer.

#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <cstdint>

#include "audio_device.h"
#include "sample_conversion.h"

struct EndpointStream {
  Microsoft::WRL::ComPtr<IAudioClient> client;
  Microsoft::WRL::ComPtr<IAudioRenderClient> render;
  bool exclusive = false;
  FrameFormat format;
  uint32_t sampleRate = 0;
  uint32_t periodFrames = 0;  // between two buffer events
  uint32_t bufferFrames = 0;  // the endpoint buffer
};

// Opens a stream that signals `bufferEvent` once per period. Shared mode asks
// for the smallest period the audio engine offers and otherwise takes the
// engine's own; exclusive mode takes the device's smallest period, or the one
// that holds `wantedFrames` if that is longer, aligned where the hardware
// insists, in the first format the device accepts of 16-bit, 24 bits in 32,
// 32-bit and float. The first failure's result.
HRESULT OpenEndpointStream(IMMDevice* device, bool exclusive, uint32_t wantedFrames, HANDLE bufferEvent,
                           EndpointStream& stream);

// True for the results that mean the endpoint has gone and only a new stream
// can play again; every other failure of a render call passes.
bool MeansDeviceGone(HRESULT result);

// Fills the free room of the endpoint buffer in whole fill buffers of the
// channel. The first failing call's result, or S_OK.
HRESULT RenderAvailable(const EndpointStream& stream, const Channel& channel);
