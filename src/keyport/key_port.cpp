#include "keyport/key_port.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/settings.h"
#include "keyport/port_api.h"
#include "keyport/port_monitor.h"
#include "log/debug_log.h"
#include "tone/keying.h"

KeyPort* keyPort = nullptr;

namespace {

// RING and RLSD arrive as "RIN" and "RLS": the settings keep three letters.
const KeyLine keyLines[] = {
    {"CTS", "CTS", EV_CTS, MS_CTS_ON},
    {"DSR", "DSR", EV_DSR, MS_DSR_ON},
    {"RIN", "RING", EV_RING, MS_RING_ON},
    {"RLS", "RLSD", EV_RLSD, MS_RLSD_ON},
};

// The output lines that can supply the key, with the log line of a failed raise.
struct SupplyLine {
  DWORD raise;
  DWORD lower;
  const char* failure;
};
const SupplyLine supplyLines[] = {
    {SETDTR, CLRDTR, "Failed: SetDTR!"},
    {SETRTS, CLRRTS, "Failed: SetRTS!"},
};

bool IsPortName(const char* name) {
  return std::strncmp(name, "LPT", 3) == 0 || std::strncmp(name, "COM", 3) == 0;
}

// Ports numbered above 9 are reachable only through the device namespace.
// A name with no room left for the prefix stays as it is.
void AddDeviceNamespacePrefix(char* name, std::size_t size) {
  static const char prefix[] = "\\\\.\\";
  const std::size_t prefixLength = sizeof prefix - 1;
  const std::size_t length = std::strlen(name);
  // strtol, unlike atoi, has a defined result for a number out of range.
  if (std::strtol(name + 3, nullptr, 10) <= 9 || length + prefixLength >= size) return;
  std::memmove(name + prefixLength, name, length + 1);
  std::memcpy(name, prefix, prefixLength);
}

// The boxes come up while the main window is being created, before it has a
// handle that could own them.
void ShowError(const char* text) { portApi.messageBox(nullptr, text, "Error", MB_OK | MB_ICONERROR); }

uint32_t StatusBitOf(uint32_t eventMask) {
  for (const KeyLine& line : keyLines) {
    if (line.eventMask == eventMask) return line.statusBit;
  }
  return 0;
}

bool IsOpen(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

}  // namespace

const KeyLine* FindKeyLine(const char* setting) {
  for (const KeyLine& line : keyLines) {
    if (std::strcmp(setting, line.settingName) == 0) return &line;
  }
  return nullptr;
}

void SetupKeyPort() {
  const KeyLine* line = IsPortName(settings.portName) ? FindKeyLine(settings.keyLine) : nullptr;
  // The straight key's line is the dit paddle's in the keyer modes.
  const KeyLine* dahLine = settings.keyer == KeyerMode::Straight ? nullptr : FindKeyLine(settings.dahLine);
  if (line == nullptr || (settings.keyer != KeyerMode::Straight && dahLine == nullptr)) {
    LogLine("Invalid port params!");
    return;
  }
  keyPort = new KeyPort;
  if (dahLine != nullptr) {
    keyPort->paddleBits[static_cast<int>(Paddle::Dit)] = line->statusBit;
    keyPort->paddleBits[static_cast<int>(Paddle::Dah)] = dahLine->statusBit;
  }
  char text[80];
  if (!OpenKeyPort(line->eventMask | (dahLine != nullptr ? dahLine->eventMask : 0))) {
    FreeKeyPort();
    std::snprintf(text, sizeof text, "Failed opening port: %s", settings.portName);
    LogLine(text);
    return;
  }
  if (dahLine != nullptr) {
    std::snprintf(text, sizeof text, "Monitoring port %s for %s (dit) and %s (dah)", settings.portName,
                  line->logName, dahLine->logName);
  } else {
    std::snprintf(text, sizeof text, "Monitoring port %s for %s", settings.portName, line->logName);
  }
  LogLine(text);
  LogInt("Debounce delay", settings.debounceDelay);
  RaiseKeySupply();
  StartPortMonitor();
}

bool OpenKeyPort(uint32_t eventMask) {
  KeyPort& port = *keyPort;
  port.errorLogged = false;
  port.eventMask = eventMask;
  AddDeviceNamespacePrefix(settings.portName, sizeof settings.portName);
  port.portHandle = portApi.createFile(settings.portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (port.portHandle == INVALID_HANDLE_VALUE) {
    char text[64];
    std::snprintf(text, sizeof text, "Couldn't open port %s", settings.portName);
    ShowError(text);
    return false;
  }
  if (!portApi.setCommMask(port.portHandle, eventMask)) {
    ShowError("SetCommMask failed");
    return false;
  }
  port.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return true;
}

bool ReadKeyLine() { return (ReadKeyLines() & StatusBitOf(keyPort->eventMask)) != 0; }

uint32_t ReadKeyLines() {
  KeyPort& port = *keyPort;
  DWORD status = 0;
  if (!portApi.getCommModemStatus(port.portHandle, &status)) {
    if (!port.errorLogged) {
      LogLine("Failed: GetCommModemStatus!");
      port.errorLogged = true;
    }
    return 0;
  }
  return status;
}

void RaiseKeySupply() {
  for (const SupplyLine& line : supplyLines) {
    if (!portApi.escapeCommFunction(keyPort->portHandle, line.raise)) LogLine(line.failure);
  }
}

void LowerKeySupply() {
  for (const SupplyLine& line : supplyLines) portApi.escapeCommFunction(keyPort->portHandle, line.lower);
}

void FreeKeyPort() {
  if (keyPort->overlapped.hEvent != nullptr) CloseHandle(keyPort->overlapped.hEvent);
  if (IsOpen(keyPort->portHandle)) portApi.closeHandle(keyPort->portHandle);
  delete keyPort;
  keyPort = nullptr;
}
