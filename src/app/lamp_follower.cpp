#include "app/lamp_follower.h"

#include <windows.h>
#include <timeapi.h>

#include <atomic>

#include "app/app_state.h"
#include "log/debug_log.h"
#include "tone/key_output.h"
#include "tone/lamp.h"
#include "tone/performance_counter.h"

namespace {

constexpr DWORD kStopWaitMs = 250;

std::atomic<bool> following{false};
HANDLE followerThread = nullptr;
// The follower's 1 ms sleeps need the fine timer, which it holds while it
// runs: a default tick of 15.6 ms would make a 20 ms dit's lamp flicker late.
bool fineTimer = false;

DWORD WINAPI FollowLampThread(LPVOID context) {
  ToneGenerator& generator = *static_cast<ToneGenerator*>(context);
  bool lit = false;
  while (following.load(std::memory_order_acquire)) {
    if (FollowLamp(generator, ReadPerformanceCounter(), lit)) {
      appState.keyed.store(lit, std::memory_order_release);
      UpdateLamp();
    }
    Sleep(1);
  }
  return 0;
}

}  // namespace

void StartLampFollower(ToneGenerator& generator) {
  fineTimer = timeBeginPeriod(1) == TIMERR_NOERROR;
  following.store(true, std::memory_order_release);
  followerThread = CreateThread(nullptr, 0, FollowLampThread, &generator, 0, nullptr);
  if (followerThread == nullptr) {
    LogLine("Failed creating lamp follower thread");
    following.store(false);
    if (fineTimer) timeEndPeriod(1);
    fineTimer = false;
    return;
  }
  // Ahead of the ordinary work of the machine, so that the lamp keeps pace
  // with the tone when other programs are busy.
  SetThreadPriority(followerThread, THREAD_PRIORITY_ABOVE_NORMAL);
}

void StopLampFollower() {
  if (followerThread == nullptr) return;
  following.store(false, std::memory_order_release);
  if (WaitForSingleObject(followerThread, kStopWaitMs) == WAIT_OBJECT_0) {
    CloseHandle(followerThread);
  } else {
    // Still running: it may read the generator until the process ends.
    appState.threadOutlived.store(true, std::memory_order_release);
  }
  followerThread = nullptr;
  if (fineTimer) timeEndPeriod(1);
  fineTimer = false;
  appState.keyed.store(false, std::memory_order_release);
  UpdateLamp();
}
