#include "keyport/port_monitor.h"

#include <cstdint>

#include "app/app_state.h"
#include "app/settings.h"
#include "keyport/key_port.h"
#include "keyport/port_api.h"
#include "log/debug_log.h"
#include "tone/keying.h"

std::atomic<bool> monitorRunning{false};
HANDLE monitorThread = nullptr;

namespace {

constexpr int kMaxStopWaits = 250;

// A working port fails a wait now and then, singly; a device that is gone (a
// USB-serial adapter pulled out) can accept every wait and fail it at once,
// and at time-critical priority restarting them would be a busy loop. Ten
// failures in a row with no completed wait between them are taken as the
// port failing: far more than a glitch gives, and few enough that a dead
// device ends the monitor, and releases its key, within about a millisecond.
constexpr int kMaxFailedWaits = 10;

enum class WaitOutcome { LineChanged, WaitFailed, PortFailed };

// Waits for a change of the watched line. The event word is not examined:
// the line is read afresh after every wait.
WaitOutcome ReadPort(KeyPort& port) {
  OVERLAPPED& overlapped = port.overlapped;
  overlapped.Internal = 0;
  overlapped.InternalHigh = 0;
  overlapped.Offset = 0;
  overlapped.OffsetHigh = 0;
  DWORD events = 0;  // written by the wait; lives until the wait has completed
  if (portApi.waitCommEvent(port.portHandle, &events, &overlapped)) return WaitOutcome::LineChanged;
  if (GetLastError() != ERROR_IO_PENDING) return WaitOutcome::PortFailed;
  // A stop that came between the run-flag test and the start of this wait
  // found nothing to cancel: end the wait here instead of sleeping in it.
  // The stop clears the flag before it cancels, and this test follows the
  // start of the wait, both in sequential order: either the stop's
  // cancellation finds the wait, or this test finds the flag cleared.
  if (!monitorRunning.load()) portApi.cancelIoEx(port.portHandle, &overlapped);
  DWORD transferred = 0;
  return portApi.getOverlappedResult(port.portHandle, &overlapped, &transferred, TRUE)
             ? WaitOutcome::LineChanged
             : WaitOutcome::WaitFailed;
}

// The debounce pause, as 1 ms sleeps so that a stop is seen within one of
// them. A negative delay counts as its unsigned value. False when a stop cut
// it short.
bool DebouncePause() {
  for (uint32_t left = static_cast<uint32_t>(settings.debounceDelay); left > 0; --left) {
    if (!monitorRunning.load(std::memory_order_relaxed)) return false;
    portApi.sleep(1);
  }
  return true;
}

// True when the line now holds the key down.
bool KeyFromLine() {
  const bool down = ReadKeyLine();
  if (down) {
    KeyDown();
  } else {
    KeyUp();
  }
  return down;
}

// The passes of the monitor, each a wait, a key event and the pause; returns
// when the monitor is no longer wanted or the port fails, true when the
// line's last event was a key-down, whose key-up is then still owed. A failed
// wait is started again at once, until too many fail in a row.
bool MonitorPasses() {
  int failedWaits = 0;
  bool lineHoldsKey = false;
  do {
    KeyPort* port = keyPort;
    if (port == nullptr) break;
    const WaitOutcome outcome = ReadPort(*port);
    if (outcome == WaitOutcome::LineChanged) {
      failedWaits = 0;
      lineHoldsKey = KeyFromLine();
      if (!DebouncePause()) break;
    } else if (outcome == WaitOutcome::PortFailed || ++failedWaits == kMaxFailedWaits) {
      LogLine("Failed: ReadPort!");
      break;
    }
  } while (monitorRunning.load(std::memory_order_relaxed));
  return lineHoldsKey;
}

}  // namespace

void StartPortMonitor() {
  monitorRunning.store(true);
  monitorThread = CreateThread(nullptr, 0, PortMonitorThread, nullptr, 0, nullptr);
  if (monitorThread == nullptr) {
    LogLine("Failed creating port monitor thread");
    monitorRunning.store(false);
    return;
  }
  SetThreadPriority(monitorThread, THREAD_PRIORITY_TIME_CRITICAL);
  LogLine("Started port monitor thread");
}

DWORD WINAPI PortMonitorThread(LPVOID) {
  // However the watching ended (a stop, a failing port), the key the line
  // holds down is released here, once: keying only posts the lamp to the
  // window, so this thread waits for no other, the stopping one included.
  if (monitorRunning.load(std::memory_order_relaxed) && MonitorPasses()) KeyUp();
  LogLine("Exiting port monitor thread!");
  return 0;
}

bool StopPortMonitor() {
  if (monitorThread == nullptr) return true;
  portApi.sleep(1);
  DWORD outcome = WAIT_TIMEOUT;
  int waits = 0;
  do {
    outcome = WaitForSingleObject(monitorThread, 1);
    ++waits;
  } while (outcome == WAIT_TIMEOUT && waits < kMaxStopWaits);
  // The operators' and tests' long-standing wording for this wait.
  LogInt("Time waiting for thread to release mutex", waits);
  if (outcome != WAIT_OBJECT_0) return false;
  CloseHandle(monitorThread);
  monitorThread = nullptr;
  return true;
}

void CloseKeyPort() {
  KeyPort* port = keyPort;
  if (port == nullptr) return;
  monitorRunning.store(false);
  // A record in place always holds an open port (a failed setup frees it).
  // Ends the thread's outstanding wait. The wait event is left alone: a reset
  // here could swallow the completion the thread is about to wait for.
  portApi.cancelIoEx(port->portHandle, nullptr);
  const bool ended = StopPortMonitor();
  // The record goes only once the thread has ended and no wait on it is
  // outstanding; otherwise it, the port and the generator the thread keys
  // stay for the rest of the process.
  if (!ended || !HasOverlappedIoCompleted(&port->overlapped)) {
    appState.monitorOutlived.store(true);
    return;
  }
  LowerKeySupply();
  FreeKeyPort();
}
