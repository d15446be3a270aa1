// The key port and its monitor thread against a simulated serial device.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
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
  EXPECT_FALSE(appState.threadOutlived);
  EXPECT_EQ(keyPort, nullptr);
  EXPECT_EQ(monitorThread, nullptr);
}

// The paddles' edges the monitor reports, in the order it reports them, as
// "dit down", with the simulated clock's time and the reporting thread.
struct PaddleEdge {
  std::string edge;
  LONGLONG atMs;
  DWORD thread;
};

std::mutex paddleEdgesMutex;
std::vector<PaddleEdge> paddleEdges;
const SimulatedSerialPort* clockOfEdges = nullptr;

void RecordPaddleEdge(Paddle paddle, PaddleSource source, const char* edge) {
  std::string text = std::string(paddle == Paddle::Dit ? "dit " : "dah ") + edge;
  if (source != PaddleSource::Line) text += " from the keyboard";
  const LONGLONG atMs = clockOfEdges->ClockMs();
  std::lock_guard<std::mutex> hold(paddleEdgesMutex);
  paddleEdges.push_back({text, atMs, GetCurrentThreadId()});
}

void RecordPaddleDown(Paddle paddle, PaddleSource source) { RecordPaddleEdge(paddle, source, "down"); }
void RecordPaddleUp(Paddle paddle, PaddleSource source) { RecordPaddleEdge(paddle, source, "up"); }

std::vector<PaddleEdge> PaddleEdgesSoFar() {
  std::lock_guard<std::mutex> hold(paddleEdgesMutex);
  return paddleEdges;
}

// "dit down", or with `atTimes` "dit down at 5".
std::vector<std::string> PaddleEdgeTexts(bool atTimes = false) {
  std::vector<std::string> texts;
  for (const PaddleEdge& edge : PaddleEdgesSoFar()) {
    texts.push_back(atTimes ? edge.edge + " at " + std::to_string(edge.atMs) : edge.edge);
  }
  return texts;
}

class KeyPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings = Settings{};
    appState.threadOutlived = false;
    lampDraws = 0;
    lampClears = 0;
    paddleEdges.clear();
    clockOfEdges = &port;
    paddleKeying = {RecordPaddleDown, RecordPaddleUp};
    OpenDebugLog();
  }

  void TearDown() override {
    port.beforeSleep = nullptr;
    CloseKeyPort();
    KeyUp();
    paddleKeying = keying_;
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
  const PaddleKeying keying_ = paddleKeying;
};

// In the keyer modes the key line is the dit paddle's.
struct KeyLineCase {
  KeyerMode keyer;
  const char* keyLine;
  const char* dahLine;
  const char* watched;  // as the log's port line ends
  DWORD eventMask;
  DWORD statusBit;     // the key line's
  DWORD dahStatusBit;  // 0 in the straight mode
};

void PrintTo(const KeyLineCase& c, std::ostream* out) { *out << c.watched; }

class KeyLineTest : public KeyPortTest, public ::testing::WithParamInterface<KeyLineCase> {};

TEST_P(KeyLineTest, WatchesTheChosenLineAndIgnoresTheOthers) {
  const KeyLineCase& line = GetParam();
  settings.keyer = line.keyer;
  std::strcpy(settings.keyLine, line.keyLine);
  std::strcpy(settings.dahLine, line.dahLine);
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
  const int monitoring = IndexOf(log, std::string("Monitoring port COM1 for ") + line.watched);
  ASSERT_GE(monitoring, 0);
  ASSERT_GE(log.size(), monitoring + 3u);
  EXPECT_EQ(log[monitoring + 1], "Debounce delay: 0");
  EXPECT_EQ(log[monitoring + 2], "Started port monitor thread");

  const DWORD otherLines =
      (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON) & ~(line.statusBit | line.dahStatusBit);
  if (line.dahStatusBit == 0) {
    SetLineAndWait(otherLines | line.statusBit, 1);
    EXPECT_TRUE(appState.keyed);
    EXPECT_EQ(lampDraws, 1);
    SetLineAndWait(otherLines, 2);
    EXPECT_FALSE(appState.keyed);
    EXPECT_EQ(lampClears, 1);
    EXPECT_TRUE(PaddleEdgeTexts().empty());
    return;
  }
  SetLineAndWait(otherLines | line.statusBit, 1);
  SetLineAndWait(otherLines | line.statusBit | line.dahStatusBit, 2);
  SetLineAndWait(otherLines | line.dahStatusBit, 3);
  SetLineAndWait(otherLines, 4);
  EXPECT_EQ(PaddleEdgeTexts(), (std::vector<std::string>{"dit down", "dah down", "dit up", "dah up"}));
  EXPECT_EQ(lampDraws, 0);  // a paddle is no straight key
}

