#include "app/settings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <istream>
#include <locale>

#include "app/message_box.h"
#include "log/debug_log.h"
#include "log/log_format.h"

Settings settings;

namespace {

constexpr std::size_t kPortNameKept = 5;
constexpr std::size_t kKeyLineKept = 3;
// One more than "scheduled", so that a longer word does not match it.
constexpr std::size_t kKeyTimingKept = 10;

// Consumes one white-space separated item whole and keeps at most `keep`
// characters of it in `out` (which has room for keep + 1). An item that cannot
// be read, because the file has ended or an earlier read failed, leaves `out`
// empty. False when the item was longer than `keep`.
bool ReadText(std::istream& in, char* out, std::size_t keep) {
  std::size_t kept = 0;
  bool whole = true;
  std::istream::sentry sentry(in);  // skips white space; fails at the end
  if (sentry) {
    const auto& ctype = std::use_facet<std::ctype<char>>(in.getloc());
    std::streambuf* buffer = in.rdbuf();
    int c = buffer->sgetc();
    for (; c != std::char_traits<char>::eof(); c = buffer->snextc()) {
      const char ch = static_cast<char>(c);
      if (ctype.is(std::ctype_base::space, ch)) break;
      if (kept < keep) {
        out[kept++] = ch;
      } else {
        whole = false;
      }
    }
    if (c == std::char_traits<char>::eof()) in.setstate(std::ios_base::eofbit);
  }
  out[kept] = '\0';
  return whole;
}

void SkipLabel(std::istream& in) {
  char nothing[1];
  ReadText(in, nothing, 0);
}

// A stream read writes 0 or the type's limit into its target when it fails;
// the field must keep its value instead, so read into a temporary.
template <typename Number>
void ReadNumber(std::istream& in, Number& field) {
  Number value{};
  if (in >> value) field = value;
}

// Reads label/value pairs in file order and remembers the first value that
// could not be read. A failed read fails every later one, so that is the
// first value read with the stream failed.
class PairReader {
 public:
  explicit PairReader(std::istream& in) : in_(in) {}

  template <typename Value>
  void Number(const char* item, Value& field) {
    SkipLabel(in_);
    ReadNumber(in_, field);
    Note(item);
  }
  void Text(const char* item, char* out, std::size_t keep) {
    SkipLabel(in_);
    ReadText(in_, out, keep);
    Note(item);
  }
  const char* FirstUnread() const { return firstUnread_; }

 private:
  void Note(const char* item) {
    if (firstUnread_ == nullptr && in_.fail()) firstUnread_ = item;
  }
  std::istream& in_;
  const char* firstUnread_ = nullptr;
};

// The range of each tone setting, and why:
// - attenuation 0 to 60 dB: below 0 the peak would pass the largest 16-bit
//   sample; above 60 it would be under 33 steps, too coarse and too quiet
//   to hear as a tone.
// - frequency 100 to 4000 Hz, and at most a quarter of the sample rate: what
//   a headset plays; a cycle of at most 10 ms, which the tone may run on
//   past its fall; at least four samples to a cycle, well below half the rate.
// - rise and fall 0 to 1 s: far beyond what any keying speed needs; the
//   longest fall ends a second after key-up, and at any positive 32-bit
//   sample rate a length in samples, doubled, still fits a 32-bit count.
// A value outside is set to the nearest bound: the closest to what was asked,
// and a larger setting never gives less than a smaller one.
struct ToneRange {
  const char* item;
  double Settings::*field;
  double lowest, highest;
};
constexpr ToneRange kAttenuation{"Attenuation", &Settings::attenuation, 0.0, 60.0};
constexpr ToneRange kRiseTime{"RiseTime", &Settings::riseTime, 0.0, 1.0};
constexpr ToneRange kFallTime{"FallTime", &Settings::fallTime, 0.0, 1.0};
constexpr double kLowestFrequency = 100.0;
constexpr double kHighestFrequency = 4000.0;

// `value`, or the nearest of [lowest, highest], logged when it differs. When
// the range is empty the highest bound wins; a value that is not a number
// takes the lowest.
double Bounded(const char* item, double value, double lowest, double highest) {
  const double inUse = std::min(value >= lowest ? value : lowest, highest);
  if (inUse == value) return value;
  char asked[64], used[64], line[kLogLineArea];
  FormatLogReal(value, asked, sizeof asked);
  FormatLogReal(inUse, used, sizeof used);
  std::snprintf(line, sizeof line, "%s out of range: %s, using %s", item, asked, used);
  LogLine(line);
  return inUse;
}

void Bound(const ToneRange& range) {
  double& field = settings.*range.field;
  field = Bounded(range.item, field, range.lowest, range.highest);
}

// The named pairs after the eight. Names and words are matched without
// regard to case (ASCII only, whatever the locale), and the last pair of a
// name wins.

// Longer than every name and word, so a cut item never matches one; what an
// operator sees of an item the reader does not know, "..." marking a cut.
constexpr std::size_t kItemKept = 16;
constexpr std::size_t kItemShownArea = kItemKept + sizeof "...";

struct Item {
  char text[kItemKept + 1];
  bool whole;

