#pragma once
// A fill callback for the benchmarks that writes silence and stamps the
// start of every call on the performance counter.

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

struct CallLog {
  std::vector<int64_t> starts = std::vector<int64_t>(1 << 20);
  std::atomic<size_t> count{0};
};

inline int64_t Counter() {
  LARGE_INTEGER value;
  QueryPerformanceCounter(&value);
  return value.QuadPart;
}

// The fill callback; `context` is the CallLog.
inline void Stamp(int16_t* buffer, uint32_t count, void* context) {
  auto& log = *static_cast<CallLog*>(context);
  const int64_t start = Counter();
  for (uint32_t i = 0; i < count; ++i) buffer[i] = 0;
  const size_t call = log.count.load(std::memory_order_relaxed);
  if (call < log.starts.size()) log.starts[call] = start;
  log.count.store(call + 1, std::memory_order_release);
}
