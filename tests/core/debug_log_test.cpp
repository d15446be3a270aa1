#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/debug_log.h"
#include "log/log_format.h"
#include "scratch_directory.h"

namespace fs = std::filesystem;

namespace {

std::string Real(double value) {
  char text[64];
  FormatLogReal(value, text, sizeof text);
  return text;
}

TEST(LogReal, FollowsItsFourRules) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0"},
      {-0.0, "0"},
      {1000.0, "1000.00000"},
      {3.0, "3.00000"},
      {0.01, "0.01000"},
      {44.1, "44.10000"},
      {-2.5, "-2.50000"},
      {2.675, "2.67499"},
      {0.000004, "0.00000"},
      {-0.000004, "-0.00000"},
      {1e-9, "0.00000"},
      {-1e-9, "-0.00000"},
      {1e-10, "<>+/-1.0e-9"},
      {-1e-10, "<>+/-1.0e-9"},
      {1e9, "1000000000.00000"},
      {-1e9, "-1000000000.00000"},
      {1000000000.5, "<>+/-1.0e+9"},
      {-2e9, "<>+/-1.0e+9"},
      {inf, "<>+/-1.0e+9"},
      {-inf, "<>+/-1.0e+9"},
      {std::nan(""), "NaN"},
      {22.675736961451246, "22.67573"},
      {0.99999999999, "0.99999"},
  };
  for (const auto& c : cases) EXPECT_EQ(Real(c.value), c.text) << c.value;
}

TEST(LogTime, WritesTwoDigitFieldsAndMilliseconds) {
  std::tm t{};
  char text[32];
  FormatLogTime(t, 0, text, sizeof text);
  EXPECT_STREQ(text, "00:00:00 000\n");
  t.tm_hour = 23, t.tm_min = 59, t.tm_sec = 59;
  FormatLogTime(t, 999, text, sizeof text);
  EXPECT_STREQ(text, "23:59:59 999\n");
  t.tm_hour = 9, t.tm_min = 5, t.tm_sec = 7;
  FormatLogTime(t, 42, text, sizeof text);
  EXPECT_STREQ(text, "09:05:07 042\n");
}

TEST(LogDate, UsesEnglishNamesAndTwoDigitDay) {
  std::tm t{};
  t.tm_year = 2026 - 1900, t.tm_mon = 11, t.tm_mday = 7, t.tm_wday = 1;
  char text[kLogDateArea];
  FormatLogDate(t, text, sizeof text);
  EXPECT_STREQ(text, "Monday, December/07/2026 ");
}

// Each test runs in a directory of its own.
class DebugLogFile : public ::testing::Test {
 protected:
  void TearDown() override { CloseDebugLog(); }
  static std::string Read(const char* name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // The text as written, with the platform's text-mode line ends undone.
  static std::string ReadText(const char* name) {
    std::string text = Read(name);
#ifdef _WIN32
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i)
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
    text = plain;
#endif
    return text;
  }
  ScratchDirectory scratch_;
};

TEST_F(DebugLogFile, WritesHeaderLinesAndFooter) {
  OpenDebugLog();
  LogLine("Velkin v1.08 XP");
  LogLine("");
  LogInt("Debounce delay", -5);
  LogReal("Frequency", 1000.0);
  LogDeviceNumber(0);
  LogLine("WAV file recorder");
  LogLine("No ASIO device found!\n");
  CloseDebugLog();

  const std::string text = ReadText("VelkinDbg.Log");
  const std::size_t timer = text.find("\r\nTimer initialized\n");
  ASSERT_NE(timer, std::string::npos) << text;
  // "Monday, December/07/2026 - Time started: 06:14:19 123"
  const std::string date = R"(Date: [A-Z][a-z]+, [A-Z][a-z]+/\d\d/\d{4} - )";
  const std::string time = R"(\d\d:\d\d:\d\d \d{3}\n)";
  EXPECT_TRUE(std::regex_search(text, std::regex("^Debug log\r\n\r\n" + date + "Time started: " + time + "\r\n")))
      << text;
  EXPECT_TRUE(std::regex_search(text, std::regex("\n" + date + "Time: " + time + "Goodbye\n$"))) << text;
  EXPECT_EQ(text.substr(timer + 2),
            "Timer initialized\n"
            "Velkin v1.08 XP\n"
            "\n"
            "Debounce delay: -5\n"
            "Frequency: 1000.00000\n"
            "Device number: 0 - WAV file recorder\n"
            "No ASIO device found!\n\n"
            "\n\nShutting down debug logging system...\nDate: " +
                text.substr(text.find("Date: ", timer) + 6));
}