  bool Is(const char* word) const {
    const char* at = text;
    for (; *at != '\0' && *word != '\0'; ++at, ++word) {
      if (Lower(*at) != Lower(*word)) return false;
    }
    return *at == *word;
  }
  bool Empty() const { return text[0] == '\0'; }
  // The item for a log line.
  void Shown(char (&out)[kItemShownArea]) const {
    std::snprintf(out, sizeof out, "%s%s", text, whole ? "" : "...");
  }

 private:
  static char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
};

Item ReadItem(std::istream& in) {
  Item item;
  item.whole = ReadText(in, item.text, kItemKept);
  return item;
}

// What reading the named pairs found, kept for the log, which opens later.
// Loading must not grow memory with the file, and a file may hold any number
// of bad pairs: the first few findings are kept whole and the rest only
// counted. The DahLine that had to move off the KeyLine has a line of its own,
// as it changes which line a paddle is on.
constexpr std::size_t kFindingsKept = 8;
constexpr std::size_t kFindingArea = 96;

class Findings {
 public:
  // The area to write the next finding into, or null when only counted.
  char* Next() {
    if (kept_ < kFindingsKept) return lines_[kept_++];
    if (dropped_ < INT32_MAX) ++dropped_;  // only a file of gigabytes reaches it
    return nullptr;
  }
  char* DahLineMoved() { return dahLineMoved_; }
  void Log() const {
    for (std::size_t i = 0; i < kept_; ++i) LogLine(lines_[i]);
    if (dropped_ > 0) {
      char line[kFindingArea];
      std::snprintf(line, sizeof line, "More settings findings not logged: %d", static_cast<int>(dropped_));
      LogLine(line);
    }
    if (dahLineMoved_[0] != '\0') LogLine(dahLineMoved_);
  }
  void Clear() {
    kept_ = 0;
    dropped_ = 0;
    dahLineMoved_[0] = '\0';
  }

 private:
  char lines_[kFindingsKept][kFindingArea];
  std::size_t kept_ = 0;
  int32_t dropped_ = 0;
  char dahLineMoved_[kFindingArea] = "";
};

constexpr Settings kDefaults{};

template <typename Value>
struct Word {
  const char* text;
  Value value;
};

constexpr Word<KeyTiming> kKeyTimings[] = {{"immediate", KeyTiming::Immediate},
                                           {"scheduled", KeyTiming::Scheduled}};
constexpr Word<KeyerMode> kKeyers[] = {{"straight", KeyerMode::Straight},
                                       {"iambicA", KeyerMode::IambicA},
                                       {"iambicB", KeyerMode::IambicB},
                                       {"ultimatic", KeyerMode::Ultimatic},
                                       {"bug", KeyerMode::Bug}};
// The dah paddle's lines as written; each is kept as its first three letters.
constexpr const char* kDahLines[] = {"CTS", "DSR", "RING", "RLSD"};

// A value missing at the end of the file: the default, with a finding.
bool HasValue(const char* name, const Item& value, const char* inUse, Findings& findings) {
  if (!value.Empty()) return true;
  if (char* line = findings.Next()) std::snprintf(line, kFindingArea, "%s has no value, using %s", name, inUse);
  return false;
}

template <typename Value, std::size_t count>
void ReadWord(const char* name, const Item& value, const Word<Value> (&words)[count], Value fallback,
              Value& field, Findings& findings) {
  const char* inUse = "";
  for (const Word<Value>& word : words) {
    if (word.value == fallback) inUse = word.text;
  }
  field = fallback;
  if (!HasValue(name, value, inUse, findings)) return;
  for (const Word<Value>& word : words) {
    if (value.Is(word.text)) {
      field = word.value;
      return;
    }
  }
  char shown[kItemShownArea];
  value.Shown(shown);
  if (char* line = findings.Next()) std::snprintf(line, kFindingArea, "%s not known: %s, using %s", name, shown, inUse);
}

// A whole number in decimal digits with an optional sign. Its size is held
// at a bound far beyond every range, so that a long one still reads as
// outside; so does one too long to be kept whole.
constexpr int32_t kLargestSize = 1000000;

bool WholeNumber(const Item& item, int32_t& value) {
  const char* text = item.text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  if (*text == '\0') return false;
  int32_t size = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
    size = std::min(size * 10 + (*text - '0'), kLargestSize);
  }
  if (!item.whole) size = kLargestSize;
  value = negative ? -size : size;
  return true;
}

