// The key port on a real serial port of Wine whose device is a
// pseudo-terminal. A pseudo-terminal has no modem lines: Wine refuses to
// raise its outputs and a comm-event wait on it at once, and reading them
// fails.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/settings.h"
#include "keyport/key_port.h"
#include "keyport/port_api.h"
#include "keyport/port_monitor.h"
#include "log/debug_log.h"
#include "simulated_serial_port.h"

namespace {

// A box would wait for a click that never comes.
int WINAPI AnswerBox(HWND, LPCSTR text, LPCSTR, UINT) {
  ADD_FAILURE() << "message box: " << text;
  return IDOK;
}

bool HasLine(const std::string& line) {
  const std::vector<std::string> log = DebugLogLines();
  return std::find(log.begin(), log.end(), line) != log.end();
}

int CountOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

TEST(PtyPortTest, OpensStartsTheMonitorAndReadsTheMissingLinesAsInactive) {
  const char* name = std::getenv("VELKIN_PTY_PORT");
  ASSERT_NE(name, nullptr) << "run through with_pty_port.sh";
  std::strcpy(settings.portName, name);
  portApi.messageBox = AnswerBox;
  OpenDebugLog();

  SetupKeyPort();
  ASSERT_NE(keyPort, nullptr);
  EXPECT_TRUE(HasLine(std::string("Monitoring port ") + name + " for DSR"));
  const std::vector<std::string> started = DebugLogLines();
  EXPECT_EQ(CountOf(started, "Failed: SetDTR!"), 1);
  EXPECT_EQ(CountOf(started, "Failed: SetRTS!"), 1);
  EXPECT_TRUE(HasLine("Started port monitor thread"));
  // The wait on a line the device does not have fails, and the monitor ends.
  ASSERT_EQ(WaitForSingleObject(monitorThread, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(HasLine("Failed: ReadPort!"));
  EXPECT_TRUE(HasLine("Exiting port monitor thread!"));

  // With the monitor gone, the status read can be tried here.
  EXPECT_FALSE(ReadKeyLine());
  EXPECT_FALSE(ReadKeyLine());
  EXPECT_EQ(CountOf(DebugLogLines(), "Failed: GetCommModemStatus!"), 1);

  CloseKeyPort();
  EXPECT_TRUE(HasLine("Time waiting for thread to release mutex: 1"));
  EXPECT_EQ(keyPort, nullptr);
  CloseDebugLog();
}

}  // namespace
