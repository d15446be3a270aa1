#pragma once
// The serial port whose modem-status input carries the telegraph key.

#include <cstdint>

// Validates the port settings, opens the port and starts the port monitor.
void SetupKeyPort();
bool OpenKeyPort(uint32_t eventMask);
// True when the watched line is active.
bool ReadKeyLine();
