#pragma once
// The serial port whose modem-status input carries the telegraph key.
// Nothing is ever sent or received on its data lines.

#include <windows.h>

#include <cstdint>

// One of the four modem-status inputs a key can be wired to.
struct KeyLine {
  const char* settingName;  // the three letters the settings hold
  const char* logName;
  uint32_t eventMask;  // the comm event that reports a change of the line
  uint32_t statusBit;  // the line's bit in the modem status word
};

// The open port. Created by SetupKeyPort and freed by CloseKeyPort; the port
// monitor thread reads it on every pass.
struct KeyPort {
  HANDLE portHandle = nullptr;
  OVERLAPPED overlapped{};  // reused by every comm-event wait; hEvent is the wait event
  uint32_t eventMask = 0;
  // In the keyer modes, the status bits of the dit paddle's line and the dah
  // paddle's, indexed by Paddle; both 0 in the straight mode.
  uint32_t paddleBits[2] = {};
  bool errorLogged = false;  // a failed modem-status read has been logged
};

// The key port, null while none is open. Only the GUI thread changes it, and
// only while no monitor thread can be reading it.
extern KeyPort* keyPort;

// The line whose setting is exactly `setting` (case matters), or null.
const KeyLine* FindKeyLine(const char* setting);

// Validates the port settings, opens the port and starts the port monitor:
// for the key line, or in the keyer modes for the key line as the dit
// paddle's and the dah line as the dah paddle's. Runs once, while the main
// window is being created.
void SetupKeyPort();
// Opens the port named in the settings for `keyPort`, watching the lines of
// `eventMask`. False, after telling the operator, when it cannot.
bool OpenKeyPort(uint32_t eventMask);
// True when the watched line is active. A failed read counts as inactive.
bool ReadKeyLine();
// The modem status word; a failed read counts as every line inactive.
uint32_t ReadKeyLines();
// The key's supply: the usual wiring takes it from DTR or RTS, which would
// otherwise stay however the driver or the last program left them. Raising
// logs each line that cannot be raised (some adapters lack one) and goes on;
// lowering, just before the port closes, has nothing left to report to.
void RaiseKeySupply();
void LowerKeySupply();
// Closes the wait event and the port handle, whichever exist, frees the
// record and clears `keyPort`.
void FreeKeyPort();
