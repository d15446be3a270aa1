#pragma once
// The platform's high-resolution counter.

#include <cstdint>

int64_t ReadPerformanceCounter();
int64_t ReadPerformanceFrequency();  // counts per second
