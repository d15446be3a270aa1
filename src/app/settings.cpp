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
// empty.
void ReadText(std::istream& in, char* out, std::size_t keep) {
  std::size_t kept = 0;
  std::istream::sentry sentry(in);  // skips white space; fails at the end
  if (sentry) {
    const auto& ctype = std::use_facet<std::ctype<char>>(in.getloc());
    std::streambuf* buffer = in.rdbuf();
    int c = buffer->sgetc();
    for (; c != std::char_traits<char>::eof(); c = buffer->snextc()) {
      const char ch = static_cast<char>(c);
      if (ctype.is(std::ctype_base::space, ch)) break;
      if (kept < keep) out[kept++] = ch;
    }
    if (c == std::char_traits<char>::eof()) in.setstate(std::ios_base::eofbit);
  }
  out[kept] = '\0';
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

// What loading found, kept for the log, which opens later.
const char* firstUnreadAtLoad = nullptr;

}  // namespace

const char* ReadSettings(std::istream& in, Settings& into) {
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
  // Files of sixteen items end here; any word but "scheduled", or none,
  // keeps the immediate timing.
  char keyTiming[kKeyTimingKept + 1];
  SkipLabel(in);
  ReadText(in, keyTiming, kKeyTimingKept);
  into.keyTiming = std::strcmp(keyTiming, "scheduled") == 0 ? KeyTiming::Scheduled : KeyTiming::Immediate;
  return read.FirstUnread();
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
  if (!file) return false;
  firstUnreadAtLoad = ReadSettings(file, settings);
  return true;
}

void InitSettings() {
  if (!LoadSettings()) {
    ShowMessageBox("Cannot find configuration file - using default values...",
                   "Configuration initializarion", MessageIcon::None);
  }
}
