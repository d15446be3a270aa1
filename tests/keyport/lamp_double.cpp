#include "lamp_double.h"

#include "tone/lamp.h"

std::atomic<int> lampDraws{0};
std::atomic<int> lampClears{0};
std::atomic<DWORD> lampClearThread{0};
std::atomic<HANDLE> lampClearGate{nullptr};

void DrawLamp() { ++lampDraws; }

void ClearLamp() {
  lampClearThread = GetCurrentThreadId();
  ++lampClears;
  if (HANDLE gate = lampClearGate.load()) WaitForSingleObject(gate, INFINITE);
}
