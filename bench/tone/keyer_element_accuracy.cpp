// How exactly the keyer's marks and the spaces inside a character come out,
// against the audio buffer size, in both key timings.
//
// Random characters of paddle holds, squeezes and taps go through the real
// keying path (PaddleDown, PaddleUp) and FillBuffer on the simulated device
// of the scheduled keying tests: a drifting device clock, fill calls that
// wake late now and then and catch up at once. Each mark is read off the
// keying the audio thread queues for the lamp (each change stamped with its
// sample's counter value, which the call's own counter value turns back into
// a frame), and its length compared with the exact number of samples of a
// dit or a dah; each space inside a character with the exact space. The
// sound is read as well: a tone from its first non-zero sample to its last,
// each tone's onset against the one before it in the character (a whole
// element, mark and space), and its length less its element's mark, which is
// the same for every tone when every element sounds alike.
//
// The characters are far enough apart that the keyer is idle between them
// whatever the timing does to the edges (at most two elements follow the
// last release, which the immediate timing may see up to a buffer and a late
// wake-up late), so a space of 2 units or more ends a character.
//
//   keyer_element_accuracy [characters per row]

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "app/app_state.h"
#include "app/settings.h"
#include "counter_double.h"
#include "lamp_marks.h"
#include "simulated_device.h"
#include "tone/fill_buffer.h"
#include "tone/key_clock.h"
#include "tone/key_schedule.h"
#include "tone/keying.h"
#include "tone/tone_generator.h"

namespace {

constexpr int32_t kRate = 48000;
constexpr int32_t kSpeed = 25;
constexpr double kUnit = 1.2 / kSpeed;  // seconds
// The clock model of the scheduled timing settles before the first character.
constexpr double kSettle = 20.0;

struct PaddleEdge {
  double at;  // seconds
  Paddle paddle;
  bool down;
};

// `count` characters from `start` on: a paddle held alone, two squeezed
// (the second closing up to two units after the first, each let go on its
// own), or one held while the other is tapped; held 0.3 to 10 units, and
// the next character 12 to 15 units after the last release.
std::vector<PaddleEdge> RandomCharacters(int count, double start, std::mt19937_64& random) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto within = [&](double from, double to) { return from + (to - from) * unit(random); };
  std::vector<PaddleEdge> edges;
  double t = start;
  for (int c = 0; c < count; ++c) {
    const Paddle first = unit(random) < 0.5 ? Paddle::Dit : Paddle::Dah;
    const Paddle other = first == Paddle::Dit ? Paddle::Dah : Paddle::Dit;
    const double kind = unit(random);
    double end;
    if (kind < 0.35) {  // held alone
      end = t + within(0.3, 10.0) * kUnit;
      edges.insert(edges.end(), {{t, first, true}, {end, first, false}});
    } else if (kind < 0.8) {  // squeezed
      const double second = t + within(0.0, 2.0) * kUnit;
      const double firstUp = second + within(0.2, 8.0) * kUnit;
      const double otherUp = second + within(0.2, 8.0) * kUnit;
      edges.insert(edges.end(),
                   {{t, first, true}, {second, other, true}, {firstUp, first, false}, {otherUp, other, false}});
      end = std::max(firstUp, otherUp);
    } else {  // the other tapped while one is held
      const double held = within(2.0, 10.0) * kUnit;
      const double tap = t + within(0.0, held / kUnit - 0.5) * kUnit;
      const double tapUp = tap + within(0.1, 1.0) * kUnit;
      edges.insert(edges.end(), {{t, first, true}, {tap, other, true}, {tapUp, other, false}, {t + held, first, false}});
      end = std::max(t + held, tapUp);
    }
    t = end + within(12.0, 15.0) * kUnit;
  }
  std::stable_sort(edges.begin(), edges.end(), [](const PaddleEdge& a, const PaddleEdge& b) { return a.at < b.at; });
  return edges;
}

int64_t Ticks(double seconds) { return std::llround(seconds * CounterDouble::kFrequency); }

struct Keyed {
  std::vector<Span> marks;  // as queued for the lamp
  std::vector<Span> tones;  // as heard: first to last non-zero sample
  // Per character: where its first paddle closed on the device's clock, in
  // samples, plus the delay the timing states (none in the immediate).
  std::vector<double> due;
};

