#include "simulated_endpoint.h"

#include <mmreg.h>
// After mmdeviceapi.h, which brings the property key type.
#include <functiondiscoverykeys_devpkey.h>

#include <algorithm>
#include <cstring>

#include "wasapi_api.h"

struct SimulatedStream {
  bool initialized = false, exclusive = false, started = false;
  SimulatedFormat format = SimulatedFormat::Int16;
  uint32_t rate = 0, blockAlign = 0;
  uint32_t periodFrames = 0, bufferFrames = 0, padding = 0, pending = 0;
  uint64_t generation = 0;
  HANDLE event = nullptr;
  std::vector<uint8_t> buffer;
};

namespace {

constexpr REFERENCE_TIME kHundredNsPerSecond = 10000000;

SimulatedSystem* installed = nullptr;

uint32_t BitsOf(SimulatedFormat format) { return format == SimulatedFormat::Int16 ? 16 : 32; }

GUID SubFormat(WORD tag) { return {tag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}}; }

WAVEFORMATEXTENSIBLE MakeFormat(SimulatedFormat format, uint32_t rate) {
  WAVEFORMATEXTENSIBLE wave{};
  const WORD bits = static_cast<WORD>(BitsOf(format));
  wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  wave.Format.nChannels = 2;
  wave.Format.nSamplesPerSec = rate;
  wave.Format.wBitsPerSample = bits;
  wave.Format.nBlockAlign = static_cast<WORD>(bits / 4);
  wave.Format.nAvgBytesPerSec = rate * wave.Format.nBlockAlign;
  wave.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  wave.Samples.wValidBitsPerSample = format == SimulatedFormat::Int24In32 ? 24 : bits;
  wave.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
  wave.SubFormat = SubFormat(format == SimulatedFormat::Float32 ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM);
  return wave;
}

// The simulated format of a stereo extensible format, or false.
bool ReadFormat(const WAVEFORMATEX* wave, SimulatedFormat& format) {
  if (!wave || wave->wFormatTag != WAVE_FORMAT_EXTENSIBLE || wave->nChannels != 2) return false;
  for (SimulatedFormat candidate : {SimulatedFormat::Int16, SimulatedFormat::Int24In32, SimulatedFormat::Int32,
                                    SimulatedFormat::Float32}) {
    const WAVEFORMATEXTENSIBLE expected = MakeFormat(candidate, wave->nSamplesPerSec);
    if (std::memcmp(&expected, wave, sizeof expected) == 0) {
      format = candidate;
      return true;
    }
  }
  return false;
}

template <typename Interface>
class ComObject : public Interface {
 public:
  virtual ~ComObject() = default;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(Interface) || Also(iid)) {
      AddRef();
      *object = static_cast<Interface*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

 protected:
  virtual bool Also(REFIID) const { return false; }

 private:
  std::atomic<ULONG> references_{1};
};

}  // namespace

class FakeRender final : public ComObject<IAudioRenderClient> {
 public:
  FakeRender(SimulatedEndpoint& endpoint, std::shared_ptr<SimulatedStream> stream)
      : endpoint_(endpoint), stream_(std::move(stream)) {}

  HRESULT STDMETHODCALLTYPE GetBuffer(UINT32 frames, BYTE** data) override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    SimulatedStream& s = *stream_;
    if (HRESULT result = endpoint_.Gone(s); FAILED(result)) return result;
    if (HRESULT result = endpoint_.Injected(SimulatedCall::GetBuffer); FAILED(result)) return result;
    if (s.pending) return AUDCLNT_E_OUT_OF_ORDER;
    if (frames > s.bufferFrames - s.padding) {
      ++endpoint_.oversizedRequests;
      return AUDCLNT_E_BUFFER_TOO_LARGE;
    }
    s.pending = frames;
    *data = s.buffer.data();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames, DWORD) override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    SimulatedStream& s = *stream_;
    const uint32_t pending = s.pending;
    s.pending = 0;
    if (HRESULT result = endpoint_.Gone(s); FAILED(result)) return result;
    if (HRESULT result = endpoint_.Injected(SimulatedCall::ReleaseBuffer); FAILED(result)) return result;
    if (frames != pending || frames == 0) return AUDCLNT_E_INVALID_SIZE;
    const uint8_t* last = s.buffer.data() + size_t{frames - 1} * s.blockAlign;
    endpoint_.lastFrame_.assign(last, last + s.blockAlign);
    endpoint_.lastFormat_ = s.format;
    s.padding += frames;
    endpoint_.framesWritten += frames;
    return S_OK;
  }

 private:
  SimulatedEndpoint& endpoint_;
  std::shared_ptr<SimulatedStream> stream_;
};

