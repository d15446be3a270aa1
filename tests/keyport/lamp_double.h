#pragma once
// The lamp, which the window provides in the program: here it counts.

#include <windows.h>

#include <atomic>

extern std::atomic<int> lampDraws;
extern std::atomic<int> lampClears;
// The thread of the last clear.
extern std::atomic<DWORD> lampClearThread;
