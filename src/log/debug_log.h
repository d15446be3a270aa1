#pragma once
// The debug log: "VelkinDbg.Log" in the working directory, with the two runs
// before it kept as "VelkinDbg1.Log" and "VelkinDbg2.Log". Every line operation
// takes the log's mutex around its one write and flushes after it; while the
// log is not open they write nothing. Safe to call from any thread but the
// audio thread, also after CloseDebugLog.

#include <cstdint>

void OpenDebugLog();
void CloseDebugLog();

void LogLine(const char* text);
void LogInt(const char* label, int32_t value);
void LogReal(const char* label, double value);
// Writes "Device number: <n> - " without a line feed; the caller's next
// LogLine, with the device's name, completes the line.
void LogDeviceNumber(int32_t number);