class FakeClient final : public ComObject<IAudioClient3> {
 public:
  FakeClient(SimulatedEndpoint& endpoint, uint64_t generation)
      : endpoint_(endpoint), stream_(std::make_shared<SimulatedStream>()) {
    stream_->generation = generation;
  }

  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD, REFERENCE_TIME duration,
                                       REFERENCE_TIME periodicity, const WAVEFORMATEX* wave, LPCGUID) override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    SimulatedStream& s = *stream_;
    if (HRESULT result = endpoint_.Gone(s); FAILED(result)) return result;
    if (s.initialized) return AUDCLNT_E_ALREADY_INITIALIZED;
    SimulatedFormat format;
    if (!ReadFormat(wave, format) || wave->nSamplesPerSec != endpoint_.mixRate) return AUDCLNT_E_UNSUPPORTED_FORMAT;
    if (mode == AUDCLNT_SHAREMODE_SHARED) {
      if (format != endpoint_.mixFormat) return AUDCLNT_E_UNSUPPORTED_FORMAT;
      return Settle(false, format, endpoint_.engineDefaultFrames);
    }
    if (!endpoint_.exclusiveAllowed) return AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
    if (!Accepts(format)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
    if (duration != periodicity || duration < endpoint_.exclusiveMinimum) return E_INVALIDARG;
    const uint32_t frames =
        static_cast<uint32_t>((duration * endpoint_.mixRate + kHundredNsPerSecond / 2) / kHundredNsPerSecond);
    const uint32_t align = endpoint_.alignFrames;
    if (align && frames % align) {
      s.bufferFrames = (frames / align + 1) * align;  // what GetBufferSize reports now
      return AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED;
    }
    return Settle(true, format, frames);
  }

  HRESULT STDMETHODCALLTYPE InitializeSharedAudioStream(DWORD, UINT32 period, const WAVEFORMATEX* wave,
                                                         LPCGUID) override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    if (HRESULT result = endpoint_.Gone(*stream_); FAILED(result)) return result;
    SimulatedFormat format;
    if (!ReadFormat(wave, format) || format != endpoint_.mixFormat || wave->nSamplesPerSec != endpoint_.mixRate)
      return AUDCLNT_E_UNSUPPORTED_FORMAT;
    if (period < endpoint_.engineMinimumFrames || period > endpoint_.engineDefaultFrames) return E_INVALIDARG;
    return Settle(false, format, period);
  }

  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    if (stream_->bufferFrames == 0) return AUDCLNT_E_NOT_INITIALIZED;
    *frames = stream_->bufferFrames;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* padding) override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    if (HRESULT result = endpoint_.Gone(*stream_); FAILED(result)) return result;
    if (HRESULT result = endpoint_.Injected(SimulatedCall::Padding); FAILED(result)) return result;
    *padding = stream_->padding;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE mode, const WAVEFORMATEX* wave,
                                              WAVEFORMATEX** closest) override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    if (closest) *closest = nullptr;
    if (HRESULT result = endpoint_.Gone(*stream_); FAILED(result)) return result;
    SimulatedFormat format;
    const bool known = ReadFormat(wave, format) && wave->nSamplesPerSec == endpoint_.mixRate;
    if (mode == AUDCLNT_SHAREMODE_SHARED) return known && format == endpoint_.mixFormat ? S_OK : S_FALSE;
    if (!endpoint_.exclusiveAllowed) return AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
    return known && Accepts(format) ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
  }

  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** wave) override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    if (HRESULT result = endpoint_.Gone(*stream_); FAILED(result)) return result;
    auto* mix = static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
    *mix = MakeFormat(endpoint_.mixFormat, endpoint_.mixRate);
    *wave = &mix->Format;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* defaultPeriod, REFERENCE_TIME* minimum) override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    if (defaultPeriod)
      *defaultPeriod = kHundredNsPerSecond * endpoint_.engineDefaultFrames / endpoint_.mixRate;
    if (minimum) *minimum = endpoint_.exclusiveMinimum;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Start() override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    if (HRESULT result = endpoint_.Gone(*stream_); FAILED(result)) return result;
    if (HRESULT result = endpoint_.Injected(SimulatedCall::Start); FAILED(result)) return result;
    if (!stream_->initialized) return AUDCLNT_E_NOT_INITIALIZED;
    stream_->started = true;
    endpoint_.running_ = stream_;
    ++endpoint_.starts;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Stop() override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    stream_->started = false;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Reset() override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    stream_->padding = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    stream_->event = event;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** object) override {
    if (iid != __uuidof(IAudioRenderClient)) return E_NOINTERFACE;
    *object = static_cast<IAudioRenderClient*>(new FakeRender(endpoint_, stream_));
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetSharedModeEnginePeriod(const WAVEFORMATEX*, UINT32* defaultFrames,
                                                       UINT32* fundamental, UINT32* minimum,
                                                       UINT32* maximum) override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    *defaultFrames = endpoint_.engineDefaultFrames;
    *fundamental = endpoint_.engineMinimumFrames;
    *minimum = endpoint_.engineMinimumFrames;
    *maximum = endpoint_.engineDefaultFrames;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsOffloadCapable(AUDIO_STREAM_CATEGORY, BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetClientProperties(const AudioClientProperties*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBufferSizeLimits(const WAVEFORMATEX*, BOOL, REFERENCE_TIME*,
                                                REFERENCE_TIME*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetCurrentSharedModeEnginePeriod(WAVEFORMATEX**, UINT32*) override {
    return E_NOTIMPL;
  }

 protected:
  bool Also(REFIID iid) const override { return iid == __uuidof(IAudioClient) || iid == __uuidof(IAudioClient2); }

 private:
  bool Accepts(SimulatedFormat format) const {
    const auto& formats = endpoint_.exclusiveFormats;
    return std::find(formats.begin(), formats.end(), format) != formats.end();
  }

  HRESULT Settle(bool exclusive, SimulatedFormat format, uint32_t periodFrames) {
    SimulatedStream& s = *stream_;
    s.initialized = true;
    s.exclusive = exclusive;
    s.format = format;
    s.rate = endpoint_.mixRate;
    s.blockAlign = BitsOf(format) / 4;
    s.periodFrames = periodFrames;
    s.bufferFrames = exclusive ? periodFrames
                     : endpoint_.sharedBufferFrames ? endpoint_.sharedBufferFrames
                                                    : 2 * periodFrames;
    s.buffer.assign(size_t{s.bufferFrames} * s.blockAlign, 0);
    return S_OK;
  }

  SimulatedEndpoint& endpoint_;
  std::shared_ptr<SimulatedStream> stream_;
};

namespace {

class FakeProperties final : public ComObject<IPropertyStore> {
 public:
  explicit FakeProperties(std::wstring name) : name_(std::move(name)) {}
  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
    PropVariantInit(value);
    if (key.fmtid != PKEY_Device_FriendlyName.fmtid || key.pid != PKEY_Device_FriendlyName.pid) return S_OK;
    const size_t bytes = (name_.size() + 1) * sizeof(wchar_t);
    value->vt = VT_LPWSTR;
    value->pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    std::memcpy(value->pwszVal, name_.c_str(), bytes);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCount(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetAt(DWORD, PROPERTYKEY*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Commit() override { return E_NOTIMPL; }

 private:
  std::wstring name_;
};

}  // namespace

class FakeDevice final : public ComObject<IMMDevice> {
 public:
  explicit FakeDevice(SimulatedEndpoint& endpoint) : endpoint_(endpoint) {}

  HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** object) override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    ++endpoint_.activations;
    if (HRESULT result = endpoint_.Injected(SimulatedCall::Activate); FAILED(result)) return result;
    if (!endpoint_.present_) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (iid == __uuidof(IAudioClient3) && !endpoint_.lowLatency) return E_NOINTERFACE;
    if (iid != __uuidof(IAudioClient) && iid != __uuidof(IAudioClient3)) return E_NOINTERFACE;
    *object = static_cast<IAudioClient3*>(new FakeClient(endpoint_, endpoint_.generation_));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore** store) override {
    *store = new FakeProperties(endpoint_.name);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
    const size_t bytes = (endpoint_.id.size() + 1) * sizeof(wchar_t);
    *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    std::memcpy(*id, endpoint_.id.c_str(), bytes);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override {
    std::lock_guard<std::mutex> lock(endpoint_.mutex_);
    *state = endpoint_.present_ ? DEVICE_STATE_ACTIVE : DEVICE_STATE_NOTPRESENT;
    return S_OK;
  }

 private:
  SimulatedEndpoint& endpoint_;
};

namespace {

class FakeCollection final : public ComObject<IMMDeviceCollection> {
 public:
  explicit FakeCollection(std::vector<SimulatedEndpoint*> endpoints) : endpoints_(std::move(endpoints)) {}
  HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
    *count = static_cast<UINT>(endpoints_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
    if (index >= endpoints_.size()) return E_INVALIDARG;
    *device = new FakeDevice(*endpoints_[index]);
    return S_OK;
  }

 private:
  std::vector<SimulatedEndpoint*> endpoints_;
};

}  // namespace

class FakeEnumerator final : public ComObject<IMMDeviceEnumerator> {
 public:
  explicit FakeEnumerator(SimulatedSystem& system) : system_(system) {}

  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection** collection) override {
    std::vector<SimulatedEndpoint*> present;
    for (SimulatedEndpoint* endpoint : system_.endpoints_)
      if (IsPresent(*endpoint)) present.push_back(endpoint);
    // The system's order is not the default-first order the library lists.
    std::reverse(present.begin(), present.end());
    *collection = new FakeCollection(std::move(present));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow, ERole, IMMDevice** device) override {
    if (system_.endpoints_.empty() || !IsPresent(*system_.endpoints_.front())) return E_NOTFOUND;
    *device = new FakeDevice(*system_.endpoints_.front());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) override {
    for (SimulatedEndpoint* endpoint : system_.endpoints_) {
      if (endpoint->id == id) {
        *device = new FakeDevice(*endpoint);
        return S_OK;
      }
    }
    return E_NOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    std::lock_guard<std::mutex> lock(system_.mutex_);
    client->AddRef();
    system_.listeners_.push_back(client);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    std::lock_guard<std::mutex> lock(system_.mutex_);
    auto& listeners = system_.listeners_;
    const auto found = std::find(listeners.begin(), listeners.end(), client);
    if (found == listeners.end()) return E_NOTFOUND;
    listeners.erase(found);
    client->Release();
    return S_OK;
  }

 private:
  static bool IsPresent(SimulatedEndpoint& endpoint) {
    std::lock_guard<std::mutex> lock(endpoint.mutex_);
    return endpoint.present_;
  }
  SimulatedSystem& system_;
};

SimulatedEndpoint::~SimulatedEndpoint() {
  clockStop_ = true;
  if (clock_.joinable()) clock_.join();
}

void SimulatedEndpoint::FailNext(SimulatedCall call, HRESULT result, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_[call] = {result, times};
}

HRESULT SimulatedEndpoint::Injected(SimulatedCall call) {
  auto found = failures_.find(call);
  if (found == failures_.end() || found->second.second == 0) return S_OK;
  --found->second.second;
  return found->second.first;
}

HRESULT SimulatedEndpoint::Gone(const SimulatedStream& stream) const {
  return stream.generation == generation_ ? S_OK : AUDCLNT_E_DEVICE_INVALIDATED;
}

void SimulatedEndpoint::Invalidate() {
  std::lock_guard<std::mutex> lock(mutex_);
  present_ = false;
  ++generation_;
}

void SimulatedEndpoint::Remove() {
  Invalidate();
  if (system_) system_->NotifyRemoved(id);
}

void SimulatedEndpoint::Return(uint32_t rate) {
  std::lock_guard<std::mutex> lock(mutex_);
  mixRate = rate;
  present_ = true;
}

bool SimulatedEndpoint::Tick() {
  HANDLE event = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || !running_->started) return false;
    SimulatedStream& s = *running_;
    if (FAILED(Gone(s))) {
      if (signalsWhenGone) SetEvent(s.event);
      return false;
    }
    s.padding = s.exclusive ? 0 : s.padding - std::min(s.padding, s.periodFrames);
    event = s.event;
  }
  SetEvent(event);
  return true;
}

void SimulatedEndpoint::RunClock() {
  clock_ = std::thread([this] {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    int64_t next = now.QuadPart;
    while (!clockStop_) {
      const StreamFacts facts = Facts();
      next += facts.rate ? frequency.QuadPart * facts.periodFrames / facts.rate : frequency.QuadPart / 1000;
      for (QueryPerformanceCounter(&now); now.QuadPart < next; QueryPerformanceCounter(&now))
        if (next - now.QuadPart > frequency.QuadPart / 500) Sleep(1);
      Tick();
    }
  });
}

SimulatedEndpoint::Frame SimulatedEndpoint::LastFrame() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lastFrame_.empty()) return {0, 0};
  auto channel = [&](size_t index) -> double {
    if (lastFormat_ == SimulatedFormat::Int16) {
      int16_t value;
      std::memcpy(&value, lastFrame_.data() + 2 * index, 2);
      return value;
    }
    if (lastFormat_ == SimulatedFormat::Float32) {
      float value;
      std::memcpy(&value, lastFrame_.data() + 4 * index, 4);
      return value * 32768.0;
    }
    int32_t value;
    std::memcpy(&value, lastFrame_.data() + 4 * index, 4);
    return value / 65536.0;
  };
  return {channel(0), channel(1)};
}