INSTANTIATE_TEST_SUITE_P(
    Lines, KeyLineTest,
    ::testing::Values(
        KeyLineCase{KeyerMode::Straight, "CTS", "CTS", "CTS", EV_CTS, MS_CTS_ON, 0},
        // The dah line is none of the straight key's business.
        KeyLineCase{KeyerMode::Straight, "DSR", "XYZ", "DSR", EV_DSR, MS_DSR_ON, 0},
        KeyLineCase{KeyerMode::Straight, "RIN", "CTS", "RING", EV_RING, MS_RING_ON, 0},
        KeyLineCase{KeyerMode::Straight, "RLS", "CTS", "RLSD", EV_RLSD, MS_RLSD_ON, 0},
        KeyLineCase{KeyerMode::IambicA, "DSR", "CTS", "DSR (dit) and CTS (dah)", EV_DSR | EV_CTS,
                    MS_DSR_ON, MS_CTS_ON},
        KeyLineCase{KeyerMode::IambicB, "CTS", "RLS", "CTS (dit) and RLSD (dah)", EV_CTS | EV_RLSD,
                    MS_CTS_ON, MS_RLSD_ON},
        KeyLineCase{KeyerMode::Ultimatic, "RIN", "DSR", "RING (dit) and DSR (dah)", EV_RING | EV_DSR,
                    MS_RING_ON, MS_DSR_ON},
        KeyLineCase{KeyerMode::Bug, "RLS", "RIN", "RLSD (dit) and RING (dah)", EV_RLSD | EV_RING,
                    MS_RLSD_ON, MS_RING_ON}));

