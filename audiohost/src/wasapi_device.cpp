// A system render endpoint, driven by its buffer event. The stream takes the
// smallest period the endpoint allows: a low-latency shared period where the
// system offers one, else exclusive mode at 16-bit stereo, else shared mode at
// the engine's period. A render thread registered as "Pro Audio" fills one
// period per event.

#include <windows.h>
#include <audioclient.h>
#include <avrt.h>
#include <mmreg.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <memory>
#include <string>

#include "audio_device.h"
#include "com_scope.h"
#include "format_watcher.h"
#include "sample_conversion.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr REFERENCE_TIME kHundredNsPerSecond = 10000000;

struct Endpoint {
  std::unique_ptr<ComScope> com;
  ComPtr<IMMDeviceEnumerator> enumerator;
  ComPtr<IMMDevice> device;
  ComPtr<IAudioClient> client;
  ComPtr<IAudioRenderClient> render;
  ComPtr<FormatWatcher> watcher;
  bool exclusive = false;
  FrameFormat format;
  uint32_t sampleRate = 0;
  uint32_t periodFrames = 0;  // per fill call
  uint32_t bufferFrames = 0;  // the endpoint buffer
  HANDLE bufferEvent = nullptr;
  HANDLE stopEvent = nullptr;
  HANDLE thread = nullptr;
  Channel channel;
};

Endpoint endpoint;

// The sub-format GUID of an extensible stream format: the classic format tag
// inside a fixed GUID.
GUID WaveSubFormat(WORD formatTag) {
  return {formatTag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
}

// The sample format of a stream format, or false for one we cannot write.
bool ReadFrameFormat(const WAVEFORMATEX& wave, FrameFormat& format) {
  format.channels = wave.nChannels;
  bool isFloat = wave.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
  bool isPcm = wave.wFormatTag == WAVE_FORMAT_PCM;
  WORD validBits = wave.wBitsPerSample;
  if (wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE && wave.cbSize >= 22) {
    const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(wave);
    isFloat = extensible.SubFormat == WaveSubFormat(WAVE_FORMAT_IEEE_FLOAT);
    isPcm = extensible.SubFormat == WaveSubFormat(WAVE_FORMAT_PCM);
    validBits = extensible.Samples.wValidBitsPerSample;
  }
  if (format.channels == 0) return false;
  if (isFloat && wave.wBitsPerSample == 32) format.sample = SampleFormat::Float32;
  else if (isPcm && wave.wBitsPerSample == 16) format.sample = SampleFormat::Int16;
  else if (isPcm && wave.wBitsPerSample == 24) format.sample = SampleFormat::Int24;
  else if (isPcm && wave.wBitsPerSample == 32 && validBits >= 16) format.sample = SampleFormat::Int32;
  else return false;
  return wave.nBlockAlign == format.channels * BytesPerSample(format.sample);
}

struct MixFormat {
  WAVEFORMATEX* wave = nullptr;
  ~MixFormat() { CoTaskMemFree(wave); }
};

uint32_t FramesOf(REFERENCE_TIME duration, uint32_t rate) {
  return static_cast<uint32_t>((duration * rate + kHundredNsPerSecond / 2) / kHundredNsPerSecond);
}

// Shared mode at the smallest period the engine offers below its default.
bool InitializeLowLatencyShared() {
  ComPtr<IAudioClient3> client;
  MixFormat mix;
  UINT32 defaultPeriod = 0, fundamental = 0, minimum = 0, maximum = 0;
  if (FAILED(endpoint.device->Activate(__uuidof(IAudioClient3), CLSCTX_ALL, nullptr, &client)) ||
      FAILED(client->GetMixFormat(&mix.wave)) || !ReadFrameFormat(*mix.wave, endpoint.format) ||
      FAILED(client->GetSharedModeEnginePeriod(mix.wave, &defaultPeriod, &fundamental, &minimum, &maximum)) ||
      minimum == 0 || minimum >= defaultPeriod ||
      FAILED(client->InitializeSharedAudioStream(AUDCLNT_STREAMFLAGS_EVENTCALLBACK, minimum, mix.wave, nullptr)))
    return false;
  endpoint.client = client;
  endpoint.exclusive = false;
  endpoint.sampleRate = mix.wave->nSamplesPerSec;
  endpoint.periodFrames = minimum;
  return true;
}

WAVEFORMATEXTENSIBLE Stereo16(uint32_t rate) {
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = 2;
  format.Format.nSamplesPerSec = rate;
  format.Format.wBitsPerSample = 16;
  format.Format.nBlockAlign = 4;
  format.Format.nAvgBytesPerSec = rate * 4;
  format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  format.Samples.wValidBitsPerSample = 16;
  format.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
  format.SubFormat = WaveSubFormat(WAVE_FORMAT_PCM);
  return format;
}

// Exclusive mode, 16-bit stereo at the engine's rate, at the device's
// minimum period (aligned to the hardware's buffer where it insists).
bool InitializeExclusive() {
  ComPtr<IAudioClient> client;
  MixFormat mix;
  REFERENCE_TIME defaultPeriod = 0, minimum = 0;
  if (FAILED(endpoint.device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, &client)) ||
      FAILED(client->GetMixFormat(&mix.wave)) || FAILED(client->GetDevicePeriod(&defaultPeriod, &minimum)))
    return false;
  const WAVEFORMATEXTENSIBLE format = Stereo16(mix.wave->nSamplesPerSec);
  const auto* wave = reinterpret_cast<const WAVEFORMATEX*>(&format);
  if (client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, wave, nullptr) != S_OK) return false;
  const DWORD flags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
  HRESULT result = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, flags, minimum, minimum, wave, nullptr);
  if (result == AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED) {
    UINT32 alignedFrames = 0;
    if (FAILED(client->GetBufferSize(&alignedFrames))) return false;
    const REFERENCE_TIME aligned =
        (kHundredNsPerSecond * alignedFrames + format.Format.nSamplesPerSec / 2) / format.Format.nSamplesPerSec;
    client.Reset();
    if (FAILED(endpoint.device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, &client))) return false;
    result = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, flags, aligned, aligned, wave, nullptr);
  }
  UINT32 bufferFrames = 0;
  if (FAILED(result) || FAILED(client->GetBufferSize(&bufferFrames))) return false;
  endpoint.client = client;
  endpoint.exclusive = true;
  endpoint.format = {SampleFormat::Int16, 2};
  endpoint.sampleRate = format.Format.nSamplesPerSec;
  endpoint.periodFrames = bufferFrames;  // event-driven exclusive streams refill the whole buffer
  return true;
}

