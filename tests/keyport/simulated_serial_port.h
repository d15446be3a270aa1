#pragma once
// A serial port without hardware, standing in the key port's system-call
// table for as long as it exists. It keeps a modem-status word that the test
// sets, completes the outstanding comm-event wait when a watched line
// changes (and remembers a change made while no wait is outstanding, as a
// real port does), keeps the output lines that an open port's calls set,
// supports cancellation (or ignores it), and can be told to fail any call.
// Message boxes are recorded instead of shown. The clock and the timed waits
// are the real ones until a test plays line changes in its own time.

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

enum class PortCall {
  CreateFile,
  SetCommMask,
  WaitCommEvent,
  GetOverlappedResult,
  GetCommModemStatus,
  EscapeCommFunction,
  CancelIoEx,
  CloseHandle,
  Sleep,
  WaitForSingleObject,
  Count
};

// Where the monitor thread can be held until a stop has been asked for, to
// make the stop land at the worst moment.
enum class StopRace {
  None,
  BeforeWaitStarts,      // a comm-event wait is about to start
  BeforeWaitCompletion,  // the wait was found outstanding, its completion not yet awaited
};

struct MessageBoxShown {
  HWND owner;
  std::string text;
  std::string title;
  UINT style;
  std::vector<std::string> logAtTheTime;  // the debug log while the box was up
};

// The output lines, as the port's calls have left them.
struct OutputLines {
  bool dtr = false;
  bool rts = false;
};

// A change of the modem-status word at a time of the simulated clock.
struct LineChange {
  LONGLONG atMs;
  DWORD status;
};

struct OpenedWith {
  std::string name;
  DWORD access = 0;
  DWORD share = 0;
  DWORD disposition = 0;
  DWORD flags = 0;
};

class SimulatedSerialPort {
 public:
  SimulatedSerialPort();
  ~SimulatedSerialPort();
  SimulatedSerialPort(const SimulatedSerialPort&) = delete;
  SimulatedSerialPort& operator=(const SimulatedSerialPort&) = delete;

  static HANDLE Handle();

  void SetModemStatus(DWORD status);
  // Every later `call` fails with `error`; an error of 0 lets them succeed again.
  void FailCalls(PortCall call, DWORD error);
  // The next `count` waits are accepted and at once complete with a failure,
  // as a removed device's driver may do.
  void FailAcceptedWaits(int count);
  void RaceNextStop(StopRace race);
  // While set, a cancellation leaves the outstanding wait outstanding, as a
  // driver that ignores it would; clearing it then ends that wait as
  // cancelled.
  void IgnoreCancellation(bool ignore);
  // Blocks until the monitor is held for the race; false after 10 s.
  bool WaitUntilHeld() const;

  // From now on the port's clock is simulated, in milliseconds from 0, and
  // runs only in the waits the port is asked for: each wait (a timed one, or
  // one for the comm event's completion) runs it on to the next of `changes`
  // and makes that change, until the wait's event is set or its time-out
  // comes, without waiting for real. A sleep runs it on by its length. A
  // wait with no time-out and nothing left to play waits for real.
  void PlayLineChanges(const std::vector<LineChange>& changes);
  // Blocks until every change has been made and the monitor waits with
  // nothing left to time; false after 10 s.
  bool WaitUntilPlayed() const;
  LONGLONG ClockMs() const;

  // Performance-counter values: when the device last completed a wait (the
  // moment the line's change reached the port), and when the thread waiting
  // for a completion last came back from that wait and the device's lock
  // after it: the scheduler's part, and the device's, of a reaction.
  LONGLONG CompletedAt() const;
  LONGLONG WaiterWokeAt() const;

  int Calls(PortCall call) const;
  // Blocks until `call` has been made `count` times; false after 10 s.
  bool WaitForCalls(PortCall call, int count) const;

  OpenedWith Opened() const;  // the arguments of the last open
  DWORD CommMask() const;
  OutputLines Outputs() const;
  std::vector<MessageBoxShown> Boxes() const;

  // Runs on the sleeping thread before each sleep.
  std::function<void()> beforeSleep;

 private:
  static HANDLE WINAPI CreateFile(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  static BOOL WINAPI SetCommMask(HANDLE, DWORD);
  static BOOL WINAPI WaitCommEvent(HANDLE, LPDWORD, LPOVERLAPPED);
  static BOOL WINAPI GetOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
  static BOOL WINAPI GetCommModemStatus(HANDLE, LPDWORD);
  static BOOL WINAPI EscapeCommFunction(HANDLE, DWORD);
  static BOOL WINAPI CancelIoEx(HANDLE, LPOVERLAPPED);
  static BOOL WINAPI CloseHandle(HANDLE);
  static int WINAPI MessageBox(HWND, LPCSTR, LPCSTR, UINT);
  static VOID WINAPI Sleep(DWORD);
  static BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER*);
  static DWORD WINAPI WaitForSingleObject(HANDLE, DWORD);

  // Counts the call and tells whether it is to fail (setting the last error).
  bool Enter(PortCall call);
  void CompleteWait(DWORD events, LONG status);
  void ChangeModemStatus(DWORD status);
  // A wait for `event`, which the port's own change may set: in simulated
  // time, as PlayLineChanges describes; otherwise real.
  DWORD AwaitEvent(HANDLE event, DWORD milliseconds);
  void HoldUntilStopAsked(StopRace at);

  static SimulatedSerialPort* current;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  int calls[static_cast<int>(PortCall::Count)] = {};
  DWORD failures[static_cast<int>(PortCall::Count)] = {};
  DWORD modemStatus = 0;
  DWORD commMask = 0;
  DWORD rememberedEvents = 0;
  int acceptedWaitsToFail = 0;
  LONGLONG completedAt = 0;
  std::atomic<LONGLONG> waiterWokeAt{0};
  bool open = false;
  OutputLines outputs;
  LPOVERLAPPED outstanding = nullptr;
  LPDWORD outstandingEvents = nullptr;
  StopRace race = StopRace::None;
  bool held = false;
  bool stopAsked = false;
  bool ignoresCancellation = false;
  bool cancellationIgnored = false;
  OpenedWith opened;
  std::vector<MessageBoxShown> boxes;
  bool simulatedTime = false;
  LONGLONG clockMs = 0;
  LONGLONG counterFrequency = 0;
  std::deque<LineChange> toPlay;
  bool waitingForReal = false;  // in simulated time, with nothing left to play
};

// The lines of the debug log in the working directory, line ends removed.
std::vector<std::string> DebugLogLines();
