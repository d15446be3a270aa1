#pragma once
// The port monitor thread: turns changes of the watched line into key-down
// and key-up events, or in the keyer modes changes of the two paddle lines
// into the paddles' edges.

#include <windows.h>

#include <atomic>

#include "tone/keying.h"

// True while the monitor is wanted; the thread leaves once it finds it false.
extern std::atomic<bool> monitorRunning;
// The running monitor; null when none was started and after it has stopped.
// Its handle is signalled once the thread has returned, and so touches
// nothing more: that is how the stop learns the thread's end.
extern HANDLE monitorThread;

// Where the monitor sends the paddles' edges: the keying's PaddleDown and
// PaddleUp, unless a test has put its own in their place.
struct PaddleKeying {
  void (*down)(Paddle, PaddleSource);
  void (*up)(Paddle, PaddleSource);
};
extern PaddleKeying paddleKeying;

// Starts the thread for the open key port.
void StartPortMonitor();
// Ends when the monitor is no longer wanted or the port fails, and gives the
// key-up the line still owes (in the keyer modes, the paddle-up of each line
// that holds its paddle) before it returns.
DWORD WINAPI PortMonitorThread(LPVOID);
// Waits at most one 1 ms sleep and 250 waits of 1 ms for the thread to end.
// True when it has ended (or none was started). False when the bound ran out
// first: the thread may still run, so its handle is kept.
bool StopPortMonitor();
// Stops the monitor, lowers the key's supply and closes the key port. When
// the monitor outlives the bounded wait, the port and its record stay alive
// for the rest of the process and `threadOutlived` is set; calling again
// once the thread has ended tidies them up.
void CloseKeyPort();
