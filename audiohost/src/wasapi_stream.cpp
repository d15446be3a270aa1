#include "wasapi_stream.h"

#include <mmreg.h>

using Microsoft::WRL::ComPtr;

namespace {

constexpr REFERENCE_TIME kHundredNsPerSecond = 10000000;

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

// Stereo in a container of `bits` bits with `validBits` of them used.
WAVEFORMATEXTENSIBLE Stereo(uint32_t rate, WORD bits, WORD validBits, WORD formatTag) {
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = 2;
  format.Format.nSamplesPerSec = rate;
  format.Format.wBitsPerSample = bits;
  format.Format.nBlockAlign = static_cast<WORD>(2 * bits / 8);
  format.Format.nAvgBytesPerSec = rate * format.Format.nBlockAlign;
  format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  format.Samples.wValidBitsPerSample = validBits;
  format.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
  format.SubFormat = WaveSubFormat(formatTag);
  return format;
}

// Shared mode at the smallest period the engine offers, where the system
// has low-latency shared streams.
HRESULT InitializeLowLatencyShared(IMMDevice* device, EndpointStream& stream) {
  ComPtr<IAudioClient3> client;
  MixFormat mix;
  UINT32 defaultFrames = 0, fundamental = 0, minimum = 0, maximum = 0;
  HRESULT result = device->Activate(__uuidof(IAudioClient3), CLSCTX_ALL, nullptr, &client);
  if (SUCCEEDED(result)) result = client->GetMixFormat(&mix.wave);
  if (SUCCEEDED(result) && !ReadFrameFormat(*mix.wave, stream.format)) result = AUDCLNT_E_UNSUPPORTED_FORMAT;
  if (SUCCEEDED(result))
    result = client->GetSharedModeEnginePeriod(mix.wave, &defaultFrames, &fundamental, &minimum, &maximum);
  if (SUCCEEDED(result) && minimum == 0) result = E_NOTIMPL;
  if (SUCCEEDED(result))
    result = client->InitializeSharedAudioStream(AUDCLNT_STREAMFLAGS_EVENTCALLBACK, minimum, mix.wave, nullptr);
  if (FAILED(result)) return result;
  stream.client = client;
  stream.sampleRate = mix.wave->nSamplesPerSec;
  stream.periodFrames = minimum;
  return S_OK;
}

// Shared mode at the engine's own period, which every endpoint supports.
HRESULT InitializeDefaultShared(IMMDevice* device, EndpointStream& stream) {
  ComPtr<IAudioClient> client;
  MixFormat mix;
  REFERENCE_TIME defaultPeriod = 0;
  HRESULT result = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, &client);
  if (SUCCEEDED(result)) result = client->GetMixFormat(&mix.wave);
  if (SUCCEEDED(result) && !ReadFrameFormat(*mix.wave, stream.format)) result = AUDCLNT_E_UNSUPPORTED_FORMAT;
  if (SUCCEEDED(result)) result = client->GetDevicePeriod(&defaultPeriod, nullptr);
  if (SUCCEEDED(result))
    result = client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0, mix.wave, nullptr);
  if (FAILED(result)) return result;
  stream.client = client;
  stream.sampleRate = mix.wave->nSamplesPerSec;
  stream.periodFrames = FramesOf(defaultPeriod, stream.sampleRate);
  return S_OK;
}

HRESULT InitializeShared(IMMDevice* device, EndpointStream& stream) {
  const HRESULT result = InitializeLowLatencyShared(device, stream);
  return SUCCEEDED(result) || MeansDeviceGone(result) ? result : InitializeDefaultShared(device, stream);
}

