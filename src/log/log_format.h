#pragma once
// Texts of the debug log's values, kept apart from the file handling so that
// their rules can be checked on their own.

#include <cstddef>
#include <ctime>

// Line areas, terminator included.
constexpr std::size_t kLogLineArea = 1024;
constexpr std::size_t kLogIntArea = 160;
constexpr std::size_t kLogRealArea = 260;
constexpr std::size_t kLogDateArea = 64;

// A real as the log shows it: "0", the two out-of-range markers, or the
// integer part and five truncated decimals. A NaN is written as "NaN".
void FormatLogReal(double value, char* out, std::size_t size);

// "Monday, December/07/2026 " (classic locale, trailing blank).
void FormatLogDate(const std::tm& local, char* out, std::size_t size);

// "06:14:19 123\n".
void FormatLogTime(const std::tm& local, int milliseconds, char* out, std::size_t size);
