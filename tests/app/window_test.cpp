// The real main window, with the real key port and monitor thread over the
// simulated serial device. This thread owns the window, as the GUI thread
// does in the program.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "audio/audio_output.h"
#include "keyport/key_port.h"
#include "keyport/port_monitor.h"
#include "log/debug_log.h"
#include "scratch_directory.h"
#include "simulated_serial_port.h"

namespace {

constexpr COLORREF kLampGreen = RGB(0, 255, 0);
constexpr POINT kLampCentre{20, 227};
// 21 edges 10 ms apart keep the window thread busy for about 200 ms, and the
// last one leaves the key down.
constexpr int kEdges = 21;
constexpr DWORD kEdgeGapMs = 10;
constexpr double kPromptMs = 1.0;
// Far below the window thread's busy time, which a monitor held up by the
// window would add to an edge.
constexpr double kGenerousMs = 50.0;

double Milliseconds(LONGLONG counts) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(counts) / static_cast<double>(frequency.QuadPart);
}

// How late an edge's key stamp came after the device completed the
// monitor's wait, and how much of that passed before the monitor was back
// from the wait: the scheduler's part and the device's, not the monitor's.
struct EdgeTiming {
  double stampMs;
  double wakeMs;
};

bool KeyedWithin10s(bool keyed) {
  for (int slept = 0; appState.keyed.load() != keyed; ++slept) {
    if (slept == 10000) return false;
    Sleep(1);
  }
  return true;
}

void HandleWaitingMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings = Settings{};  // COM1, DSR, no debounce
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    ASSERT_TRUE(RegisterMainWindowClass(instance));
    window_ = CreateMainWindow(instance);
    ASSERT_NE(window_, nullptr);
    SetMainWindow(window_);
    UpdateWindow(window_);
    ASSERT_NE(keyPort, nullptr);
    ASSERT_TRUE(port_.WaitForCalls(PortCall::WaitCommEvent, 1));
  }

  // The program's shutdown, then the window goes.
  void TearDown() override {
    CloseKeyPort();
    CloseAudioOutput();
    CloseDebugLog();
    ReleaseDrawingObjects();
    SetMainWindow(nullptr);
    if (window_ != nullptr) DestroyWindow(window_);
    UnregisterClassA("Velkin", GetModuleHandleA(nullptr));
  }

  // Makes `kEdges` edges on the line, each once the monitor waits again, and
  // times each one's stamp. Stops early if the monitor does not key or come
  // back to its wait within 10 s.
  std::vector<EdgeTiming> KeyTheLine() {
    std::vector<EdgeTiming> timings;
    for (int edge = 0; edge < kEdges; ++edge) {
      Sleep(kEdgeGapMs);
      const bool press = edge % 2 == 0;
      port_.SetModemStatus(press ? MS_DSR_ON : 0);
      // Watched without the device's lock, which the monitor takes to read
      // the line: a keyer holding it would hold up the stamp itself.
      if (!KeyedWithin10s(press) || !port_.WaitForCalls(PortCall::WaitCommEvent, edge + 2)) break;
      const LONGLONG changed = port_.CompletedAt();
      const LONGLONG stamp = press ? appState.keyDownStamp.load() : appState.keyUpStamp.load();
      timings.push_back({Milliseconds(stamp - changed), Milliseconds(port_.WaiterWokeAt() - changed)});
    }
    return timings;
  }

  COLORREF LampColour() const {
    const HDC dc = GetDC(window_);
    const COLORREF colour = GetPixel(dc, kLampCentre.x, kLampCentre.y);
    ReleaseDC(window_, dc);
    return colour;
  }

  ScratchDirectory scratch_;  // for the debug log the window opens
  SimulatedSerialPort port_;
  HWND window_ = nullptr;
};

// Each edge is stamped within 1 ms of the line's change. One stamped later
// passes only when the machine made it so, and no later than the generous
// bound: under Wine a thread's priority is not the host's, so a wake now and
// then comes milliseconds late, and once in a thousand edges or so the host
// takes the processor from the monitor between its wake and its stamp. A
// late wake is the machine's; of the monitor's own part, from its wake to
// its stamp, one edge of the run may be late, which a slow keying path,
// late on every edge, cannot pass for.
TEST_F(WindowTest, ABusyWindowThreadHoldsUpNoSerialEdge) {
  const COLORREF picture = LampColour();
  ASSERT_NE(picture, kLampGreen);
  std::vector<EdgeTiming> timings;
  // This thread, which owns the window, handles no message until the keying
  // is done.
  std::thread keyer([&] { timings = KeyTheLine(); });
  keyer.join();

  ASSERT_EQ(static_cast<int>(timings.size()), kEdges) << "the monitor stopped waiting for the line";
  double worst = 0;
  std::string lateOwnParts;
  for (std::size_t edge = 0; edge < timings.size(); ++edge) {
    const EdgeTiming& timing = timings[edge];
    worst = std::max(worst, timing.stampMs);
    EXPECT_LE(timing.stampMs, kGenerousMs) << "edge " << edge;
    if (timing.stampMs > kPromptMs && timing.stampMs - timing.wakeMs > kPromptMs) {
      lateOwnParts += " edge " + std::to_string(edge) + ": " + std::to_string(timing.stampMs) + " ms, woke after " +
                      std::to_string(timing.wakeMs) + " ms;";
    }
  }
  EXPECT_LE(std::count(lateOwnParts.begin(), lateOwnParts.end(), ';'), 1) << lateOwnParts;
  std::fprintf(stderr, "line change to stamp with the window thread busy: worst %.3f ms\n", worst);

  // The lamp is left to the window, which shows the key as it is now.
  EXPECT_EQ(LampColour(), picture);
  HandleWaitingMessages();
  EXPECT_EQ(LampColour(), kLampGreen);
  port_.SetModemStatus(0);
  ASSERT_TRUE(port_.WaitForCalls(PortCall::WaitCommEvent, kEdges + 2));
  HandleWaitingMessages();
  EXPECT_EQ(LampColour(), picture);
}

}  // namespace