// The tones of a buffer: a tone ends where a hundred zero samples follow its
// last non-zero one (inside a tone only its zero crossings and the first and
// last steps of its slopes are zero).
class ToneReader {
 public:
  explicit ToneReader(std::vector<Span>& tones) : tones_(tones) {}
  void Read(const int16_t* samples, uint32_t frames, uint64_t first) {
    for (uint32_t i = 0; i < frames; ++i) {
      if (samples[i] == 0) continue;
      const uint64_t frame = first + i;
      if (tones_.empty() || frame - last_ > kQuiet) tones_.push_back({frame, 0});
      last_ = frame;
      tones_.back().length = frame - tones_.back().start + 1;
    }
  }

 private:
  static constexpr uint64_t kQuiet = 100;
  std::vector<Span>& tones_;
  uint64_t last_ = 0;
};

ToneGenerator* Install(KeyerMode mode, bool scheduled) {
  ToneGenerator* g = CreateToneGenerator();
  g->params.sampleRate = kRate;
  ComputeToneParameters(*g, {3.0, 1000.0, 0.01, 0.01, scheduled, mode, kSpeed, 50});
  appState.toneGenerator = g;
  return g;
}

void Remove(ToneGenerator* g) {
  appState.toneGenerator = nullptr;
  DestroyToneGenerator(g);
}

// How long a straight key press of `samples` samples sounds, less its
// length: what every element of that mark should sound like. The press's
// edges are met by one fill call that holds the whole tone.
int64_t HeardStraight(uint32_t samples) {
  ToneGenerator* g = Install(KeyerMode::Straight, false);
  counter.now = 0;
  KeyDown();
  counter.now = Ticks(static_cast<double>(samples) / kRate);
  KeyUp();
  const uint32_t frames = 2 * samples;
  std::vector<int16_t> buffer(2 * frames);
  FillBuffer(buffer.data(), 2 * frames, g);
  std::vector<Span> tones;
  ToneReader(tones).Read(buffer.data(), frames, 0);
  Remove(g);
  return tones.size() == 1 ? static_cast<int64_t>(tones[0].length) - samples : INT64_MIN;
}

Keyed Key(const std::vector<PaddleEdge>& edges, KeyerMode mode, bool scheduled, uint32_t buffer) {
  ToneGenerator* g = Install(mode, scheduled);
  const SimulatedDevice device{.rate = kRate, .buffer = buffer};
  FillCalls calls(device, buffer + 11);
  std::vector<int16_t> samples(2 * buffer);
  Keyed keyed;
  ToneReader reader(keyed.tones);
  const double delay = scheduled ? ScheduleDelayFrames(*g, buffer) : 0.0;
  int closed = 0;
  size_t next = 0;
  const double end = edges.back().at + 2.0;
  for (uint64_t k = 0; device.TimeOfSample(static_cast<double>(k) * buffer) < end; ++k) {
    const double call = calls.Next(k);
    for (; next < edges.size() && edges[next].at < call; ++next) {
      counter.now = Ticks(edges[next].at);
      if (edges[next].down && closed == 0) keyed.due.push_back(device.SampleAt(edges[next].at) + delay);
      closed += edges[next].down ? 1 : -1;
      edges[next].down ? PaddleDown(edges[next].paddle, PaddleSource::Keyboard)
                       : PaddleUp(edges[next].paddle, PaddleSource::Keyboard);
    }
    counter.now = Ticks(call);
    FillBuffer(samples.data(), 2 * buffer, g);
    reader.Read(samples.data(), buffer, k * buffer);
    TakeLampMarks(*g, counter.now, k * buffer, keyed.marks);
  }
  Remove(g);
  return keyed;
}

// The exact lengths in samples at weight 50.
constexpr int64_t kDit = int64_t{kRate} * 12 / 10 / kSpeed, kDah = 3 * kDit, kSpace = kDit;

struct Errors {
  int count = 0, nonZero = 0;
  int64_t largest = 0;  // |error|
  void Add(int64_t error) {
    ++count;
    nonZero += error != 0;
    largest = std::max(largest, std::abs(error));
  }
};

int64_t Signed(uint64_t value) { return static_cast<int64_t>(value); }

// The element nearest `length` samples of mark: its exact mark.
int64_t NearestMark(int64_t length) { return std::abs(length - kDit) < std::abs(length - kDah) ? kDit : kDah; }

struct Figures {
  int characters = 0;
  Errors marks, spaces;
  double earliest = 1e9, latest = -1e9;  // each character's first mark less its due sample
  Errors onsets;  // heard: onset to onset inside a character, less the element
  int64_t shortest = INT64_MAX, longest = INT64_MIN;  // heard: length less the mark
};

// A gap of this many samples or more between two marks ends a character.
constexpr int64_t kCharacterGap = 2 * kDit;

