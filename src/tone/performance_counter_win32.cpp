#include <windows.h>

#include "tone/performance_counter.h"

int64_t ReadPerformanceCounter() {
  LARGE_INTEGER value{};
  QueryPerformanceCounter(&value);
  return value.QuadPart;
}

int64_t ReadPerformanceFrequency() {
  LARGE_INTEGER value{};
  QueryPerformanceFrequency(&value);
  return value.QuadPart;
}
