#pragma once
// The port monitor thread: turns changes of the watched line into key-down
// and key-up events.

void StartPortMonitor();
void StopPortMonitor();
// Stops the monitor (within a bounded wait) and closes the key port.
void CloseKeyPort();
