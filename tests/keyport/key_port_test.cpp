// The key port and its monitor thread against a simulated serial device.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/settings.h"
#include "keyport/key_port.h"
#include "keyport/port_monitor.h"
#include "lamp_double.h"
#include "log/debug_log.h"
#include "scratch_directory.h"
#include "simulated_serial_port.h"
#include "tone/keying.h"

namespace {

const std::string kExitLine = "Exiting port monitor thread!";
const std::string kMutexWaitLabel = "Time waiting for thread to release mutex: ";

int IndexOf(const std::vector<std::string>& lines, const std::string& line) {
  const auto found = std::find(lines.begin(), lines.end(), line);
  return found == lines.end() ? -1 : static_cast<int>(found - lines.begin());
}

int CountOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// The index of the last mutex-wait line, or -1.
int LastMutexWaitLine(const std::vector<std::string>& lines) {
  for (int i = static_cast<int>(lines.size()) - 1; i >= 0; --i) {
    if (lines[i].rfind(kMutexWaitLabel, 0) == 0) return i;
  }
  return -1;
}

int LastMutexWaitCount(const std::vector<std::string>& lines) {
  const int line = LastMutexWaitLine(lines);
  return line < 0 ? -1 : std::atoi(lines[line].c_str() + kMutexWaitLabel.size());
}

// Polls `condition` every millisecond; false after 10 s.
bool WaitUntil(const std::function<bool()>& condition) {
  for (int i = 0; i < 10000; ++i) {
    if (condition()) return true;
    Sleep(1);
  }
  return condition();
}

bool WaitForLogLine(const std::string& line) {
  return WaitUntil([&] { return IndexOf(DebugLogLines(), line) >= 0; });
}

// After a stop: the thread has written its exit line before the stop wrote
// how long it waited, and the wait ended before the bound.
void ExpectMonitorEndedInTime() {
  const std::vector<std::string> log = DebugLogLines();
  const int exit = IndexOf(log, kExitLine);
  EXPECT_GE(exit, 0);
  EXPECT_LT(exit, LastMutexWaitLine(log));
  EXPECT_GE(LastMutexWaitCount(log), 1);
  EXPECT_LT(LastMutexWaitCount(log), 250);
  EXPECT_FALSE(appState.monitorOutlived);
  EXPECT_EQ(keyPort, nullptr);
  EXPECT_EQ(monitorThread, nullptr);
}

class KeyPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings = Settings{};
    appState.monitorOutlived = false;
    lampDraws = 0;
    lampClears = 0;
    OpenDebugLog();
  }

  void TearDown() override {
    port.beforeSleep = nullptr;
    CloseKeyPort();
    KeyUp();
    CloseDebugLog();
  }

  // Starts the monitor on COM1 and waits until its first wait is outstanding.
  void StartMonitor() {
    SetupKeyPort();
    ASSERT_TRUE(port.WaitForCalls(PortCall::WaitCommEvent, 1));
  }

  // Sets the line and waits until the monitor has acted on it and waits again.
  void SetLineAndWait(DWORD status, int waitsSoFar) {
    port.SetModemStatus(status);
    ASSERT_TRUE(port.WaitForCalls(PortCall::WaitCommEvent, waitsSoFar + 1));
  }

  ScratchDirectory scratch_;  // the log of each test is its own
  SimulatedSerialPort port;
};

struct KeyLineCase {
  const char* setting;
  const char* logName;
  DWORD eventMask;
  DWORD statusBit;
};

class KeyLineTest : public KeyPortTest, public ::testing::WithParamInterface<KeyLineCase> {};