void ReadBoundedNumber(const char* name, const Item& value, int32_t lowest, int32_t highest, int32_t fallback,
                       int32_t& field, Findings& findings) {
  char inUse[16];
  std::snprintf(inUse, sizeof inUse, "%d", static_cast<int>(fallback));
  field = fallback;
  if (!HasValue(name, value, inUse, findings)) return;
  int32_t number = 0;
  const char* finding = nullptr;
  if (!WholeNumber(value, number)) {
    finding = "not a whole number";
  } else if (number < lowest || number > highest) {
    finding = "out of range";
  } else {
    field = number;
    return;
  }
  char shown[kItemShownArea];
  value.Shown(shown);
  if (char* line = findings.Next()) std::snprintf(line, kFindingArea, "%s %s: %s, using %s", name, finding, shown, inUse);
}

void ReadDahLine(const Item& value, Settings& into, Findings& findings) {
  std::snprintf(into.dahLine, sizeof into.dahLine, "%s", kDefaults.dahLine);
  if (!HasValue("DahLine", value, kDefaults.dahLine, findings)) return;
  for (const char* name : kDahLines) {
    if (value.Is(name)) {
      std::snprintf(into.dahLine, sizeof into.dahLine, "%.*s", static_cast<int>(kKeyLineKept), name);
      return;
    }
  }
  char shown[kItemShownArea];
  value.Shown(shown);
  if (char* line = findings.Next())
    std::snprintf(line, kFindingArea, "DahLine not known: %s, using %s", shown, kDefaults.dahLine);
}

// Reads the value of the pair named `name`; false when the name is none of
// the named pairs' (the value is left unread).
bool ReadNamedPair(std::istream& in, const Item& name, Settings& into, Findings& findings) {
  if (name.Is("KeyTiming")) {
    ReadWord("KeyTiming", ReadItem(in), kKeyTimings, kDefaults.keyTiming, into.keyTiming, findings);
  } else if (name.Is("Keyer")) {
    ReadWord("Keyer", ReadItem(in), kKeyers, kDefaults.keyer, into.keyer, findings);
  } else if (name.Is("Speed")) {
    ReadBoundedNumber("Speed", ReadItem(in), kLowestKeyerSpeed, kHighestKeyerSpeed, kDefaults.keyerSpeed,
                      into.keyerSpeed, findings);
  } else if (name.Is("Weight")) {
    ReadBoundedNumber("Weight", ReadItem(in), kLowestKeyerWeight, kHighestKeyerWeight, kDefaults.keyerWeight,
                      into.keyerWeight, findings);
  } else if (name.Is("DahLine")) {
    ReadDahLine(ReadItem(in), into, findings);
  } else {
    return false;
  }
  return true;
}

// The keyer reads its two paddles on two lines; one line cannot be both.
void MoveDahLineOffKeyLine(Settings& into, Findings& findings) {
  if (into.keyer == KeyerMode::Straight || std::strcmp(into.dahLine, into.keyLine) != 0) return;
  const char* other = std::strcmp(into.keyLine, "CTS") == 0 ? "DSR" : "CTS";
  std::snprintf(findings.DahLineMoved(), kFindingArea, "DahLine same as KeyLine: %s, using %s", into.dahLine, other);
  std::snprintf(into.dahLine, sizeof into.dahLine, "%s", other);
}

