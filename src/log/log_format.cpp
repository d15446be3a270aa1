#include "log/log_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

void FormatLogReal(double value, char* out, std::size_t size) {
  if (std::isnan(value)) {
    std::snprintf(out, size, "NaN");
  } else if (value == 0.0) {
    std::snprintf(out, size, "0");
  } else if (value > -1e-9 && value < 1e-9) {
    std::snprintf(out, size, "<>+/-1.0e-9");
  } else if (value > 1e9 || value < -1e9) {
    std::snprintf(out, size, "<>+/-1.0e+9");
  } else {
    const double magnitude = std::fabs(value);
    const double whole = std::floor(magnitude);
    // Truncated, never rounded: 2.675 (stored just below) shows as 2.67499.
    const double fraction = std::min(std::floor(std::fmod(magnitude, 1.0) * 100000.0), 99999.0);
    std::snprintf(out, size, "%s%d.%05d", value < 0 ? "-" : "", static_cast<int>(whole),
                  static_cast<int>(fraction));
  }
}

void FormatLogDate(const std::tm& local, char* out, std::size_t size) {
  if (std::strftime(out, size, "%A, %B/%d/%Y ", &local) == 0 && size > 0) out[0] = '\0';
}

void FormatLogTime(const std::tm& local, int milliseconds, char* out, std::size_t size) {
  std::snprintf(out, size, "%02d:%02d:%02d %03d\n", local.tm_hour, local.tm_min, local.tm_sec,
                milliseconds);
}