TEST_F(DebugLogFile, HeaderLineEndsPassThroughTextMode) {
  OpenDebugLog();
  CloseDebugLog();
#ifdef _WIN32
  EXPECT_EQ(Read("VelkinDbg.Log").rfind("Debug log\r\r\n\r\r\n", 0), 0u);
#else
  EXPECT_EQ(Read("VelkinDbg.Log").rfind("Debug log\r\n\r\n", 0), 0u);
#endif
}

TEST_F(DebugLogFile, KeepsTheTwoRunsBeforeAfterFourStarts) {
  for (int run = 1; run <= 4; ++run) {
    OpenDebugLog();
    LogInt("Run", run);
    CloseDebugLog();
  }
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(".")) files.push_back(entry.path().filename().string());
  EXPECT_EQ(files.size(), 3u);
  EXPECT_NE(ReadText("VelkinDbg.Log").find("Run: 4\n"), std::string::npos);
  EXPECT_NE(ReadText("VelkinDbg1.Log").find("Run: 3\n"), std::string::npos);
  EXPECT_NE(ReadText("VelkinDbg2.Log").find("Run: 2\n"), std::string::npos);
}

TEST_F(DebugLogFile, OverlongLinesAreCutButStillEndTheLine) {
  OpenDebugLog();
  LogLine(std::string(5000, 'n').c_str());
  LogInt(std::string(500, 'i').c_str(), 7);
  LogReal(std::string(500, 'r').c_str(), 1.0);
  LogLine("next");
  CloseDebugLog();
  const std::string text = ReadText("VelkinDbg.Log");
  std::string cut = "\n";
  cut.append(1022, 'n').append("\n").append(158, 'i').append("\n").append(258, 'r').append("\nnext\n");
  EXPECT_NE(text.find(cut), std::string::npos);
}

TEST_F(DebugLogFile, NothingIsWrittenWhileClosed) {
  LogLine("before");
  CloseDebugLog();  // never opened: does nothing
  EXPECT_FALSE(fs::exists("VelkinDbg.Log"));
  OpenDebugLog();
  CloseDebugLog();
  const std::string closed = Read("VelkinDbg.Log");
  LogLine("after");
  LogInt("late", 1);
  CloseDebugLog();
  EXPECT_EQ(Read("VelkinDbg.Log"), closed);
}

TEST_F(DebugLogFile, UnopenableLogLeavesTheProgramRunning) {
  // Non-empty directories in the place of all three files: nothing can be
  // rotated or opened (tests run as root, so permissions cannot stop it).
  for (const char* name : {"VelkinDbg.Log", "VelkinDbg1.Log", "VelkinDbg2.Log"})
    fs::create_directories(fs::path(name) / "keep");
  OpenDebugLog();
  LogLine("lost");
  CloseDebugLog();
  for (const char* name : {"VelkinDbg.Log", "VelkinDbg1.Log", "VelkinDbg2.Log"})
    EXPECT_TRUE(fs::is_directory(fs::path(name) / "keep")) << name;
}

TEST_F(DebugLogFile, LinesFromManyThreadsNeverMix) {
  OpenDebugLog();
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([t] {
      const std::string text(100, static_cast<char>('a' + t));
      for (int i = 0; i < 200; ++i) LogLine(text.c_str());
    });
  // A late writer racing the close must neither crash nor write after it.
  std::thread late([] {
    for (int i = 0; i < 2000; ++i) LogInt("late", i);
  });
  for (auto& w : writers) w.join();
  CloseDebugLog();
  late.join();
  std::istringstream lines(ReadText("VelkinDbg.Log"));
  std::string line;
  int whole = 0;
  while (std::getline(lines, line)) {
    if (line.size() == 100) {
      EXPECT_EQ(line, std::string(100, line[0]));
      ++whole;
    }
  }
  EXPECT_EQ(whole, 800);
  EXPECT_EQ(ReadText("VelkinDbg.Log").substr(ReadText("VelkinDbg.Log").size() - 8), "Goodbye\n");
}

}  // namespace