TEST_F(KeyPortTest, SettingsThatNameNoKnownPortOrLineOpenNothing) {
  const KeyerMode straight = KeyerMode::Straight;
  const struct {
    const char* portName;
    const char* keyLine;
    KeyerMode keyer;
    const char* dahLine;
  } cases[] = {{"com1", "DSR", straight, "CTS"},
               {"Com1", "DSR", straight, "CTS"},
               {"CO", "DSR", straight, "CTS"},
               {"", "DSR", straight, "CTS"},
               {"TTY1", "DSR", straight, "CTS"},
               {"COM1", "dsr", straight, "CTS"},
               {"COM1", "XYZ", straight, "CTS"},
               {"COM1", "", straight, "CTS"},
               {"LPT1", "RI", straight, "CTS"},
               {"COM1", "RING", straight, "CTS"},
               {"COM1", "DSR", KeyerMode::IambicA, "XYZ"},
               {"COM1", "DSR", KeyerMode::IambicB, ""},
               {"COM1", "DSR", KeyerMode::Ultimatic, "cts"},
               {"COM1", "DSR", KeyerMode::Bug, "RLSD"},
               {"COM1", "dsr", KeyerMode::IambicA, "CTS"},
               {"com1", "DSR", KeyerMode::IambicA, "CTS"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.portName) + " " + c.keyLine + " " + c.dahLine + " keyer " +
                 std::to_string(static_cast<int>(c.keyer)));
    std::strcpy(settings.portName, c.portName);
    std::strcpy(settings.keyLine, c.keyLine);
    settings.keyer = c.keyer;
    std::strcpy(settings.dahLine, c.dahLine);
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

// The paddles' lines, dit on DSR and dah on CTS, as the port's clock plays
// their changes: each line has its own debounce, which neither hides nor
// delays the other line's edges.
struct PaddleDebounceCase {
  const char* name;
  int32_t debounce;
  std::vector<LineChange> changes;
  std::vector<std::string> edges;
};

void PrintTo(const PaddleDebounceCase& c, std::ostream* out) { *out << c.name; }

class PaddleDebounceTest : public KeyPortTest, public ::testing::WithParamInterface<PaddleDebounceCase> {};

TEST_P(PaddleDebounceTest, EachLineIsDebouncedOnItsOwn) {
  settings.keyer = KeyerMode::IambicB;
  settings.debounceDelay = GetParam().debounce;
  port.PlayLineChanges(GetParam().changes);
  StartMonitor();
  ASSERT_TRUE(port.WaitUntilPlayed());
  EXPECT_EQ(PaddleEdgeTexts(true), GetParam().edges);
}

const DWORD kDit = MS_DSR_ON;
const DWORD kDah = MS_CTS_ON;

INSTANTIATE_TEST_SUITE_P(
    Lines, PaddleDebounceTest,
    ::testing::Values(
        PaddleDebounceCase{"AnEdgeInTheOtherLinesQuietTimeComesAtOnce",
                           5,
                           {{0, kDit}, {2, kDit | kDah}, {20, kDah}, {22, 0}},
                           {"dit down at 0", "dah down at 2", "dit up at 20", "dah up at 22"}},
        PaddleDebounceCase{"BouncesInsideTheQuietTimeAreNotEdges",
                           5,
                           {{0, kDit}, {1, 0}, {2, kDit}, {3, 0}, {4, kDit}, {10, 0}},
                           {"dit down at 0", "dit up at 10"}},
        PaddleDebounceCase{"AChangeTheQuietTimeHidIsReportedAsItEnds",
                           5,
                           {{0, kDit}, {3, 0}, {7, kDit}},
                           {"dit down at 0", "dit up at 5", "dit down at 10"}},
        PaddleDebounceCase{"BothLinesBouncingEachKeepsItsOwnQuietTime",
                           5,
                           {{0, kDit}, {3, kDit | kDah}, {4, kDah}, {6, 0}},
                           {"dit down at 0", "dah down at 3", "dit up at 5", "dah up at 8"}},
        PaddleDebounceCase{"WithoutDebounceEveryChangeIsAnEdge",
                           0,
                           {{0, kDit}, {1, 0}, {2, kDit | kDah}, {3, kDah}, {4, 0}},
                           {"dit down at 0", "dit up at 1", "dit down at 2", "dah down at 2", "dit up at 3",
                            "dah up at 4"}}),
    [](const ::testing::TestParamInfo<PaddleDebounceCase>& c) { return c.param.name; });

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

// However the monitor stops watching the paddles' lines (dit on DSR, dah on
// CTS), it releases each paddle a line holds, itself, and no other.
enum class WatchEnd { Shutdown, WaitFailsAtOnce, WaitsKeepFailing };

struct PaddleReleaseCase {
  const char* name;
  WatchEnd end;
  int32_t debounce;  // a long one keeps the held lines quiet until the end
  DWORD held;
  std::vector<std::string> edges;
};

void PrintTo(const PaddleReleaseCase& c, std::ostream* out) { *out << c.name; }

class PaddleReleaseTest : public KeyPortTest, public ::testing::WithParamInterface<PaddleReleaseCase> {};

TEST_P(PaddleReleaseTest, TheMonitorReleasesThePaddlesItsLinesHold) {
  const PaddleReleaseCase& c = GetParam();
  settings.keyer = KeyerMode::IambicA;
  settings.debounceDelay = c.debounce;
  StartMonitor();
  const DWORD monitor = GetThreadId(monitorThread);
  if (c.end == WatchEnd::Shutdown) {
    if (c.held != 0) SetLineAndWait(c.held, 1);
  } else {
    if (c.end == WatchEnd::WaitFailsAtOnce) port.FailCalls(PortCall::WaitCommEvent, ERROR_INVALID_HANDLE);
    if (c.end == WatchEnd::WaitsKeepFailing) port.FailAcceptedWaits(10);
    port.SetModemStatus(c.held);
    ASSERT_TRUE(WaitForLogLine(kExitLine));
    EXPECT_EQ(CountOf(DebugLogLines(), "Failed: ReadPort!"), 1);
  }
  CloseKeyPort();
  EXPECT_EQ(PaddleEdgeTexts(), c.edges);
  for (const PaddleEdge& edge : PaddleEdgesSoFar()) EXPECT_EQ(edge.thread, monitor) << edge.edge;
  EXPECT_FALSE(port.Outputs().dtr);
  ExpectMonitorEndedInTime();
}

INSTANTIATE_TEST_SUITE_P(
    Ends, PaddleReleaseTest,
    ::testing::Values(
        PaddleReleaseCase{"ShutdownBothHeld", WatchEnd::Shutdown, 60000, kDit | kDah,
                          {"dit down", "dah down", "dit up", "dah up"}},
        PaddleReleaseCase{"ShutdownDahHeld", WatchEnd::Shutdown, 0, kDah, {"dah down", "dah up"}},
        PaddleReleaseCase{"ShutdownNoneHeld", WatchEnd::Shutdown, 60000, 0, {}},
        PaddleReleaseCase{"WaitFailsAtOnceDitHeld", WatchEnd::WaitFailsAtOnce, 0, kDit,
                          {"dit down", "dit up"}},
        PaddleReleaseCase{"WaitsKeepFailingDahHeld", WatchEnd::WaitsKeepFailing, 60000, kDah,
                          {"dah down", "dah up"}},
        PaddleReleaseCase{"WaitsKeepFailingBothHeld", WatchEnd::WaitsKeepFailing, 0, kDit | kDah,
                          {"dit down", "dah down", "dit up", "dah up"}}),
    [](const ::testing::TestParamInfo<PaddleReleaseCase>& c) { return c.param.name; });

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
  EXPECT_TRUE(appState.threadOutlived);
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
