// The port monitor under Wine with the simulated serial device: how soon a
// line change becomes a key-down or key-up stamp, how soon in the keyer
// modes a dah line change inside the dit line's quiet time becomes the dah
// paddle's edge, how long shutdown waits
// for the monitor when it is idle, busy keying, or stuck in a wait that
// ignores the cancellation, and
// how soon a device that fails every wait has its key released.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/settings.h"
#include "figures.h"
#include "keyport/key_port.h"
#include "keyport/port_monitor.h"
#include "simulated_serial_port.h"
#include "tone/keying.h"
#include "tone/performance_counter.h"

namespace {

constexpr int kLineChanges = 1000;

double Milliseconds(int64_t counts) {
  return 1000.0 * static_cast<double>(counts) / static_cast<double>(ReadPerformanceFrequency());
}

void PrintSpread(const char* what, const std::vector<double>& values, const char* target) {
  const Spread spread = SpreadOf(values);
  std::printf("%-58s median %7.3f ms, p99 %7.3f ms, worst %7.3f ms  (%s)\n", what, spread.median,
              spread.p99, spread.worst, target);
}

// Toggles the line kLineChanges times and measures, for each change, the
// time until the key stamp it causes. With `rearmed`, each change waits until
// the monitor waits again; otherwise it follows the last stamp at once, so it
// falls into the debounce pause.
std::vector<double> LineToStamp(SimulatedSerialPort& port, int32_t debounce, bool rearmed) {
  settings.debounceDelay = debounce;
  const int waitsBefore = port.Calls(PortCall::WaitCommEvent);
  SetupKeyPort();
  port.WaitForCalls(PortCall::WaitCommEvent, waitsBefore + 1);
  std::vector<double> latencies;
  for (int i = 0; i < kLineChanges; ++i) {
    const bool press = i % 2 == 0;
    if (rearmed) port.WaitForCalls(PortCall::WaitCommEvent, waitsBefore + i + 1);
    const int64_t changed = ReadPerformanceCounter();
    port.SetModemStatus(press ? MS_DSR_ON : 0);
    // The stamp is the monitor's; this thread only needs to see it taken.
    while (appState.keyed.load(std::memory_order_acquire) != press) SwitchToThread();
    const int64_t stamp = press ? appState.keyDownStamp.load() : appState.keyUpStamp.load();
    latencies.push_back(Milliseconds(stamp - changed));
  }
  CloseKeyPort();
  return latencies;
}

// The keyer modes' paddle edges are noted here, where the keying would
// stamp them.
std::atomic<int64_t> dahEdgeAt{0};
std::atomic<int> dahEdges{0};

void NoteDahEdge(Paddle paddle, PaddleSource) {
  if (paddle != Paddle::Dah) return;
  dahEdgeAt = ReadPerformanceCounter();
  ++dahEdges;
}

// Each dit line edge is followed at once, inside that line's quiet time, by
// a dah line edge, whose paddle edge is timed; then both quiet times run out.
std::vector<double> DahInsideTheDitsQuietTime(SimulatedSerialPort& port, int32_t debounce, int changes) {
  settings.keyer = KeyerMode::IambicA;
  settings.debounceDelay = debounce;
  const PaddleKeying keying = paddleKeying;
  paddleKeying = {NoteDahEdge, NoteDahEdge};
  int waits = port.Calls(PortCall::WaitCommEvent);
  SetupKeyPort();
  port.WaitForCalls(PortCall::WaitCommEvent, ++waits);
  std::vector<double> latencies;
  DWORD status = 0;
  for (int i = 0; i < changes; ++i) {
    status ^= MS_DSR_ON;
    port.SetModemStatus(status);
    port.WaitForCalls(PortCall::WaitCommEvent, ++waits);  // the dit's edge is out, its quiet time runs
    const int edgesBefore = dahEdges;
    status ^= MS_CTS_ON;
    const int64_t changed = ReadPerformanceCounter();
    port.SetModemStatus(status);
    while (dahEdges == edgesBefore) SwitchToThread();
    latencies.push_back(Milliseconds(dahEdgeAt - changed));
    port.WaitForCalls(PortCall::WaitCommEvent, ++waits);
    Sleep(static_cast<DWORD>(debounce) + 1);
  }
  CloseKeyPort();
  paddleKeying = keying;
  settings.keyer = KeyerMode::Straight;
  return latencies;
}

double TimedClose() {
  const int64_t start = ReadPerformanceCounter();
  CloseKeyPort();
  return Milliseconds(ReadPerformanceCounter() - start);
}

std::vector<double> ShutdownIdle(SimulatedSerialPort& port, int runs) {
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    const int waitsBefore = port.Calls(PortCall::WaitCommEvent);
    SetupKeyPort();
    port.WaitForCalls(PortCall::WaitCommEvent, waitsBefore + 1);
    times.push_back(TimedClose());
  }
  return times;
}

