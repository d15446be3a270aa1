#include "simulated_serial_port.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>

#include "keyport/port_api.h"

namespace {

constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120);
constexpr LONG kStatusFailed = static_cast<LONG>(0xC0000001);
constexpr auto kPatience = std::chrono::seconds(10);

// The comm event that a change of each modem-status line raises.
struct LineEvent {
  DWORD statusBit;
  DWORD event;
};
const LineEvent lineEvents[] = {
    {MS_CTS_ON, EV_CTS}, {MS_DSR_ON, EV_DSR}, {MS_RING_ON, EV_RING}, {MS_RLSD_ON, EV_RLSD}};

LONGLONG CounterNow() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

DWORD EventsOfChange(DWORD before, DWORD after) {
  DWORD events = 0;
  for (const LineEvent& line : lineEvents) {
    if ((before ^ after) & line.statusBit) events |= line.event;
  }
  return events;
}

}  // namespace

SimulatedSerialPort* SimulatedSerialPort::current = nullptr;

SimulatedSerialPort::SimulatedSerialPort() {
  current = this;
  portApi = {CreateFile,          SetCommMask,        WaitCommEvent,
             GetOverlappedResult, GetCommModemStatus, EscapeCommFunction,
             CancelIoEx,          CloseHandle,        MessageBox,
             Sleep,               QueryPerformanceCounter,
             WaitForSingleObject};
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  counterFrequency = frequency.QuadPart;
}

SimulatedSerialPort::~SimulatedSerialPort() {
  portApi = realPortApi;
  current = nullptr;
}

HANDLE SimulatedSerialPort::Handle() { return reinterpret_cast<HANDLE>(0x5e1a1); }

void SimulatedSerialPort::SetModemStatus(DWORD status) {
  std::lock_guard<std::mutex> hold(mutex);
  ChangeModemStatus(status);
}

void SimulatedSerialPort::ChangeModemStatus(DWORD status) {
  const DWORD events = EventsOfChange(modemStatus, status) & commMask;
  modemStatus = status;
  if (events == 0) return;
  if (outstanding != nullptr) {
    CompleteWait(events, kStatusSuccess);
  } else {
    rememberedEvents |= events;
  }
}

void SimulatedSerialPort::FailCalls(PortCall call, DWORD error) {
  std::lock_guard<std::mutex> hold(mutex);
  failures[static_cast<int>(call)] = error;
}

void SimulatedSerialPort::FailAcceptedWaits(int count) {
  std::lock_guard<std::mutex> hold(mutex);
  acceptedWaitsToFail = count;
}

void SimulatedSerialPort::RaceNextStop(StopRace at) {
  std::lock_guard<std::mutex> hold(mutex);
  race = at;
  stopAsked = false;
}

void SimulatedSerialPort::IgnoreCancellation(bool ignore) {
  std::lock_guard<std::mutex> hold(mutex);
  ignoresCancellation = ignore;
  if (!ignore && cancellationIgnored && outstanding != nullptr) CompleteWait(0, kStatusCancelled);
  cancellationIgnored = false;
}

bool SimulatedSerialPort::WaitUntilHeld() const {
  std::unique_lock<std::mutex> hold(mutex);
  return changed.wait_for(hold, kPatience, [&] { return held; });
}

void SimulatedSerialPort::PlayLineChanges(const std::vector<LineChange>& changes) {
  std::lock_guard<std::mutex> hold(mutex);
  simulatedTime = true;
  toPlay.assign(changes.begin(), changes.end());
}

bool SimulatedSerialPort::WaitUntilPlayed() const {
  std::unique_lock<std::mutex> hold(mutex);
  return changed.wait_for(hold, kPatience, [&] { return toPlay.empty() && waitingForReal; });
}

LONGLONG SimulatedSerialPort::ClockMs() const {
  std::lock_guard<std::mutex> hold(mutex);
  return clockMs;
}

LONGLONG SimulatedSerialPort::CompletedAt() const {
  std::lock_guard<std::mutex> hold(mutex);
  return completedAt;
}

LONGLONG SimulatedSerialPort::WaiterWokeAt() const { return waiterWokeAt.load(); }

int SimulatedSerialPort::Calls(PortCall call) const {
  std::lock_guard<std::mutex> hold(mutex);
  return calls[static_cast<int>(call)];
}

bool SimulatedSerialPort::WaitForCalls(PortCall call, int count) const {
  std::unique_lock<std::mutex> hold(mutex);
  return changed.wait_for(hold, kPatience, [&] { return calls[static_cast<int>(call)] >= count; });
}

