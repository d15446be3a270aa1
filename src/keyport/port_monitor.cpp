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
PaddleKeying paddleKeying = {PaddleDown, PaddleUp};

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

// A paddle's line in the keyer modes. Each line has its own debounce: after
// an edge the line is quiet for the debounce delay, its changes unreported,
// while the other line's edges are reported as they come. When the quiet
// time ends the line is read again, and a change it made meanwhile is
// reported then, as the straight key's pause lets its line be read afresh.
struct PaddleLine {
  Paddle paddle;
  uint32_t statusBit;
  bool closed;
  bool quiet;
  int64_t quietUntil;  // a counter value
};

struct PaddleLines {
  PaddleLine lines[2];
  int64_t quietCounts;  // the debounce delay in counts
  int64_t frequency;    // counts per second
};

int64_t CounterNow() {
  LARGE_INTEGER now;
  portApi.queryPerformanceCounter(&now);
  return now.QuadPart;
}

// A negative delay counts as its unsigned value, as in the straight key's
// pause. Split so that no product can overflow, whatever the counter's rate.
PaddleLines PaddleLinesOf(const KeyPort& port) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  const int64_t perSecond = frequency.QuadPart;
  const int64_t delay = static_cast<uint32_t>(settings.debounceDelay);
  PaddleLines paddles{};
  for (const Paddle paddle : {Paddle::Dit, Paddle::Dah}) {
    paddles.lines[static_cast<int>(paddle)] = {paddle, port.paddleBits[static_cast<int>(paddle)], false, false, 0};
  }
  paddles.quietCounts = delay / 1000 * perSecond + delay % 1000 * perSecond / 1000;
  paddles.frequency = perSecond;
  return paddles;
}

bool AnyQuiet(const PaddleLines& paddles) {
  return paddles.lines[0].quiet || paddles.lines[1].quiet;
}

// Whole milliseconds, rounded up, until the first quiet time ends; at least
// one line is quiet.
DWORD MillisecondsToQuietEnd(const PaddleLines& paddles) {
  int64_t first = INT64_MAX;
  for (const PaddleLine& line : paddles.lines) {
    if (line.quiet && line.quietUntil < first) first = line.quietUntil;
  }
  const int64_t left = first - CounterNow();
  if (left <= 0) return 0;
  const int64_t f = paddles.frequency;
  const int64_t milliseconds = left / f * 1000 + (left % f * 1000 + f - 1) / f;
  return milliseconds < INFINITE ? static_cast<DWORD>(milliseconds) : INFINITE - 1;
}

// Ends the quiet times that have run out, then reports each line that is
// not quiet and differs from its paddle, and starts that line's quiet time.
void ReportPaddles(PaddleLines& paddles) {
  const int64_t now = CounterNow();
  for (PaddleLine& line : paddles.lines) {
    if (line.quiet && now >= line.quietUntil) line.quiet = false;
  }
  if (paddles.lines[0].quiet && paddles.lines[1].quiet) return;
  const uint32_t status = ReadKeyLines();
  for (PaddleLine& line : paddles.lines) {
    const bool closed = (status & line.statusBit) != 0;
    if (line.quiet || closed == line.closed) continue;
    line.closed = closed;
    (closed ? paddleKeying.down : paddleKeying.up)(line.paddle, PaddleSource::Line);
    line.quiet = paddles.quietCounts > 0;
    line.quietUntil = now + paddles.quietCounts;
  }
}

// Waits for a change of the watched lines. The event word is not examined:
// the lines are read afresh after every wait. In the keyer modes (`paddles`
// set) a quiet time that ends while the wait is outstanding has its line read
// then, without waiting for the next change.
WaitOutcome ReadPort(KeyPort& port, PaddleLines* paddles) {
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
  // Anything but a time-out (the completion, a stop's cancellation, a failed
  // wait) is left to the result below.
  while (paddles != nullptr && AnyQuiet(*paddles) &&
         portApi.waitForSingleObject(overlapped.hEvent, MillisecondsToQuietEnd(*paddles)) == WAIT_TIMEOUT) {
    ReportPaddles(*paddles);
  }
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

// The passes of the monitor, each a wait, a key event and the pause (in the
// keyer modes, a wait and the paddles' edges); returns when the monitor is no
// longer wanted or the port fails, true when the line's last event was a
// key-down, whose key-up is then still owed. A failed wait is started again
// at once, until too many fail in a row.
bool MonitorPasses(PaddleLines* paddles) {
  int failedWaits = 0;
  bool lineHoldsKey = false;
  do {
    KeyPort* port = keyPort;
    if (port == nullptr) break;
    const WaitOutcome outcome = ReadPort(*port, paddles);
    if (outcome == WaitOutcome::LineChanged) {
      failedWaits = 0;
      if (paddles != nullptr) {
        ReportPaddles(*paddles);
        continue;
      }
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
  // So is each paddle a line holds.
  const KeyPort* port = keyPort;
  if (monitorRunning.load(std::memory_order_relaxed) && port != nullptr) {
    if (port->paddleBits[static_cast<int>(Paddle::Dah)] != 0) {
      PaddleLines paddles = PaddleLinesOf(*port);
      MonitorPasses(&paddles);
      for (const PaddleLine& line : paddles.lines) {
        if (line.closed) paddleKeying.up(line.paddle, PaddleSource::Line);
      }
    } else if (MonitorPasses(nullptr)) {
      KeyUp();
    }
  }
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
    appState.threadOutlived.store(true);
    return;
  }
  LowerKeySupply();
  FreeKeyPort();
}