// Shared mode at the engine's own period, which every endpoint supports.
bool InitializeShared() {
  ComPtr<IAudioClient> client;
  MixFormat mix;
  REFERENCE_TIME defaultPeriod = 0;
  if (FAILED(endpoint.device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, &client)) ||
      FAILED(client->GetMixFormat(&mix.wave)) || !ReadFrameFormat(*mix.wave, endpoint.format) ||
      FAILED(client->GetDevicePeriod(&defaultPeriod, nullptr)) ||
      FAILED(client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0, mix.wave,
                                nullptr)))
    return false;
  endpoint.client = client;
  endpoint.exclusive = false;
  endpoint.sampleRate = mix.wave->nSamplesPerSec;
  endpoint.periodFrames = FramesOf(defaultPeriod, endpoint.sampleRate);
  return true;
}

void ReleaseEndpoint() {
  if (endpoint.watcher && endpoint.enumerator)
    endpoint.enumerator->UnregisterEndpointNotificationCallback(endpoint.watcher.Get());
  if (endpoint.bufferEvent) CloseHandle(endpoint.bufferEvent);
  if (endpoint.stopEvent) CloseHandle(endpoint.stopEvent);
  std::unique_ptr<ComScope> com = std::move(endpoint.com);
  endpoint = Endpoint{};  // releases the interfaces while COM is still up
}