TEST_P(KeyLineTest, WatchesTheChosenLineAndIgnoresTheOthers) {
  const KeyLineCase& line = GetParam();
  std::strcpy(settings.keyLine, line.setting);
  StartMonitor();
  const OpenedWith opened = port.Opened();
  EXPECT_EQ(opened.name, "COM1");
  EXPECT_EQ(opened.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(opened.share, 0u);
  EXPECT_EQ(opened.disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(opened.flags, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
  EXPECT_EQ(port.CommMask(), line.eventMask);
  EXPECT_TRUE(port.Outputs().dtr);
  EXPECT_TRUE(port.Outputs().rts);
  const std::vector<std::string> log = DebugLogLines();
  const int monitoring = IndexOf(log, std::string("Monitoring port COM1 for ") + line.logName);
  ASSERT_GE(monitoring, 0);
  ASSERT_GE(log.size(), monitoring + 3u);
  EXPECT_EQ(log[monitoring + 1], "Debounce delay: 0");
  EXPECT_EQ(log[monitoring + 2], "Started port monitor thread");

  const DWORD otherLines = (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON) & ~line.statusBit;
  SetLineAndWait(otherLines | line.statusBit, 1);
  EXPECT_TRUE(appState.keyed);
  EXPECT_EQ(lampDraws, 1);
  SetLineAndWait(otherLines, 2);
  EXPECT_FALSE(appState.keyed);
  EXPECT_EQ(lampClears, 1);
}

INSTANTIATE_TEST_SUITE_P(Lines, KeyLineTest,
                         ::testing::Values(KeyLineCase{"CTS", "CTS", EV_CTS, MS_CTS_ON},
                                           KeyLineCase{"DSR", "DSR", EV_DSR, MS_DSR_ON},
                                           KeyLineCase{"RIN", "RING", EV_RING, MS_RING_ON},
                                           KeyLineCase{"RLS", "RLSD", EV_RLSD, MS_RLSD_ON}));

TEST_F(KeyPortTest, SettingsThatNameNoKnownPortOrLineOpenNothing) {
  const struct {
    const char* portName;
    const char* keyLine;
  } cases[] = {{"com1", "DSR"}, {"Com1", "DSR"}, {"CO", "DSR"},  {"", "DSR"},   {"TTY1", "DSR"},
               {"COM1", "dsr"}, {"COM1", "XYZ"}, {"COM1", ""}, {"LPT1", "RI"}, {"COM1", "RING"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.portName) + " " + c.keyLine);
    std::strcpy(settings.portName, c.portName);
    std::strcpy(settings.keyLine, c.keyLine);
    const std::size_t linesBefore = DebugLogLines().size();
    SetupKeyPort();
    const std::vector<std::string> log = DebugLogLines();
    ASSERT_EQ(log.size(), linesBefore + 1);
    EXPECT_EQ(log.back(), "Invalid port params!");
    EXPECT_EQ(keyPort, nullptr);
    CloseKeyPort();
    EXPECT_EQ(DebugLogLines().size(), linesBefore + 1);
  }
  EXPECT_EQ(port.Calls(PortCall::CreateFile), 0);
  EXPECT_TRUE(port.Boxes().empty());
}

TEST_F(KeyPortTest, NumbersAboveNineAreOpenedThroughTheDeviceNamespace) {
  const struct {
    const char* setting;
    const char* opened;
  } cases[] = {
      {"COM9", "COM9"},
      {"COM09", "COM09"},
      {"COM", "COM"},
      {"COM-12", "COM-12"},
      {"COM10", "\\\\.\\COM10"},
      {"COM12", "\\\\.\\COM12"},
      {"LPT10", "\\\\.\\LPT10"},
      {"COM12345678", "\\\\.\\COM12345678"},  // fills the field exactly
      {"COM123456789", "COM123456789"},       // no room for the prefix
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting);
    std::strcpy(settings.portName, c.setting);
    SetupKeyPort();
    EXPECT_EQ(port.Opened().name, c.opened);
    EXPECT_STREQ(settings.portName, c.opened);
    EXPECT_GE(IndexOf(DebugLogLines(), std::string("Monitoring port ") + c.opened + " for DSR"), 0);
    CloseKeyPort();
    EXPECT_EQ(keyPort, nullptr);
  }
}

TEST_F(KeyPortTest, APortThatCannotBeOpenedIsReportedAfterTheBox) {
  const struct {
    const char* setting;
    const char* shown;
  } cases[] = {{"COM7", "COM7"}, {"COM12", "\\\\.\\COM12"}};
  port.FailCalls(PortCall::CreateFile, ERROR_FILE_NOT_FOUND);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting);
    std::strcpy(settings.portName, c.setting);
    const std::size_t linesBefore = DebugLogLines().size();
    const std::size_t boxesBefore = port.Boxes().size();
    SetupKeyPort();
    const std::vector<MessageBoxShown> boxes = port.Boxes();
    ASSERT_EQ(boxes.size(), boxesBefore + 1);
    const MessageBoxShown& box = boxes.back();
    EXPECT_EQ(box.text, std::string("Couldn't open port ") + c.shown);
    EXPECT_EQ(box.title, "Error");
    EXPECT_EQ(box.style, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(box.owner, nullptr);
    const std::string failed = std::string("Failed opening port: ") + c.shown;
    EXPECT_EQ(IndexOf(box.logAtTheTime, failed), -1);
    std::vector<std::string> log = DebugLogLines();
    ASSERT_EQ(log.size(), linesBefore + 1);
    EXPECT_EQ(log.back(), failed);
    EXPECT_EQ(keyPort, nullptr);
    CloseKeyPort();
    EXPECT_EQ(DebugLogLines().size(), linesBefore + 1);
  }
  EXPECT_EQ(port.Calls(PortCall::SetCommMask), 0);
  EXPECT_EQ(port.Calls(PortCall::CloseHandle), 0);
  EXPECT_EQ(port.Calls(PortCall::EscapeCommFunction), 0);
}

