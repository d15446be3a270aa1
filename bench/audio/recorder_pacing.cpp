// How evenly the WAV file recorder calls the fill callback: callbacks per
// second against rate / buffer, the spread of the intervals between calls
// around the buffer period, how far the calls move off the ideal grid from
// the first second to the last (drift), and the processor time the recorder
// spends to keep the pace.

#include <windows.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "asiohost.h"
#include "call_log.h"
#include "figures.h"

namespace {

double ProcessorSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](FILETIME t) { return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e7; };
  return seconds(kernel) + seconds(user);
}

void Measure(uint32_t rate, uint32_t frames, DWORD milliseconds) {
  SetEnvironmentVariableA("ASIOHOST_RATE", std::to_string(rate).c_str());
  SetEnvironmentVariableA("ASIOHOST_BUFFER", std::to_string(frames).c_str());
  CallLog log;
  char names[1024];
  ASIOGetDevices(names, sizeof names);
  if (!ASIOInit(nullptr, 0) || !ASIOCreateBuffers(1, 4)) {
    std::printf("the recorder did not open\n");
    return;
  }
  ChannelDescriptor descriptor{};
  descriptor.sampleCount = 2 * frames;
  descriptor.fillCallback = Stamp;
  descriptor.callbackContext = &log;
  CreateVirtualChannel(&descriptor);
  const double cpuBefore = ProcessorSeconds();
  StartPlay(0);  // no preload: every call is a paced one
  Sleep(milliseconds);
  ASIOShutdown();
  const double cpu = ProcessorSeconds() - cpuBefore;

  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  const double countsPerMicro = static_cast<double>(frequency.QuadPart) / 1e6;
  const size_t calls = log.count.load(std::memory_order_acquire);
  const double period = 1e6 * frames / rate;
  std::vector<double> deviations;
  for (size_t i = 1; i < calls; ++i)
    deviations.push_back(std::fabs((log.starts[i] - log.starts[i - 1]) / countsPerMicro - period));
  const double span = (log.starts[calls - 1] - log.starts[0]) / countsPerMicro;
  const double measuredRate = (calls - 1) / span * 1e6;
  // Drift: how far the calls have moved off the ideal grid from the first
  // second to the last, each located by its median offset, so that a single
  // late call at either end does not count.
  auto gridOffset = [&](size_t from, size_t to) {
    std::vector<double> offsets;
    for (size_t i = from; i < to; ++i) offsets.push_back((log.starts[i] - log.starts[0]) / countsPerMicro - i * period);
    return SpreadOf(offsets).median;
  };
  const size_t perSecond = rate / frames;
  const double drift = gridOffset(calls - perSecond, calls) - gridOffset(0, perSecond);
  const Spread jitter = SpreadOf(deviations);
  std::printf("%6u Hz %5u frames (period %7.1f us), %5.1f s: %8.2f calls/s against %8.2f (%+.3f %%); "
              "|interval - period| us: median %6.1f, p99 %7.1f, worst %7.1f; drift %+7.1f us; cpu %4.1f %%\n",
              rate, frames, period, milliseconds / 1000.0, measuredRate, 1.0 * rate / frames,
              100.0 * (measuredRate * frames / rate - 1.0), jitter.median, jitter.p99, jitter.worst, drift,
              100.0 * cpu / (milliseconds / 1000.0));
}

}  // namespace

int main() {
  const std::string wav = std::string(getenv("TEMP") ? getenv("TEMP") : ".") + "\\velkin-pacing.wav";
  SetEnvironmentVariableA("ASIOHOST_DEVICES", "recorder");
  SetEnvironmentVariableA("ASIOHOST_WAV", wav.c_str());
  std::printf("WAV file recorder pacing (callback stamps on the performance counter)\n");
  Measure(48000, 128, 10000);
  Measure(48000, 64, 5000);
  Measure(48000, 512, 5000);
  Measure(44100, 256, 5000);
  DeleteFileA(wav.c_str());
  return 0;
}