Figures Measure(const Keyed& keyed) {
  Figures f;
  const std::vector<Span>& marks = keyed.marks;
  for (size_t i = 0; i < marks.size(); ++i) {
    const int64_t length = Signed(marks[i].length);
    f.marks.Add(length - NearestMark(length));
    const int64_t space = i == 0 ? kCharacterGap : Signed(marks[i].start) - Signed(marks[i - 1].start + marks[i - 1].length);
    if (space >= kCharacterGap) {
      if (static_cast<size_t>(f.characters) < keyed.due.size()) {
        const double late = static_cast<double>(marks[i].start) - keyed.due[f.characters];
        f.earliest = std::min(f.earliest, late);
        f.latest = std::max(f.latest, late);
      }
      ++f.characters;
    } else {
      f.spaces.Add(space - kSpace);
    }
  }
  const std::vector<Span>& tones = keyed.tones;
  for (size_t i = 0; i < tones.size(); ++i) {
    const int64_t mark = NearestMark(Signed(tones[i].length));
    f.shortest = std::min(f.shortest, Signed(tones[i].length) - mark);
    f.longest = std::max(f.longest, Signed(tones[i].length) - mark);
    if (i == 0) continue;
    const int64_t gap = Signed(tones[i].start) - Signed(tones[i - 1].start + tones[i - 1].length);
    const int64_t before = NearestMark(Signed(tones[i - 1].length));
    if (gap < kCharacterGap) f.onsets.Add(Signed(tones[i].start - tones[i - 1].start) - (before + kSpace));
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const int characters = argc > 1 ? std::atoi(argv[1]) : 1000;
  ResetKeyClock();
  const int64_t straightDit = HeardStraight(kDit), straightDah = HeardStraight(kDah);
  std::mt19937_64 random(20261209);
  std::printf("Keyer at %d wpm, weight 50, %d Hz: dit %lld, dah %lld, space %lld samples; %d random characters\n"
              "per row. first: the range of each character's first mark less the sample its first paddle\n"
              "closed on (in the scheduled timing less the delay stated as well). marks: each mark's length\n"
              "less its element's exact mark; spaces: each space inside a character less the exact space\n"
              "(target: none differs). Heard: tones, onset to onset inside a character less the element's\n"
              "mark and space, and the range of each tone's length less its mark: a straight press of a\n"
              "dit's length sounds %+lld, of a dah's %+lld.\n",
              kSpeed, kRate, static_cast<long long>(kDit), static_cast<long long>(kDah),
              static_cast<long long>(kSpace), characters, static_cast<long long>(straightDit),
              static_cast<long long>(straightDah));
  for (const KeyerMode mode : {KeyerMode::IambicA, KeyerMode::IambicB, KeyerMode::Ultimatic}) {
    std::printf("\n%s\n%-9s %6s %5s %5s %8s %8s | %6s %5s %7s | %6s %5s %7s | %6s %6s %5s %7s | %9s\n", KeyerModeName(mode),
                "timing", "buffer", "sent", "found", "first", "", "marks", "max", "nonzero", "spaces", "max", "nonzero", "tones",
                "onsets", "max", "nonzero", "heard-mark");
    for (const bool scheduled : {false, true}) {
      for (uint32_t buffer = 32; buffer <= 4096; buffer *= 2) {
        const std::vector<PaddleEdge> edges = RandomCharacters(characters, kSettle, random);
        const Keyed keyed = Key(edges, mode, scheduled, buffer);
        const Figures f = Measure(keyed);
        const bool exact = f.characters == characters && f.marks.nonZero == 0 && f.spaces.nonZero == 0 &&
                           keyed.tones.size() == keyed.marks.size() && f.onsets.nonZero == 0 &&
                           f.shortest == straightDit && f.longest == straightDah;
        std::printf("%-9s %6u %5d %5d %8.2f %8.2f | %6d %5lld %7d | %6d %5lld %7d | %6zu %6d %5lld %7d | %4lld %4lld %s\n",
                    scheduled ? "scheduled" : "immediate", buffer, characters, f.characters, f.earliest, f.latest, f.marks.count,
                    static_cast<long long>(f.marks.largest), f.marks.nonZero, f.spaces.count,
                    static_cast<long long>(f.spaces.largest), f.spaces.nonZero, keyed.tones.size(), f.onsets.count,
                    static_cast<long long>(f.onsets.largest), f.onsets.nonZero, static_cast<long long>(f.shortest),
                    static_cast<long long>(f.longest), exact ? "ok" : "!!");
      }
    }
  }
  return 0;
}