// Another thread keys the line as fast as it can while shutdown runs.
std::vector<double> ShutdownBusy(SimulatedSerialPort& port, int runs) {
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    SetupKeyPort();
    std::atomic<bool> keying{true};
    std::thread keyer([&] {
      for (DWORD status = MS_DSR_ON; keying; status ^= MS_DSR_ON) port.SetModemStatus(status);
    });
    Sleep(5);
    times.push_back(TimedClose());
    keying = false;
    keyer.join();
    port.SetModemStatus(0);
    KeyUp();
  }
  return times;
}

// The real length of one 1 ms sleep and 250 timed-out 1 ms waits on the
// handle of a thread that goes on running: the most that shutdown may wait
// for the monitor.
double WaitBound() {
  const HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const HANDLE thread = CreateThread(
      nullptr, 0, [](LPVOID event) -> DWORD { return WaitForSingleObject(event, INFINITE); }, release, 0,
      nullptr);
  const int64_t start = ReadPerformanceCounter();
  Sleep(1);
  for (int i = 0; i < 250; ++i) WaitForSingleObject(thread, 1);
  const double bound = Milliseconds(ReadPerformanceCounter() - start);
  SetEvent(release);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(release);
  return bound;
}

// The device ignores the cancellation, so the monitor stays in its wait.
// Each shutdown is given as a share of the bound measured just before it.
std::vector<double> ShutdownStuckShareOfBound(SimulatedSerialPort& port, int runs) {
  std::vector<double> shares;
  for (int run = 0; run < runs; ++run) {
    const int waitsBefore = port.Calls(PortCall::WaitCommEvent);
    SetupKeyPort();
    port.WaitForCalls(PortCall::WaitCommEvent, waitsBefore + 1);
    port.IgnoreCancellation(true);
    const double bound = WaitBound();
    shares.push_back(TimedClose() / bound);
    const HANDLE thread = monitorThread;
    port.IgnoreCancellation(false);
    WaitForSingleObject(thread, INFINITE);
    CloseKeyPort();  // the thread has ended: frees what it kept
    appState.threadOutlived = false;
  }
  return shares;
}

// A device that fails every wait it accepts, from the key-down of the last
// completed wait to the key-up the monitor gives as it ends. Also returns
// how many waits a run made after its key-down.
std::vector<double> FailingDeviceKeyUp(SimulatedSerialPort& port, int runs, int& failedWaits) {
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    const int waitsBefore = port.Calls(PortCall::WaitCommEvent);
    SetupKeyPort();
    port.WaitForCalls(PortCall::WaitCommEvent, waitsBefore + 1);
    port.FailAcceptedWaits(1 << 30);
    port.SetModemStatus(MS_DSR_ON);
    WaitForSingleObject(monitorThread, INFINITE);
    times.push_back(Milliseconds(appState.keyUpStamp.load() - appState.keyDownStamp.load()));
    failedWaits = port.Calls(PortCall::WaitCommEvent) - waitsBefore - 1;
    CloseKeyPort();
    port.FailAcceptedWaits(0);
    port.SetModemStatus(0);
  }
  return times;
}

}  // namespace

int main() {
  SimulatedSerialPort port;
  std::printf("Port monitor, simulated serial device, %d line changes per row\n", kLineChanges);
  PrintSpread("line change to stamp, debounce 0, monitor waiting", LineToStamp(port, 0, true),
              "target: worst < 1 ms");
  PrintSpread("line change to stamp, debounce 5, monitor waiting", LineToStamp(port, 5, true),
              "target: worst < 1 ms");
  PrintSpread("line change to stamp, debounce 5, change inside the pause",
              LineToStamp(port, 5, false), "target: worst < 6 ms");
  PrintSpread("dah paddle edge, debounce 5, in the dit's quiet time (500)",
              DahInsideTheDitsQuietTime(port, 5, 500), "target: worst < 1 ms");
  settings.debounceDelay = 0;

  const double bound = WaitBound();
  std::printf("one 1 ms sleep and 250 timed-out 1 ms waits: %.1f ms\n", bound);
  char target[64];
  std::snprintf(target, sizeof target, "target: never above %.1f ms", bound);
  PrintSpread("shutdown, monitor idle (100 runs)", ShutdownIdle(port, 100), target);
  PrintSpread("shutdown, monitor busy keying (100 runs)", ShutdownBusy(port, 100), target);
  const Spread stuck = SpreadOf(ShutdownStuckShareOfBound(port, 10));
  std::printf("shutdown, monitor stuck in a wait (10 runs), as a share of the bound measured\n"
              "  just before it: median %.3f, worst %.3f  (target: never above 1)\n",
              stuck.median, stuck.worst);
  int failedWaits = 0;
  const std::vector<double> failing = FailingDeviceKeyUp(port, 100, failedWaits);
  char what[96];
  std::snprintf(what, sizeof what, "failing device, key-down to the monitor's key-up (%d waits)", failedWaits);
  PrintSpread(what, failing, "100 runs");
  return 0;
}
