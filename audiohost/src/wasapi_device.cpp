// A system render endpoint, in shared or exclusive mode. Two threads run
// while it plays. The render thread, registered as "Pro Audio", fills the
// endpoint buffer at every buffer event and does nothing else: a failed call
// skips that period, and a result that means the device has gone ends it.
// The keeper, at normal priority, notices that the device has gone (the
// render thread ended, or the system's notifications said so), reopens the
// same endpoint in the same mode with a bounded back-off, tells the program's
// window when the reopened stream's rate is not the one it was set up for,
// and writes what happened to standard error.

#include <windows.h>
#include <avrt.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>

#include "audio_device.h"
#include "buffer_clock.h"
#include "com_scope.h"
#include "endpoint_watcher.h"
#include "wasapi_api.h"
#include "wasapi_stream.h"

using Microsoft::WRL::ComPtr;

namespace {

// The pauses between attempts to reopen: none before the first, then 20 ms,
// doubling up to half a second.
constexpr DWORD kFirstPauseMs = 20, kLongestPauseMs = 500;

struct Endpoint {
  std::unique_ptr<ComScope> com;
  std::string name;
  std::wstring id;
  HWND window = nullptr;
  ComPtr<IMMDeviceEnumerator> enumerator;
  ComPtr<EndpointWatcher> watcher;
  // While it plays, the render thread reads the stream and the keeper
  // changes it only once that thread has ended.
  EndpointStream stream;
  bool exclusive = false;      // the mode it runs in, kept when it is reopened
  uint32_t programRate = 0;    // the rate the program was set up for
  uint32_t announcedRate = 0;  // the rate the window last heard of
  Channel channel;
  HANDLE bufferEvent = nullptr;
  HANDLE renderStop = nullptr;  // manual reset: ends the render thread
  HANDLE keeperStop = nullptr;  // manual reset: ends the keeper
  HANDLE gone = nullptr;        // set when the notifications say the endpoint left
  HANDLE renderer = nullptr;
  HANDLE keeper = nullptr;
};

Endpoint endpoint;
std::atomic<HRESULT> renderResult{S_OK};  // what ended the render thread
std::atomic<uint32_t> skippedPeriods{0};  // after transient errors

// One line on standard error about the endpoint. Never on the render thread.
void Say(const char* format, ...) {
  std::fprintf(stderr, "ASIOHOST: \"%s\" ", endpoint.name.c_str());
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

// Whether the device is still there: asked when no buffer event has come for
// this long, since an engine that has lost its device may stop signalling.
constexpr DWORD kQuietEngineMs = 100;

// Runs while a stream plays. Allocates nothing, takes no lock and writes no
// message.
DWORD WINAPI RenderThread(void*) {
  ComScope com;
  DWORD taskIndex = 0;
  const HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex);
  if (!task) SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  const HANDLE waits[] = {endpoint.renderStop, endpoint.bufferEvent};
  for (;;) {
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, kQuietEngineMs);
    HRESULT result = S_OK;
    if (woke == WAIT_OBJECT_0 + 1) {
      result = RenderAvailable(endpoint.stream, endpoint.channel);
      if (FAILED(result) && !MeansDeviceGone(result)) skippedPeriods.fetch_add(1, std::memory_order_relaxed);
    } else if (woke == WAIT_TIMEOUT) {
      UINT32 padding = 0;
      result = endpoint.stream.client->GetCurrentPadding(&padding);
    } else {
      break;  // stopped, or the wait failed
    }
    if (MeansDeviceGone(result)) {
      renderResult.store(result, std::memory_order_relaxed);
      break;
    }
  }
  if (task) AvRevertMmThreadCharacteristics(task);
  return 0;
}

// Ends the render thread and stops the client; the stream stays open.
void HaltStream() {
  if (endpoint.renderer) {
    SetEvent(endpoint.renderStop);
    WaitForSingleObject(endpoint.renderer, INFINITE);
    CloseHandle(endpoint.renderer);
    endpoint.renderer = nullptr;
  }
  if (endpoint.stream.client) {
    endpoint.stream.client->Stop();
    endpoint.stream.client->Reset();
  }
}

