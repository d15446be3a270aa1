#pragma once
// The eight values an operator sets in config.ini, read once at start-up.

#include <cstdint>
#include <iosfwd>

struct Settings {
  int32_t deviceNumber = 0;
  double attenuation = 3.0;   // dB below the 16-bit peak
  double frequency = 1000.0;  // Hz
  double riseTime = 0.01;     // s
  double fallTime = 0.01;     // s
  char portName[16] = "COM1"; // room for the "\\.\" prefix the key port may add
  char keyLine[8] = "DSR";
  int32_t debounceDelay = 0;  // ms
};

extern Settings settings;

// Reads config.ini from the working directory into `settings`. False when the
// file cannot be opened (nothing changed); true otherwise, whatever it holds.
bool LoadSettings();

// Reads the sixteen items of a settings file from `in` into `into`.
void ReadSettings(std::istream& in, Settings& into);

// Loads the settings, telling the operator when the file is missing.
// Runs once, before the main entry.
void InitSettings();
