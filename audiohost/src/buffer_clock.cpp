#include "buffer_clock.h"

#include <windows.h>
#include <winternl.h>

namespace {

using DelayExecution = NTSTATUS(NTAPI*)(BOOLEAN alertable, PLARGE_INTEGER interval);

// The system's sleep in 100 ns units. Sleep() itself rounds to milliseconds.
DelayExecution FindDelayExecution() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll ? reinterpret_cast<DelayExecution>(
                     reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDelayExecution")))
               : nullptr;
}

const DelayExecution delayExecution = FindDelayExecution();

}  // namespace

int64_t ReadCounter() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

int64_t CounterFrequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

int64_t BufferDeadline(const BufferClock& clock, uint64_t index) {
  if (clock.sampleRate == 0) return clock.origin;
  const uint64_t frames = index * clock.frames;
  const uint64_t seconds = frames / clock.sampleRate;
  const uint64_t rest = frames % clock.sampleRate;
  const uint64_t frequency = static_cast<uint64_t>(clock.frequency);
  return clock.origin + static_cast<int64_t>(seconds * frequency + rest * frequency / clock.sampleRate);
}

DeadlineWaiter::DeadlineWaiter(int64_t frequency, int64_t longestMargin)
    : frequency_(frequency),
      margin_(frequency / 5000),  // 200 µs until the first sleeps have been seen
      shortestMargin_(frequency / 20000),
      longestMargin_(longestMargin > shortestMargin_ ? longestMargin : shortestMargin_) {}

void DeadlineWaiter::Sleep(int64_t counts) {
  const int64_t hundredNs = counts * 10000000 / frequency_;
  if (delayExecution) {
    LARGE_INTEGER interval;
    interval.QuadPart = -hundredNs;  // negative: relative to now
    delayExecution(FALSE, &interval);
  } else {
    ::Sleep(static_cast<DWORD>(hundredNs / 10000));
  }
}

void DeadlineWaiter::WaitUntil(int64_t deadline) {
  const int64_t now = ReadCounter();
  const int64_t sleepFor = deadline - now - margin_;
  if (sleepFor > 0) {
    Sleep(sleepFor);
    const int64_t oversleep = ReadCounter() - (now + sleepFor);
    // Move a quarter of the way toward a later wake, and slowly back after it:
    // one wake that the scheduler delayed does not set the spin for long.
    margin_ += oversleep > margin_ ? (oversleep - margin_) / 4 : -((margin_ - oversleep) / 16);
    if (margin_ < shortestMargin_) margin_ = shortestMargin_;
    if (margin_ > longestMargin_) margin_ = longestMargin_;
  }
  while (ReadCounter() < deadline) YieldProcessor();
}
