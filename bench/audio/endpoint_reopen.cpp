// How soon a system endpoint that went away plays again: over the simulated
// endpoint of the tests, its engine signalling every period in real time and
// the library pausing between attempts as it does for real, from the moment
// the device went away (or came back) to the first fill call of the
// reopened stream.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <vector>

#include "asiohost.h"
#include "call_log.h"
#include "figures.h"
#include "simulated_endpoint.h"

namespace {

constexpr uint32_t kFrames = 128;

// Milliseconds from `moment` to the first fill call after it; -1 when none
// comes within five seconds.
double FirstCallAfter(const CallLog& log, int64_t moment) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  for (size_t seen = 0; Counter() - moment < 5 * frequency.QuadPart; Sleep(1)) {
    for (const size_t count = log.count.load(std::memory_order_acquire); seen < count; ++seen)
      if (log.starts[seen] > moment) return 1000.0 * (log.starts[seen] - moment) / frequency.QuadPart;
  }
  return -1;
}

// Plays entry `device` of the endpoint and times `runs` absences.
void Measure(SimulatedEndpoint& endpoint, int32_t device, const char* what, int runs,
             const std::function<int64_t(SimulatedEndpoint&)>& goAwayAndReturn) {
  CallLog log;
  char names[1024];
  ASIOGetDevices(names, sizeof names);
  ChannelDescriptor descriptor{0, 2 * kFrames, Stamp, 0, &log, 0};
  if (!ASIOInit(nullptr, device) || !ASIOCreateBuffers(1, 4) ||
      ASIOGetPrimaryBufferSizeSamples() != static_cast<int32_t>(kFrames) || !CreateVirtualChannel(&descriptor)) {
    std::printf("the simulated endpoint did not open\n");
    ASIOShutdown();
    return;
  }
  PreLoadBuffers(0);
  StartPlay(0);
  Sleep(100);
  std::vector<double> delays;
  int lost = 0;
  for (int run = 0; run < runs; ++run) {
    const double delay = FirstCallAfter(log, goAwayAndReturn(endpoint));
    if (delay < 0)
      ++lost;
    else
      delays.push_back(delay);
    Sleep(50);
  }
  ASIOShutdown();
  const Spread spread = SpreadOf(delays);
  std::printf("%-9s %-58s %3d runs: median %7.2f ms, worst %7.2f ms%s\n", device ? "exclusive" : "shared", what,
              runs, spread.median, spread.worst, lost ? " (some never played again)" : "");
}

int64_t InvalidatedAndBack(SimulatedEndpoint& endpoint) {
  const int64_t moment = Counter();
  endpoint.Invalidate();
  endpoint.Return(endpoint.mixRate);
  return moment;
}

int64_t RemovedAndBack(SimulatedEndpoint& endpoint) {
  const int64_t moment = Counter();
  endpoint.Remove();
  endpoint.Return(endpoint.mixRate);
  return moment;
}

int64_t RemovedForASecond(SimulatedEndpoint& endpoint) {
  endpoint.Remove();
  Sleep(1000);
  const int64_t moment = Counter();
  endpoint.Return(endpoint.mixRate);
  return moment;
}

}  // namespace

int main() {
  SetEnvironmentVariableA("ASIOHOST_DEVICES", nullptr);
  SimulatedEndpoint endpoint(L"{simulated}", L"Simulated");
  endpoint.engineMinimumFrames = kFrames;
  endpoint.exclusiveMinimum = 10000000 * kFrames / endpoint.mixRate + 1;
  SimulatedSystem system({&endpoint}, true);
  endpoint.RunClock();
  std::printf("From a device gone to the first fill call of its reopened stream (48000 Hz, %u frames)\n", kFrames);
  for (int32_t device : {0, 1}) {
    endpoint.signalsWhenGone = true;
    Measure(endpoint, device, "invalidated, engine still signalling, back at once", 50, InvalidatedAndBack);
    endpoint.signalsWhenGone = false;
    Measure(endpoint, device, "invalidated, engine quiet, back at once", 50, InvalidatedAndBack);
    Measure(endpoint, device, "removed (notified), back at once", 50, RemovedAndBack);
    Measure(endpoint, device, "removed for a second: from its return", 10, RemovedForASecond);
  }
  return 0;
}