OpenedWith SimulatedSerialPort::Opened() const {
  std::lock_guard<std::mutex> hold(mutex);
  return opened;
}
DWORD SimulatedSerialPort::CommMask() const {
  std::lock_guard<std::mutex> hold(mutex);
  return commMask;
}
OutputLines SimulatedSerialPort::Outputs() const {
  std::lock_guard<std::mutex> hold(mutex);
  return outputs;
}
std::vector<MessageBoxShown> SimulatedSerialPort::Boxes() const {
  std::lock_guard<std::mutex> hold(mutex);
  return boxes;
}

bool SimulatedSerialPort::Enter(PortCall call) {
  ++calls[static_cast<int>(call)];
  changed.notify_all();
  const DWORD error = failures[static_cast<int>(call)];
  if (error != 0) SetLastError(error);
  return error != 0;
}

void SimulatedSerialPort::CompleteWait(DWORD events, LONG status) {
  *outstandingEvents = events;
  outstanding->InternalHigh = 0;
  outstanding->Internal = static_cast<ULONG_PTR>(status);
  completedAt = CounterNow();
  SetEvent(outstanding->hEvent);
  outstanding = nullptr;
  outstandingEvents = nullptr;
}

DWORD SimulatedSerialPort::AwaitEvent(HANDLE event, DWORD milliseconds) {
  {
    std::lock_guard<std::mutex> hold(mutex);
    if (simulatedTime) {
      const auto isSet = [&] { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; };
      const LONGLONG deadline = milliseconds == INFINITE ? LLONG_MAX : clockMs + milliseconds;
      while (!isSet() && !toPlay.empty() && toPlay.front().atMs <= deadline) {
        clockMs = std::max(clockMs, toPlay.front().atMs);
        ChangeModemStatus(toPlay.front().status);
        toPlay.pop_front();
      }
      if (isSet()) return WAIT_OBJECT_0;
      if (milliseconds != INFINITE) {
        clockMs = deadline;
        return WAIT_TIMEOUT;
      }
      waitingForReal = true;
      changed.notify_all();
    }
  }
  const DWORD outcome = ::WaitForSingleObject(event, milliseconds);
  std::lock_guard<std::mutex> hold(mutex);
  waitingForReal = false;
  return outcome;
}

void SimulatedSerialPort::HoldUntilStopAsked(StopRace at) {
  {
    std::unique_lock<std::mutex> hold(mutex);
    if (race != at) return;
    race = StopRace::None;
    held = true;
    changed.notify_all();
    changed.wait_for(hold, kPatience, [&] { return stopAsked; });
  }
  ::Sleep(20);  // lets whatever the stopping thread does next happen first
}

HANDLE WINAPI SimulatedSerialPort::CreateFile(LPCSTR name, DWORD access, DWORD share,
                                               LPSECURITY_ATTRIBUTES, DWORD disposition,
                                               DWORD flags, HANDLE) {
  SimulatedSerialPort& port = *current;
  std::lock_guard<std::mutex> hold(port.mutex);
  port.opened = {name, access, share, disposition, flags};
  if (port.Enter(PortCall::CreateFile)) return INVALID_HANDLE_VALUE;
  port.open = true;
  return Handle();
}

BOOL WINAPI SimulatedSerialPort::SetCommMask(HANDLE, DWORD mask) {
  SimulatedSerialPort& port = *current;
  std::lock_guard<std::mutex> hold(port.mutex);
  if (port.Enter(PortCall::SetCommMask)) return FALSE;
  port.commMask = mask;
  port.rememberedEvents = 0;
  return TRUE;
}

