#include <windows.h>
#include <timeapi.h>

#include <cstdlib>

#include "app/folder_claim.h"
#include "app/lamp_follower.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "app/settings.h"
#include "audio/audio_host.h"
#include "audio/audio_output.h"
#include "keyport/port_monitor.h"
#include "log/debug_log.h"

namespace {

// Runs as a static initializer, before WinMain and before any window exists,
// so that the missing-file box comes first. A second start in the same folder
// ends here, before it has touched the settings, the log, the audio device or
// the port.
bool PrepareStart() {
  if (!ClaimWorkingFolder()) std::exit(0);
  InitSettings();
  return true;
}

[[maybe_unused]] const bool startPrepared = PrepareStart();

// Takes the keying machinery down in the reverse order of its creation: the
// monitor thread keys the tone generator, the lamp follower reads it, the
// audio thread fills from it, all write to the log, and the window's drawing
// objects, made first, go last. Each step copes with a part that never came
// up.
void Shutdown() {
  CloseKeyPort();
  StopLampFollower();
  CloseAudioOutput();
  CloseDebugLog();
  ReleaseDrawingObjects();
}

// Runs until the quit message and returns its exit code. A failed fetch ends
// the loop as well, instead of spinning on the error.
int RunMessageLoop() {
  MSG message;
  BOOL fetched;
  while ((fetched = GetMessageA(&message, nullptr, 0, 0)) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return fetched == 0 ? static_cast<int>(message.wParam) : 0;
}

// Brings the window up, runs the loop and takes everything down; returns the
// exit code.
int Run(HINSTANCE instance) {
  // Without the audio library Velkin still runs: keying and the lamp work.
  LoadAudioHost();
  if (!RegisterMainWindowClass(instance)) {
    ShowMessageBox("Error Registering Class!", "Error", MessageIcon::None);
    return 0;
  }
  HWND window = CreateMainWindow(instance);
  SetMainWindow(window);
  // Without a window there is no loop to run; what creation brought up is
  // still taken down.
  int exitCode = 0;
  if (window != nullptr) {
    ShowWindow(window, SW_SHOWDEFAULT);
    UpdateWindow(window);
    exitCode = RunMessageLoop();
  }
  LeaveWorkingFolder();
  Shutdown();
  return exitCode;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Sleeps of 1 ms (the debounce pause, the port monitor's stop) last 1 ms
  // instead of a whole default timer tick of 15.6 ms.
  const bool fineTimer = timeBeginPeriod(1) == TIMERR_NOERROR;
  const int exitCode = Run(instance);
  if (fineTimer) timeEndPeriod(1);
  return exitCode;
}