// Starts the render thread, then the client.
HRESULT PlayStream() {
  renderResult.store(S_OK, std::memory_order_relaxed);
  ResetEvent(endpoint.renderStop);
  endpoint.renderer = CreateThread(nullptr, 0, RenderThread, nullptr, 0, nullptr);
  if (!endpoint.renderer) return HRESULT_FROM_WIN32(GetLastError());
  const HRESULT result = endpoint.stream.client->Start();
  if (FAILED(result)) HaltStream();
  return result;
}

// Opens the stream in the entry's mode. An exclusive entry that the device
// refuses plays shared rather than not at all.
HRESULT OpenInMode(IMMDevice* device, bool exclusive) {
  HRESULT result = OpenEndpointStream(device, exclusive, 0, endpoint.bufferEvent, endpoint.stream);
  if (exclusive && FAILED(result) && !MeansDeviceGone(result)) {
    Say("refused exclusive mode (0x%08lX); it plays shared instead", static_cast<unsigned long>(result));
    result = OpenEndpointStream(device, false, 0, endpoint.bufferEvent, endpoint.stream);
  }
  endpoint.exclusive = endpoint.stream.exclusive;
  return result;
}

// One attempt to play again: the same endpoint in the mode it ran in, with
// room for the program's fill buffer whatever the rate is now, the buffer
// filled before the client starts.
HRESULT ReopenAndPlay() {
  ComPtr<IMMDevice> device;
  HRESULT result = endpoint.enumerator->GetDevice(endpoint.id.c_str(), &device);
  if (SUCCEEDED(result))
    result = OpenEndpointStream(device.Get(), endpoint.exclusive, endpoint.channel.frames, endpoint.bufferEvent,
                                endpoint.stream);
  if (SUCCEEDED(result) && endpoint.stream.bufferFrames < endpoint.channel.frames) result = AUDCLNT_E_BUFFER_SIZE_ERROR;
  if (SUCCEEDED(result)) result = RenderAvailable(endpoint.stream, endpoint.channel);
  if (SUCCEEDED(result)) result = PlayStream();
  if (FAILED(result)) endpoint.stream = EndpointStream{};
  return result;
}

// The program derived its tone from the rate it was given: when the stream
// now runs at another rate, its window hears of it once.
void AnnounceRate() {
  const uint32_t rate = endpoint.stream.sampleRate;
  if (rate == endpoint.announcedRate) return;
  endpoint.announcedRate = rate;
  if (rate == endpoint.programRate) return;
  Say("now runs at %u Hz, not at the %u Hz the program was set up for", rate, endpoint.programRate);
  if (endpoint.window) PostMessageW(endpoint.window, ASIOHOST_RATE_CHANGED_MESSAGE, 0, 0);
}

// Attempts to play again until it does or the keeper is stopped: at once,
// then after pauses that double up to half a second, so that a device that
// stays away costs two attempts a second. False when stopped.
bool Reopen() {
  const int64_t goneAt = ReadCounter();
  DWORD pause = 0;
  for (uint32_t attempt = 1;; ++attempt) {
    if (wasapiApi.pauseUnlessStopped(endpoint.keeperStop, pause) != WAIT_TIMEOUT) return false;
    ResetEvent(endpoint.gone);  // what the notifications said is about the stream now closed
    const HRESULT result = ReopenAndPlay();
    if (SUCCEEDED(result)) {
      const double seconds = static_cast<double>(ReadCounter() - goneAt) / static_cast<double>(CounterFrequency());
      Say("plays again after %.3f s and %u attempts: %s, %u Hz, %u frames per period",
          seconds, attempt, endpoint.exclusive ? "exclusive" : "shared", endpoint.stream.sampleRate,
          endpoint.stream.periodFrames);
      AnnounceRate();
      return true;
    }
    const DWORD next = pause == 0 ? kFirstPauseMs : std::min(pause * 2, kLongestPauseMs);
    if (next == kLongestPauseMs && pause != kLongestPauseMs)
      Say("cannot be opened yet (0x%08lX); trying again every %.1f s", static_cast<unsigned long>(result),
          kLongestPauseMs / 1000.0);
    pause = next;
  }
}