TEST_F(KeyPortTest, APortThatRefusesTheEventMaskIsClosedAgain) {
  port.FailCalls(PortCall::SetCommMask, ERROR_INVALID_PARAMETER);
  SetupKeyPort();
  const std::vector<MessageBoxShown> boxes = port.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "SetCommMask failed");
  EXPECT_EQ(boxes[0].title, "Error");
  EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_ICONERROR));
  EXPECT_EQ(IndexOf(boxes[0].logAtTheTime, "Failed opening port: COM1"), -1);
  const std::vector<std::string> log = DebugLogLines();
  EXPECT_EQ(log.back(), "Failed opening port: COM1");
  EXPECT_EQ(IndexOf(log, "Started port monitor thread"), -1);
  EXPECT_EQ(port.Calls(PortCall::CloseHandle), 1);
  EXPECT_EQ(port.Calls(PortCall::EscapeCommFunction), 0);
  EXPECT_EQ(keyPort, nullptr);
}

// Some adapters lack DTR or RTS; the key may be wired to the other one.
TEST_F(KeyPortTest, OutputLinesThatCannotBeRaisedAreLoggedOnceAndKeyingGoesOn) {
  port.FailCalls(PortCall::EscapeCommFunction, ERROR_INVALID_PARAMETER);
  StartMonitor();
  const std::vector<std::string> log = DebugLogLines();
  const int debounce = IndexOf(log, "Debounce delay: 0");
  ASSERT_GE(debounce, 0);
  ASSERT_GE(log.size(), debounce + 4u);
  EXPECT_EQ(log[debounce + 1], "Failed: SetDTR!");
  EXPECT_EQ(log[debounce + 2], "Failed: SetRTS!");
  EXPECT_EQ(log[debounce + 3], "Started port monitor thread");
  SetLineAndWait(MS_DSR_ON, 1);
  EXPECT_TRUE(appState.keyed);
  SetLineAndWait(0, 2);
  CloseKeyPort();
  EXPECT_EQ(CountOf(DebugLogLines(), "Failed: SetDTR!"), 1);
  EXPECT_EQ(CountOf(DebugLogLines(), "Failed: SetRTS!"), 1);
  ExpectMonitorEndedInTime();
}

TEST_F(KeyPortTest, FailingStatusReadsCountAsKeyUpAndAreLoggedOnce) {
  StartMonitor();
  SetLineAndWait(MS_DSR_ON, 1);
  ASSERT_TRUE(appState.keyed);
  port.FailCalls(PortCall::GetCommModemStatus, ERROR_GEN_FAILURE);
  const DWORD lineStates[] = {0, MS_DSR_ON, 0, MS_DSR_ON};
  for (int i = 0; i < 4; ++i) SetLineAndWait(lineStates[i], 2 + i);
  EXPECT_FALSE(appState.keyed);
  EXPECT_EQ(lampDraws, 1);
  EXPECT_EQ(lampClears, 1);
  EXPECT_EQ(CountOf(DebugLogLines(), "Failed: GetCommModemStatus!"), 1);
}

TEST_F(KeyPortTest, AWaitThatCompletesWithAFailureIsStartedAgainAtOnce) {
  settings.debounceDelay = 5;
  port.FailCalls(PortCall::GetOverlappedResult, ERROR_GEN_FAILURE);
  StartMonitor();
  SetLineAndWait(MS_DSR_ON, 1);
  EXPECT_EQ(port.Calls(PortCall::GetCommModemStatus), 0);
  EXPECT_EQ(port.Calls(PortCall::Sleep), 0);
  EXPECT_FALSE(appState.keyed);
}

