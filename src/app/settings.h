#pragma once
// The values an operator sets in config.ini, read once at start-up: eight
// label/value pairs, then optional named pairs (the key timing and the
// keyer's), in any order.

#include <cstdint>
#include <iosfwd>

#include "tone/keyer.h"

// When a tone starts and falls: as soon as the audio side learns of a key
// edge, or on the samples that match the edge's stamp, one fixed delay later.
enum class KeyTiming : uint8_t { Immediate, Scheduled };

struct Settings {
  int32_t deviceNumber = 0;
  double attenuation = 3.0;   // dB below the 16-bit peak
  double frequency = 1000.0;  // Hz
  double riseTime = 0.01;     // s
  double fallTime = 0.01;     // s
  char portName[16] = "COM1"; // room for the "\\.\" prefix the key port may add
  char keyLine[8] = "DSR";
  int32_t debounceDelay = 0;  // ms
  KeyTiming keyTiming = KeyTiming::Immediate;
  KeyerMode keyer = KeyerMode::Straight;
  int32_t keyerSpeed = 20;   // words per minute: a dit is 1.2 s / speed
  int32_t keyerWeight = 50;  // 50 is the standard keying
  char dahLine[8] = "CTS";   // the dah paddle's line, kept as keyLine is
};

// The mode as the log and the window show it: "iambic B".
const char* KeyerModeName(KeyerMode mode);

extern Settings settings;

// Reads config.ini from the working directory into `settings`. False when the
// file cannot be opened (nothing changed); true otherwise, whatever it holds.
bool LoadSettings();

// Reads the sixteen items of a settings file, then the named pairs after them,
// from `in` into `into`. Returns the name of the first of the eight values that
// could not be read (reading stops there, named pairs included), or null when
// all eight were read.
// The names KeyTiming, Keyer, Speed, Weight and DahLine, and their words, are
// read whatever their case. A pair with a word not known, a number out of its
// range or not whole, or no value sets its default; one with an unknown name
// is passed over. None of them stops the reading. The key timing is immediate
// unless a pair sets it; a ninth pair whose name is unknown is still read as
// the key timing, which only the exact word "scheduled" schedules. In the
// keyer modes a DahLine equal to the KeyLine moves to DSR, or to CTS when the
// KeyLine is CTS.
const char* ReadSettings(std::istream& in, Settings& into);

// Once the debug log is open: logs the first value that loading could not
// read, sets each of the attenuation, rise time and fall time that lies
// outside its range to its nearest bound, with a line naming the value used,
// and logs what loading found in the named pairs, each line naming the pair
// and the value used. The findings of loading are logged once.
void LogSettingsFindings();

// In the keyer modes, the lines "Keyer: ...", "Keyer speed: ..." and
// "Keyer weight: ..."; nothing in the straight mode.
void LogKeyerSettings();

// The frequency in use at `sampleRate` (taken as unsigned): `frequency`, or
// its nearest bound with a line in the log when it lies outside 100 to
// 4000 Hz or above a quarter of the rate. Also written to settings.frequency.
double FrequencyInUse(double frequency, int32_t sampleRate);

// Loads the settings, telling the operator when the file is missing.
// Runs once, before the main entry.
void InitSettings();
