#include "log/debug_log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "log/log_format.h"
#include "tone/key_clock.h"

namespace {

const char* const kLogName = "VelkinDbg.Log";
const char* const kPreviousLogName = "VelkinDbg1.Log";
const char* const kOldestLogName = "VelkinDbg2.Log";

// The stream is only touched with the mutex held, and the mutex is never
// destroyed: a thread that logs after CloseDebugLog, or even during process
// exit, finds no stream and writes nothing.
std::mutex& LogMutex() {
  static std::mutex* const mutex = new std::mutex;
  return *mutex;
}
std::FILE* logFile = nullptr;

// Assembles a line in `area` and makes sure a cut line still ends with its
// line feed when it should have one.
void Assemble(char* area, std::size_t size, bool endsLine, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(area, size, format, arguments);
  va_end(arguments);
  if (length < 0) {
    area[0] = '\0';
  } else if (static_cast<std::size_t>(length) >= size && endsLine) {
    area[size - 2] = '\n';
  }
}

void WriteLine(const char* line) {
  std::lock_guard<std::mutex> hold(LogMutex());
  if (logFile == nullptr) return;
  std::fputs(line, logFile);
  std::fflush(logFile);
}

struct LocalStamp {
  std::tm time;
  int milliseconds;
};

LocalStamp Now() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  LocalStamp stamp{};
  if (const std::tm* local = std::localtime(&seconds)) stamp.time = *local;
  stamp.milliseconds =
      static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  return stamp;
}

// Writes "<date>- <caption><time>" for the header and the footer.
void WriteDateAndTime(const char* caption) {
  const LocalStamp stamp = Now();
  char date[kLogDateArea];
  char time[32];
  FormatLogDate(stamp.time, date, sizeof date);
  FormatLogTime(stamp.time, stamp.milliseconds, time, sizeof time);
  std::fprintf(logFile, "Date: %s- %s%s", date, caption, time);
}

}  // namespace

void OpenDebugLog() {
  std::remove(kOldestLogName);
  std::rename(kPreviousLogName, kOldestLogName);
  std::rename(kLogName, kPreviousLogName);
  {
    std::lock_guard<std::mutex> hold(LogMutex());
    // Text mode: on Windows every line feed, the header's "\r\n" included,
    // is written as a carriage return and line feed.
    logFile = std::fopen(kLogName, "wt");
    if (logFile != nullptr) {
      std::fputs("Debug log\r\n\r\n", logFile);
      WriteDateAndTime("Time started: ");
      std::fputs("\r\n", logFile);
    }
  }
  ResetKeyClock();
}

void CloseDebugLog() {
  std::lock_guard<std::mutex> hold(LogMutex());
  if (logFile == nullptr) return;
  std::fputs("\n\nShutting down debug logging system...\n", logFile);
  WriteDateAndTime("Time: ");
  std::fputs("Goodbye\n", logFile);
  std::fflush(logFile);
  std::fclose(logFile);
  logFile = nullptr;
}

void LogLine(const char* text) {
  char line[kLogLineArea];
  Assemble(line, sizeof line, true, "%s\n", text);
  WriteLine(line);
}

void LogInt(const char* label, int32_t value) {
  char line[kLogIntArea];
  Assemble(line, sizeof line, true, "%s: %d\n", label, static_cast<int>(value));
  WriteLine(line);
}

void LogReal(const char* label, double value) {
  char text[64];
  FormatLogReal(value, text, sizeof text);
  char line[kLogRealArea];
  Assemble(line, sizeof line, true, "%s: %s\n", label, text);
  WriteLine(line);
}

void LogDeviceNumber(int32_t number) {
  char line[kLogIntArea];
  Assemble(line, sizeof line, false, "Device number: %d - ", static_cast<int>(number));
  WriteLine(line);
}
