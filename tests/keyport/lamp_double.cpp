#include "lamp_double.h"

#include "app/app_state.h"
#include "tone/lamp.h"

std::atomic<int> lampDraws{0};
std::atomic<int> lampClears{0};
std::atomic<DWORD> lampClearThread{0};

void UpdateLamp() {
  if (appState.keyed.load()) {
    ++lampDraws;
    return;
  }
  lampClearThread = GetCurrentThreadId();
  ++lampClears;
}