BOOL WINAPI SimulatedSerialPort::WaitCommEvent(HANDLE, LPDWORD events, LPOVERLAPPED overlapped) {
  SimulatedSerialPort& port = *current;
  port.HoldUntilStopAsked(StopRace::BeforeWaitStarts);
  // Counted together with the start, so that a test that has seen the call
  // finds the wait outstanding.
  std::lock_guard<std::mutex> hold(port.mutex);
  if (port.Enter(PortCall::WaitCommEvent)) return FALSE;
  port.outstanding = overlapped;
  port.outstandingEvents = events;
  if (port.rememberedEvents != 0) {
    port.CompleteWait(port.rememberedEvents, kStatusSuccess);
    port.rememberedEvents = 0;
    return TRUE;
  }
  overlapped->Internal = STATUS_PENDING;
  ResetEvent(overlapped->hEvent);
  if (port.acceptedWaitsToFail > 0) {
    --port.acceptedWaitsToFail;
    port.CompleteWait(0, kStatusFailed);
  }
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

// Like the real one when told to wait: finds the operation outstanding, then
// waits for its event, then reads its outcome.
BOOL WINAPI SimulatedSerialPort::GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped,
                                                      LPDWORD transferred, BOOL) {
  SimulatedSerialPort& port = *current;
  DWORD injected;
  bool pending;
  {
    std::lock_guard<std::mutex> hold(port.mutex);
    port.Enter(PortCall::GetOverlappedResult);
    injected = port.failures[static_cast<int>(PortCall::GetOverlappedResult)];
    pending = overlapped->Internal == STATUS_PENDING;
  }
  if (pending) {
    port.HoldUntilStopAsked(StopRace::BeforeWaitCompletion);
    port.AwaitEvent(overlapped->hEvent, INFINITE);
  }
  std::lock_guard<std::mutex> hold(port.mutex);
  if (pending) port.waiterWokeAt = CounterNow();
  const LONG status = static_cast<LONG>(overlapped->Internal);
  *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  if (injected != 0 || status != kStatusSuccess) {
    SetLastError(injected != 0 ? injected : ERROR_OPERATION_ABORTED);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI SimulatedSerialPort::GetCommModemStatus(HANDLE, LPDWORD status) {
  SimulatedSerialPort& port = *current;
  std::lock_guard<std::mutex> hold(port.mutex);
  if (port.Enter(PortCall::GetCommModemStatus)) return FALSE;
  *status = port.modemStatus;
  return TRUE;
}

// Only an open port has output lines to change.
BOOL WINAPI SimulatedSerialPort::EscapeCommFunction(HANDLE, DWORD function) {
  SimulatedSerialPort& port = *current;
  std::lock_guard<std::mutex> hold(port.mutex);
  if (port.Enter(PortCall::EscapeCommFunction)) return FALSE;
  if (!port.open) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (function == SETDTR || function == CLRDTR) port.outputs.dtr = function == SETDTR;
  if (function == SETRTS || function == CLRRTS) port.outputs.rts = function == SETRTS;
  return TRUE;
}

BOOL WINAPI SimulatedSerialPort::CancelIoEx(HANDLE, LPOVERLAPPED overlapped) {
  SimulatedSerialPort& port = *current;
  std::lock_guard<std::mutex> hold(port.mutex);
  port.stopAsked = true;
  if (port.Enter(PortCall::CancelIoEx)) return FALSE;
  if (port.outstanding == nullptr || (overlapped != nullptr && overlapped != port.outstanding)) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  if (port.ignoresCancellation) {
    port.cancellationIgnored = true;
    return TRUE;
  }
  port.CompleteWait(0, kStatusCancelled);
  return TRUE;
}

BOOL WINAPI SimulatedSerialPort::CloseHandle(HANDLE) {
  SimulatedSerialPort& port = *current;
  std::lock_guard<std::mutex> hold(port.mutex);
  if (port.Enter(PortCall::CloseHandle)) return FALSE;
  port.open = false;
  return TRUE;
}

int WINAPI SimulatedSerialPort::MessageBox(HWND owner, LPCSTR text, LPCSTR title, UINT style) {
  SimulatedSerialPort& port = *current;
  MessageBoxShown box{owner, text, title, style, DebugLogLines()};
  std::lock_guard<std::mutex> hold(port.mutex);
  port.boxes.push_back(box);
  return IDOK;
}

VOID WINAPI SimulatedSerialPort::Sleep(DWORD milliseconds) {
  SimulatedSerialPort& port = *current;
  if (port.beforeSleep) port.beforeSleep();
  {
    std::lock_guard<std::mutex> hold(port.mutex);
    port.Enter(PortCall::Sleep);
    if (port.simulatedTime) port.clockMs += milliseconds;
  }
  ::Sleep(milliseconds);
}

BOOL WINAPI SimulatedSerialPort::QueryPerformanceCounter(LARGE_INTEGER* counter) {
  SimulatedSerialPort& port = *current;
  {
    std::lock_guard<std::mutex> hold(port.mutex);
    if (port.simulatedTime) {
      counter->QuadPart = port.clockMs * port.counterFrequency / 1000;
      return TRUE;
    }
  }
  return ::QueryPerformanceCounter(counter);
}

DWORD WINAPI SimulatedSerialPort::WaitForSingleObject(HANDLE event, DWORD milliseconds) {
  SimulatedSerialPort& port = *current;
  {
    std::lock_guard<std::mutex> hold(port.mutex);
    if (port.Enter(PortCall::WaitForSingleObject)) return WAIT_FAILED;
  }
  return port.AwaitEvent(event, milliseconds);
}

std::vector<std::string> DebugLogLines() {
  std::vector<std::string> lines;
  std::ifstream log("VelkinDbg.Log");
  for (std::string line; std::getline(log, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}