// The key the line holds is released by the monitor itself as it ends.
TEST_F(KeyPortTest, AWaitThatFailsAtOnceEndsTheMonitorReleasesTheKeyAndShutdownCountsOne) {
  StartMonitor();
  port.FailCalls(PortCall::WaitCommEvent, ERROR_INVALID_HANDLE);
  port.SetModemStatus(MS_DSR_ON);
  ASSERT_TRUE(WaitForLogLine(kExitLine));
  const std::vector<std::string> log = DebugLogLines();
  EXPECT_EQ(CountOf(log, "Failed: ReadPort!"), 1);
  EXPECT_LT(IndexOf(log, "Failed: ReadPort!"), IndexOf(log, kExitLine));
  EXPECT_EQ(port.Calls(PortCall::WaitCommEvent), 2);
  EXPECT_FALSE(appState.keyed);
  EXPECT_EQ(lampDraws, 1);
  EXPECT_EQ(lampClears, 1);
  CloseKeyPort();
  EXPECT_EQ(lampClears, 1);
  EXPECT_EQ(LastMutexWaitCount(DebugLogLines()), 1);
  EXPECT_EQ(port.Calls(PortCall::CloseHandle), 1);
  ExpectMonitorEndedInTime();
}

// A device that accepts every wait and fails it at once. Ten failures in a
// row end the monitor; a completed wait starts the count again.
TEST_F(KeyPortTest, WaitsThatKeepFailingEndTheMonitorAndReleaseTheKey) {
  const int kFailedWaitsThatEnd = 10;
  port.FailAcceptedWaits(kFailedWaitsThatEnd - 1);
  StartMonitor();
  ASSERT_TRUE(port.WaitForCalls(PortCall::WaitCommEvent, kFailedWaitsThatEnd));
  port.FailAcceptedWaits(kFailedWaitsThatEnd);
  port.SetModemStatus(MS_DSR_ON);
  ASSERT_TRUE(WaitForLogLine(kExitLine));
  const std::vector<std::string> log = DebugLogLines();
  EXPECT_EQ(port.Calls(PortCall::WaitCommEvent), 2 * kFailedWaitsThatEnd);
  EXPECT_EQ(CountOf(log, "Failed: ReadPort!"), 1);
  EXPECT_LT(IndexOf(log, "Failed: ReadPort!"), IndexOf(log, kExitLine));
  EXPECT_FALSE(appState.keyed);
  EXPECT_EQ(lampDraws, 1);
  EXPECT_EQ(lampClears, 1);
  CloseKeyPort();
  EXPECT_EQ(LastMutexWaitCount(DebugLogLines()), 1);
  ExpectMonitorEndedInTime();
}

class DebounceTest : public KeyPortTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(DebounceTest, EveryEventIsFollowedByThePause) {
  settings.debounceDelay = GetParam();
  StartMonitor();
  const DWORD lineStates[] = {MS_DSR_ON, 0, MS_DSR_ON, 0};
  for (int i = 0; i < 4; ++i) {
    SetLineAndWait(lineStates[i], 1 + i);
    EXPECT_EQ(port.Calls(PortCall::Sleep), GetParam() * (i + 1));
    EXPECT_EQ(appState.keyed, lineStates[i] != 0);
  }
  EXPECT_EQ(lampDraws, 2);
  EXPECT_EQ(lampClears, 2);
}

INSTANTIATE_TEST_SUITE_P(Delays, DebounceTest, ::testing::Values(0, 5));

TEST_F(KeyPortTest, APressAndReleaseInsideOnePauseGiveNoTone) {
  settings.debounceDelay = 5;
  StartMonitor();
  SetLineAndWait(MS_DSR_ON, 1);
  // During the second sleep of the pause that follows the release.
  port.beforeSleep = [&] {
    if (port.Calls(PortCall::Sleep) == 6) {
      port.SetModemStatus(MS_DSR_ON);
      port.SetModemStatus(0);
    }
  };
  SetLineAndWait(0, 2);
  ASSERT_TRUE(port.WaitForCalls(PortCall::WaitCommEvent, 4));
  EXPECT_EQ(port.Calls(PortCall::GetCommModemStatus), 3);
  EXPECT_EQ(port.Calls(PortCall::Sleep), 15);
  EXPECT_FALSE(appState.keyed);
  EXPECT_EQ(lampDraws, 1);
  EXPECT_EQ(lampClears, 1);
}

TEST_F(KeyPortTest, ANegativeDebounceStillStopsWithinOneSleep) {
  settings.debounceDelay = -1;
  const DWORD guiThread = GetCurrentThreadId();
  std::atomic<int> monitorSleepsAfterStop{0};
  port.beforeSleep = [&] {
    if (GetCurrentThreadId() != guiThread && !monitorRunning) ++monitorSleepsAfterStop;
  };
  StartMonitor();
  port.SetModemStatus(MS_DSR_ON);
  ASSERT_TRUE(port.WaitForCalls(PortCall::Sleep, 3));
  CloseKeyPort();
  EXPECT_LE(monitorSleepsAfterStop, 1);
  ExpectMonitorEndedInTime();
}

class ShutdownTest : public KeyPortTest, public ::testing::WithParamInterface<DWORD> {};