// Runs from start to stop, at normal priority.
DWORD WINAPI KeepStream(void*) {
  ComScope com;
  for (;;) {
    const HANDLE waits[] = {endpoint.keeperStop, endpoint.gone, endpoint.renderer};
    const DWORD woke = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
    if (woke != WAIT_OBJECT_0 + 1 && woke != WAIT_OBJECT_0 + 2) break;  // stopped, or the wait failed
    if (woke == WAIT_OBJECT_0 + 1)
      Say("has left service; reopening it");
    else
      Say("has gone (0x%08lX); reopening it", static_cast<unsigned long>(renderResult.load(std::memory_order_relaxed)));
    HaltStream();
    endpoint.stream = EndpointStream{};
    if (!Reopen()) break;
  }
  HaltStream();
  return 0;
}

void CloseIfOpen(HANDLE& handle) {
  if (handle) CloseHandle(handle);
  handle = nullptr;
}

void ReleaseEndpoint() {
  if (endpoint.watcher && endpoint.enumerator)
    endpoint.enumerator->UnregisterEndpointNotificationCallback(endpoint.watcher.Get());
  for (HANDLE* handle : {&endpoint.bufferEvent, &endpoint.renderStop, &endpoint.keeperStop, &endpoint.gone})
    CloseIfOpen(*handle);
  std::unique_ptr<ComScope> com = std::move(endpoint.com);
  endpoint = Endpoint{};  // releases the interfaces while COM is still up
}

bool CreateEvents() {
  endpoint.bufferEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  endpoint.renderStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  endpoint.keeperStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  endpoint.gone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return endpoint.bufferEvent && endpoint.renderStop && endpoint.keeperStop && endpoint.gone;
}

bool OpenEndpoint(const DeviceEntry& entry, void* window, StreamShape& shape) {
  endpoint.com = std::make_unique<ComScope>();
  endpoint.name = entry.name;
  endpoint.id = entry.endpointId;
  endpoint.window = static_cast<HWND>(window);
  skippedPeriods.store(0, std::memory_order_relaxed);
  ComPtr<IMMDevice> device;
  const bool opened = SUCCEEDED(wasapiApi.createEnumerator(&endpoint.enumerator)) &&
                      SUCCEEDED(endpoint.enumerator->GetDevice(entry.endpointId.c_str(), &device)) &&
                      CreateEvents() &&
                      SUCCEEDED(OpenInMode(device.Get(), entry.kind == DeviceKind::ExclusiveEndpoint));
  if (!opened) {
    ReleaseEndpoint();
    return false;
  }
  endpoint.watcher.Attach(new EndpointWatcher(entry.endpointId, endpoint.gone));
  if (FAILED(endpoint.enumerator->RegisterEndpointNotificationCallback(endpoint.watcher.Get())))
    endpoint.watcher.Reset();
  endpoint.programRate = endpoint.announcedRate = endpoint.stream.sampleRate;
  shape = {endpoint.stream.sampleRate, endpoint.stream.periodFrames};
  return true;
}

bool CreateEndpointBuffers() { return endpoint.stream.render != nullptr; }

void PreloadEndpoint(const Channel& channel) {
  if (endpoint.stream.render) RenderAvailable(endpoint.stream, channel);
}

bool StartEndpoint(const Channel& channel) {
  if (!endpoint.stream.render) return false;
  endpoint.channel = channel;
  ResetEvent(endpoint.keeperStop);
  if (FAILED(PlayStream())) return false;
  endpoint.keeper = CreateThread(nullptr, 0, KeepStream, nullptr, 0, nullptr);
  if (endpoint.keeper) return true;
  HaltStream();
  return false;
}

void StopEndpoint() {
  if (!endpoint.keeper) return;
  SetEvent(endpoint.keeperStop);
  WaitForSingleObject(endpoint.keeper, INFINITE);
  CloseIfOpen(endpoint.keeper);
}

void CloseEndpoint() {
  if (const uint32_t skipped = skippedPeriods.load(std::memory_order_relaxed))
    Say("skipped %u periods after transient errors", skipped);
  ReleaseEndpoint();
}

}  // namespace

const DeviceDriver kEndpointDriver = {OpenEndpoint,  CreateEndpointBuffers, PreloadEndpoint,
                                      StartEndpoint, StopEndpoint,          CloseEndpoint};
