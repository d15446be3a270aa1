#pragma once
// A simulated system audio endpoint, made of fake COM objects behind the
// library's WasapiApi table. It can be told which formats and periods it
// accepts, when and how its calls fail, and when it goes away and comes back.
// Its engine plays one period of the running stream when the test calls Tick,
// or in real time once RunClock is called.

#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

enum class SimulatedFormat { Int16, Int24In32, Int32, Float32 };
enum class SimulatedCall { Activate, Padding, GetBuffer, ReleaseBuffer, Start };

struct SimulatedStream;
class SimulatedSystem;

class SimulatedEndpoint {
 public:
  SimulatedEndpoint(std::wstring id, std::wstring name) : id(std::move(id)), name(std::move(name)) {}
  ~SimulatedEndpoint();

  const std::wstring id, name;
  // What it offers; set before a stream opens.
  SimulatedFormat mixFormat = SimulatedFormat::Float32;
  uint32_t mixRate = 48000;
  bool lowLatency = true;  // offers the engine's periods (IAudioClient3)
  uint32_t engineMinimumFrames = 128, engineDefaultFrames = 480;
  uint32_t sharedBufferFrames = 0;  // 0: two periods
  REFERENCE_TIME exclusiveMinimum = 30000;  // 3 ms
  std::vector<SimulatedFormat> exclusiveFormats = {SimulatedFormat::Int16, SimulatedFormat::Int24In32,
                                                   SimulatedFormat::Int32, SimulatedFormat::Float32};
  bool exclusiveAllowed = true;
  uint32_t alignFrames = 0;  // exclusive buffers must be a multiple of this
  bool signalsWhenGone = false;  // else its engine falls quiet once it has gone

  // The next `times` calls of that kind fail with `result`.
  void FailNext(SimulatedCall call, HRESULT result, int times = 1);
  // Its streams fail as on a device that has gone, and none opens.
  void Invalidate();
  // Invalidate, and the notifications say it was removed.
  void Remove();
  // Streams open again, at `rate`.
  void Return(uint32_t rate);

  // Plays one period of the running stream and signals its event; false
  // when no stream plays.
  bool Tick();
  // Ticks once per period in real time, until destroyed.
  void RunClock();

  // What it saw.
  std::atomic<int> activations{0}, starts{0}, oversizedRequests{0};
  std::atomic<uint64_t> framesWritten{0};
  struct Frame {
    double left, right;  // on the 16-bit scale
  };
  Frame LastFrame();
  // The running stream, or the last one that ran.
  struct StreamFacts {
    bool exclusive;
    SimulatedFormat format;
    uint32_t rate, periodFrames, bufferFrames;
  };
  StreamFacts Facts();

 private:
  friend class FakeClient;
  friend class FakeRender;
  friend class FakeDevice;
  friend class FakeEnumerator;
  friend class SimulatedSystem;

  HRESULT Injected(SimulatedCall call);
  HRESULT Gone(const SimulatedStream& stream) const;

  std::mutex mutex_;
  bool present_ = true;
  uint64_t generation_ = 0;  // one more at each invalidation
  std::map<SimulatedCall, std::pair<HRESULT, int>> failures_;
  std::shared_ptr<SimulatedStream> running_;
  std::vector<uint8_t> lastFrame_;
  SimulatedFormat lastFormat_ = SimulatedFormat::Int16;
  SimulatedSystem* system_ = nullptr;
  std::atomic<bool> clockStop_{false};
  std::thread clock_;
};

// Puts the endpoints (the first one the default) behind the library's table
// for as long as it lives. The pauses between reopening attempts are
// recorded and, unless `realPauses`, cut to a few milliseconds.
class SimulatedSystem {
 public:
  explicit SimulatedSystem(std::vector<SimulatedEndpoint*> endpoints, bool realPauses = false);
  ~SimulatedSystem();
  std::vector<DWORD> Pauses();

 private:
  friend class FakeEnumerator;
  friend class SimulatedEndpoint;
  void NotifyRemoved(const std::wstring& id);
  static DWORD RecordPause(HANDLE stop, DWORD milliseconds);

  std::vector<SimulatedEndpoint*> endpoints_;
  bool realPauses_;
  std::mutex mutex_;
  std::vector<IMMNotificationClient*> listeners_;
  std::vector<DWORD> pauses_;
};
