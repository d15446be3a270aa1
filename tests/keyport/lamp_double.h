#pragma once
// The lamp, which the window provides in the program: here it counts, and a
// clear can be held up the way a repaint waits for a busy GUI thread.

#include <windows.h>

#include <atomic>

extern std::atomic<int> lampDraws;
extern std::atomic<int> lampClears;
// The thread of the last clear.
extern std::atomic<DWORD> lampClearThread;
// While not null and not signalled, ClearLamp waits for it.
extern std::atomic<HANDLE> lampClearGate;
