#include "app/settings.h"

#include <fstream>
#include <istream>
#include <cstring>
#include <locale>

#include "app/message_box.h"

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

}  // namespace

void ReadSettings(std::istream& in, Settings& into) {
  in.imbue(std::locale::classic());
  SkipLabel(in);
  ReadNumber(in, into.deviceNumber);
  SkipLabel(in);
  ReadNumber(in, into.attenuation);
  SkipLabel(in);
  ReadNumber(in, into.frequency);
  SkipLabel(in);
  ReadNumber(in, into.riseTime);
  SkipLabel(in);
  ReadNumber(in, into.fallTime);
  SkipLabel(in);
  ReadText(in, into.portName, kPortNameKept);
  SkipLabel(in);
  ReadText(in, into.keyLine, kKeyLineKept);
  SkipLabel(in);
  ReadNumber(in, into.debounceDelay);
  // Files of sixteen items end here; any word but "scheduled" keeps the
  // immediate timing.
  SkipLabel(in);
  char keyTiming[kKeyTimingKept + 1];
  ReadText(in, keyTiming, kKeyTimingKept);
  into.keyTiming = std::strcmp(keyTiming, "scheduled") == 0 ? KeyTiming::Scheduled : KeyTiming::Immediate;
}

bool LoadSettings() {
  std::ifstream file("config.ini");
  if (!file) return false;
  ReadSettings(file, settings);
  return true;
}

void InitSettings() {
  if (!LoadSettings()) {
    ShowMessageBox("Cannot find configuration file - using default values...",
                   "Configuration initializarion", MessageIcon::None);
  }
}