// Exclusive mode at the engine's rate, in the first of our formats the
// device takes, at the device's minimum period or the one that holds
// `wantedFrames`, if longer; a device that wants its buffer aligned says how
// large, and a new client is initialised with that.
HRESULT InitializeExclusive(IMMDevice* device, uint32_t wantedFrames, EndpointStream& stream) {
  ComPtr<IAudioClient> client;
  MixFormat mix;
  REFERENCE_TIME defaultPeriod = 0, minimum = 0;
  HRESULT result = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, &client);
  if (SUCCEEDED(result)) result = client->GetMixFormat(&mix.wave);
  if (SUCCEEDED(result)) result = client->GetDevicePeriod(&defaultPeriod, &minimum);
  if (FAILED(result)) return result;
  const uint32_t rate = mix.wave->nSamplesPerSec;
  const REFERENCE_TIME wanted = (kHundredNsPerSecond * wantedFrames + rate - 1) / rate;
  if (wanted > minimum) minimum = wanted;
  const WAVEFORMATEXTENSIBLE candidates[] = {
      Stereo(rate, 16, 16, WAVE_FORMAT_PCM), Stereo(rate, 32, 24, WAVE_FORMAT_PCM),
      Stereo(rate, 32, 32, WAVE_FORMAT_PCM), Stereo(rate, 32, 32, WAVE_FORMAT_IEEE_FLOAT)};
  const WAVEFORMATEX* wave = nullptr;
  for (const WAVEFORMATEXTENSIBLE& candidate : candidates) {
    const auto* format = reinterpret_cast<const WAVEFORMATEX*>(&candidate);
    result = client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, format, nullptr);
    if (result == S_OK) {
      wave = format;
      break;
    }
    if (MeansDeviceGone(result) || result == AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED) return result;
  }
  if (!wave) return AUDCLNT_E_UNSUPPORTED_FORMAT;
  const DWORD flags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
  result = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, flags, minimum, minimum, wave, nullptr);
  if (result == AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED) {
    UINT32 alignedFrames = 0;
    result = client->GetBufferSize(&alignedFrames);
    if (FAILED(result)) return result;
    const REFERENCE_TIME aligned = (kHundredNsPerSecond * alignedFrames + rate / 2) / rate;
    client.Reset();
    result = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, &client);
    if (SUCCEEDED(result))
      result = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, flags, aligned, aligned, wave, nullptr);
  }
  UINT32 bufferFrames = 0;
  if (SUCCEEDED(result)) result = client->GetBufferSize(&bufferFrames);
  if (SUCCEEDED(result) && !ReadFrameFormat(*wave, stream.format)) result = AUDCLNT_E_UNSUPPORTED_FORMAT;
  if (FAILED(result)) return result;
  stream.client = client;
  stream.sampleRate = rate;
  stream.periodFrames = bufferFrames;  // event-driven exclusive streams refill the whole buffer
  return S_OK;
}

}  // namespace

HRESULT OpenEndpointStream(IMMDevice* device, bool exclusive, uint32_t wantedFrames, HANDLE bufferEvent,
                           EndpointStream& stream) {
  stream = EndpointStream{};
  stream.exclusive = exclusive;
  HRESULT result = exclusive ? InitializeExclusive(device, wantedFrames, stream) : InitializeShared(device, stream);
  if (SUCCEEDED(result)) result = stream.client->GetBufferSize(&stream.bufferFrames);
  if (SUCCEEDED(result) && (stream.periodFrames == 0 || stream.bufferFrames < stream.periodFrames))
    result = AUDCLNT_E_BUFFER_SIZE_ERROR;
  if (SUCCEEDED(result)) result = stream.client->SetEventHandle(bufferEvent);
  if (SUCCEEDED(result)) result = stream.client->GetService(IID_PPV_ARGS(&stream.render));
  if (FAILED(result)) stream = EndpointStream{};
  return result;
}

bool MeansDeviceGone(HRESULT result) {
  return result == AUDCLNT_E_DEVICE_INVALIDATED || result == AUDCLNT_E_RESOURCES_INVALIDATED ||
         result == AUDCLNT_E_SERVICE_NOT_RUNNING || result == AUDCLNT_E_ENDPOINT_CREATE_FAILED;
}

HRESULT RenderAvailable(const EndpointStream& stream, const Channel& channel) {
  uint32_t room = stream.bufferFrames;
  if (!stream.exclusive) {
    UINT32 padding = 0;
    const HRESULT result = stream.client->GetCurrentPadding(&padding);
    if (FAILED(result)) return result;
    room -= padding < room ? padding : room;
  }
  for (; room >= channel.frames; room -= channel.frames) {
    BYTE* data = nullptr;
    HRESULT result = stream.render->GetBuffer(channel.frames, &data);
    if (FAILED(result)) return result;
    ConvertHalves(ProduceBuffer(channel), channel.frames, stream.format, data);
    result = stream.render->ReleaseBuffer(channel.frames, 0);
    if (FAILED(result)) return result;
  }
  return S_OK;
}