// A key the line holds is released by the monitor itself as it leaves.
TEST_P(ShutdownTest, EndsTheWaitAndTheThreadReleasesTheKeyAndLowersTheSupply) {
  const DWORD line = GetParam();
  StartMonitor();
  if (line != 0) SetLineAndWait(line, 1);
  const DWORD monitor = GetThreadId(monitorThread);
  CloseKeyPort();
  EXPECT_GE(port.Calls(PortCall::CancelIoEx), 1);
  EXPECT_EQ(port.Calls(PortCall::CloseHandle), 1);
  EXPECT_FALSE(port.Outputs().dtr);
  EXPECT_FALSE(port.Outputs().rts);
  EXPECT_FALSE(appState.keyed);
  EXPECT_EQ(lampClears, line != 0 ? 1 : 0);
  if (line != 0) {
    EXPECT_EQ(lampClearThread, monitor);
  }
  ExpectMonitorEndedInTime();
}

INSTANTIATE_TEST_SUITE_P(Lines, ShutdownTest, ::testing::Values(DWORD{0}, DWORD{MS_DSR_ON}),
                         [](const ::testing::TestParamInfo<DWORD>& line) {
                           return line.param == 0 ? "LineIdle" : "LineActive";
                         });

class StopRaceTest : public KeyPortTest, public ::testing::WithParamInterface<StopRace> {};

// A stop that lands just before the wait starts, or between finding the wait
// outstanding and waiting for it, must still end the thread.
TEST_P(StopRaceTest, AStopAtTheEdgeOfAWaitStillEndsTheThread) {
  port.RaceNextStop(GetParam());
  SetupKeyPort();
  ASSERT_TRUE(port.WaitUntilHeld());
  CloseKeyPort();
  ExpectMonitorEndedInTime();
}

INSTANTIATE_TEST_SUITE_P(Races, StopRaceTest,
                         ::testing::Values(StopRace::BeforeWaitStarts,
                                           StopRace::BeforeWaitCompletion),
                         [](const ::testing::TestParamInfo<StopRace>& race) {
                           return race.param == StopRace::BeforeWaitStarts ? "BeforeWaitStarts"
                                                                           : "BeforeWaitCompletion";
                         });

// A driver that ignores the cancellation keeps the monitor in its wait, with
// the key held down, past the bound.
TEST_F(KeyPortTest, AMonitorStuckInAWaitOutlivesTheBoundWithItsPortKept) {
  StartMonitor();
  SetLineAndWait(MS_DSR_ON, 1);
  port.IgnoreCancellation(true);

  CloseKeyPort();
  EXPECT_EQ(LastMutexWaitCount(DebugLogLines()), 250);
  EXPECT_TRUE(appState.monitorOutlived);
  EXPECT_NE(keyPort, nullptr);
  EXPECT_NE(monitorThread, nullptr);
  EXPECT_EQ(port.Calls(PortCall::CloseHandle), 0);
  CloseDebugLog();

  // The wait ends at last: the thread releases the key itself, on the record
  // that was kept, and leaves, logging into the closed log.
  const DWORD monitor = GetThreadId(monitorThread);
  port.IgnoreCancellation(false);
  ASSERT_EQ(WaitForSingleObject(monitorThread, 10000), WAIT_OBJECT_0);
  EXPECT_FALSE(appState.keyed);
  EXPECT_EQ(lampClears, 1);
  EXPECT_EQ(lampClearThread, monitor);

  OpenDebugLog();
  EXPECT_EQ(IndexOf(DebugLogLines(), kExitLine), -1);
  CloseKeyPort();  // once the thread has ended, a second call frees the port
  EXPECT_EQ(LastMutexWaitCount(DebugLogLines()), 1);
  EXPECT_EQ(port.Calls(PortCall::CloseHandle), 1);
  EXPECT_EQ(keyPort, nullptr);
  EXPECT_EQ(monitorThread, nullptr);
}

TEST_F(KeyPortTest, TheSpaceBarsKeyUpEndsAToneTheLineHolds) {
  StartMonitor();
  SetLineAndWait(MS_DSR_ON, 1);
  KeyDown();  // the space bar: the key is down already
  EXPECT_EQ(lampDraws, 1);
  KeyUp();
  EXPECT_FALSE(appState.keyed);
  EXPECT_EQ(lampClears, 1);
  const int64_t keyUpStamp = appState.keyUpStamp;
  SetLineAndWait(0, 2);
  EXPECT_EQ(lampClears, 1);
  EXPECT_EQ(appState.keyUpStamp, keyUpStamp);
}

}  // namespace