// What loading found, kept for the log, which opens later.
const char* firstUnreadAtLoad = nullptr;
Findings findingsAtLoad;

// Reads the whole file; see ReadSettings.
const char* ReadAll(std::istream& in, Settings& into, Findings& findings) {
  in.imbue(std::locale::classic());
  PairReader read(in);
  read.Number("DeviceNumber", into.deviceNumber);
  read.Number("Attenuation", into.attenuation);
  read.Number("Frequency", into.frequency);
  read.Number("RiseTime", into.riseTime);
  read.Number("FallTime", into.fallTime);
  read.Text("PortName", into.portName, kPortNameKept);
  read.Text("KeyLine", into.keyLine, kKeyLineKept);
  read.Number("DebounceDelay", into.debounceDelay);
  // Files of sixteen items end here. Files of nine pairs had the key timing
  // as the ninth whatever its name: one whose name is not a named pair's
  // still schedules on the exact word "scheduled" alone, and is told of in
  // no line. Every later pair is a named one.
  into.keyTiming = KeyTiming::Immediate;
  for (bool ninth = true;; ninth = false) {
    const Item name = ReadItem(in);
    if (name.Empty()) break;
    if (ReadNamedPair(in, name, into, findings)) continue;
    if (ninth) {
      char keyTiming[kKeyTimingKept + 1];
      ReadText(in, keyTiming, kKeyTimingKept);
      into.keyTiming = std::strcmp(keyTiming, "scheduled") == 0 ? KeyTiming::Scheduled : KeyTiming::Immediate;
      continue;
    }
    SkipLabel(in);  // the unknown pair's value
    char shown[kItemShownArea];
    name.Shown(shown);
    if (char* line = findings.Next()) std::snprintf(line, kFindingArea, "Unknown setting %s: ignored", shown);
  }
  MoveDahLineOffKeyLine(into, findings);
  return read.FirstUnread();
}

}  // namespace

const char* KeyerModeName(KeyerMode mode) {
  switch (mode) {
    case KeyerMode::Straight: return "straight";
    case KeyerMode::IambicA: return "iambic A";
    case KeyerMode::IambicB: return "iambic B";
    case KeyerMode::Ultimatic: return "ultimatic";
    case KeyerMode::Bug: return "bug";
  }
  return "unknown";
}

const char* ReadSettings(std::istream& in, Settings& into) {
  Findings unused;
  return ReadAll(in, into, unused);
}

void LogSettingsFindings() {
  if (firstUnreadAtLoad != nullptr) {
    char line[kLogLineArea];
    std::snprintf(line, sizeof line, "Cannot read %s: later settings keep their defaults", firstUnreadAtLoad);
    LogLine(line);
    firstUnreadAtLoad = nullptr;  // told once
  }
  Bound(kAttenuation);
  Bound(kRiseTime);
  Bound(kFallTime);
  findingsAtLoad.Log();
  findingsAtLoad.Clear();  // told once
}

void LogKeyerSettings() {
  if (settings.keyer == KeyerMode::Straight) return;
  char line[kLogLineArea];
  std::snprintf(line, sizeof line, "Keyer: %s", KeyerModeName(settings.keyer));
  LogLine(line);
  LogInt("Keyer speed", settings.keyerSpeed);
  LogInt("Keyer weight", settings.keyerWeight);
}

double FrequencyInUse(double frequency, int32_t sampleRate) {
  const double quarterRate = static_cast<uint32_t>(sampleRate) / 4.0;
  settings.frequency =
      Bounded("Frequency", frequency, kLowestFrequency, std::min(kHighestFrequency, quarterRate));
  return settings.frequency;
}

bool LoadSettings() {
  std::ifstream file("config.ini");
  firstUnreadAtLoad = nullptr;
  findingsAtLoad.Clear();
  if (!file) return false;
  firstUnreadAtLoad = ReadAll(file, settings, findingsAtLoad);
  return true;
}

void InitSettings() {
  if (!LoadSettings()) {
    ShowMessageBox("Cannot find configuration file - using default values...",
                   "Configuration initializarion", MessageIcon::None);
  }
}