// Fills every whole period the endpoint buffer has room for. False when the
// device has gone away.
bool RenderAvailable(const Channel& channel) {
  uint32_t room = endpoint.bufferFrames;
  if (!endpoint.exclusive) {
    UINT32 padding = 0;
    if (FAILED(endpoint.client->GetCurrentPadding(&padding))) return false;
    room -= padding < room ? padding : room;
  }
  for (; room >= endpoint.periodFrames; room -= endpoint.periodFrames) {
    BYTE* data = nullptr;
    if (FAILED(endpoint.render->GetBuffer(endpoint.periodFrames, &data))) return false;
    ConvertHalves(ProduceBuffer(channel), endpoint.periodFrames, endpoint.format, data);
    if (FAILED(endpoint.render->ReleaseBuffer(endpoint.periodFrames, 0))) return false;
  }
  return true;
}

// Runs from start to stop. Allocates nothing, takes no lock and logs nothing.
DWORD WINAPI RenderThread(void*) {
  ComScope com;
  DWORD taskIndex = 0;
  const HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex);
  if (!task) SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  const HANDLE waits[] = {endpoint.stopEvent, endpoint.bufferEvent};
  for (;;) {
    // Stop, or a wait that failed, ends the loop.
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) break;
    if (!RenderAvailable(endpoint.channel)) {
      WaitForSingleObject(endpoint.stopEvent, INFINITE);  // the device has gone: idle until stopped
      break;
    }
  }
  if (task) AvRevertMmThreadCharacteristics(task);
  return 0;
}

bool OpenEndpoint(const DeviceEntry& device, void* window, StreamShape& shape) {
  endpoint.com = std::make_unique<ComScope>();
  const bool opened =
      SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                 IID_PPV_ARGS(&endpoint.enumerator))) &&
      SUCCEEDED(endpoint.enumerator->GetDevice(device.endpointId.c_str(), &endpoint.device)) &&
      (InitializeLowLatencyShared() || InitializeExclusive() || InitializeShared()) && endpoint.periodFrames > 0 &&
      SUCCEEDED(endpoint.client->GetBufferSize(&endpoint.bufferFrames)) &&
      endpoint.bufferFrames >= endpoint.periodFrames &&
      (endpoint.bufferEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr)) != nullptr &&
      (endpoint.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr)) != nullptr &&
      SUCCEEDED(endpoint.client->SetEventHandle(endpoint.bufferEvent));
  if (!opened) {
    ReleaseEndpoint();
    return false;
  }
  endpoint.watcher.Attach(new FormatWatcher(device.endpointId, static_cast<HWND>(window)));
  if (FAILED(endpoint.enumerator->RegisterEndpointNotificationCallback(endpoint.watcher.Get())))
    endpoint.watcher.Reset();
  shape = {endpoint.sampleRate, endpoint.periodFrames};
  return true;
}

bool CreateEndpointBuffers() {
  return SUCCEEDED(endpoint.client->GetService(IID_PPV_ARGS(&endpoint.render)));
}

void PreloadEndpoint(const Channel& channel) {
  if (endpoint.render) RenderAvailable(channel);
}

bool StartEndpoint(const Channel& channel) {
  if (!endpoint.render) return false;
  endpoint.channel = channel;
  ResetEvent(endpoint.stopEvent);
  endpoint.thread = CreateThread(nullptr, 0, RenderThread, nullptr, 0, nullptr);
  if (!endpoint.thread) return false;
  if (SUCCEEDED(endpoint.client->Start())) return true;
  SetEvent(endpoint.stopEvent);
  WaitForSingleObject(endpoint.thread, INFINITE);
  CloseHandle(endpoint.thread);
  endpoint.thread = nullptr;
  return false;
}

void StopEndpoint() {
  if (!endpoint.thread) return;
  endpoint.client->Stop();
  SetEvent(endpoint.stopEvent);
  WaitForSingleObject(endpoint.thread, INFINITE);
  CloseHandle(endpoint.thread);
  endpoint.thread = nullptr;
  endpoint.client->Reset();
}

void CloseEndpoint() { ReleaseEndpoint(); }

}  // namespace

const DeviceDriver kEndpointDriver = {OpenEndpoint,  CreateEndpointBuffers, PreloadEndpoint,
                                      StartEndpoint, StopEndpoint,          CloseEndpoint};