SimulatedEndpoint::StreamFacts SimulatedEndpoint::Facts() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!running_) return {};
  return {running_->exclusive, running_->format, running_->rate, running_->periodFrames, running_->bufferFrames};
}

namespace {

HRESULT CreateFakeEnumerator(IMMDeviceEnumerator** enumerator) {
  *enumerator = new FakeEnumerator(*installed);
  return S_OK;
}

}  // namespace

SimulatedSystem::SimulatedSystem(std::vector<SimulatedEndpoint*> endpoints, bool realPauses)
    : endpoints_(std::move(endpoints)), realPauses_(realPauses) {
  for (SimulatedEndpoint* endpoint : endpoints_) endpoint->system_ = this;
  installed = this;
  wasapiApi = {CreateFakeEnumerator, RecordPause};
}

SimulatedSystem::~SimulatedSystem() {
  wasapiApi = realWasapiApi;
  installed = nullptr;
  for (IMMNotificationClient* listener : listeners_) listener->Release();
}

std::vector<DWORD> SimulatedSystem::Pauses() {
  std::lock_guard<std::mutex> lock(mutex_);
  return pauses_;
}

void SimulatedSystem::NotifyRemoved(const std::wstring& id) {
  std::vector<IMMNotificationClient*> listeners;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners = listeners_;
    for (IMMNotificationClient* listener : listeners) listener->AddRef();
  }
  for (IMMNotificationClient* listener : listeners) {
    listener->OnDeviceStateChanged(id.c_str(), DEVICE_STATE_NOTPRESENT);
    listener->OnDeviceRemoved(id.c_str());
    listener->Release();
  }
}

DWORD SimulatedSystem::RecordPause(HANDLE stop, DWORD milliseconds) {
  bool real;
  {
    std::lock_guard<std::mutex> lock(installed->mutex_);
    installed->pauses_.push_back(milliseconds);
    real = installed->realPauses_;
  }
  return WaitForSingleObject(stop, real ? milliseconds : std::min<DWORD>(milliseconds, 2));
}
