// FillBuffer's cost per sample in each state of the envelope and with the
// keyer sending without pause, beside a bare loop of one sine per sample,
// and their ratios from the same run.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "tone/fill_buffer.h"
#include "tone/key_output.h"
#include "tone/keyer.h"
#include "tone/keying.h"
#include "tone/tone_generator.h"

namespace {

// A 1000 Hz tone at 48000 samples per second with the default rise and fall
// of 480 samples each, and buffers of 480 samples per half: a rising or
// falling buffer runs through the whole shape, whose cosines cost more
// towards its top.
constexpr uint32_t kSamples = 480;

ToneGenerator& Generator() {
  static ToneGenerator* const generator = [] {
    ToneGenerator* g = CreateToneGenerator();
    g->params.sampleRate = 48000;
    ComputeToneParameters(*g, {3.0, 1000.0, 0.01, 0.01, false});
    appState.toneGenerator = g;
    return g;
  }();
  return *generator;
}

enum class State { kSilent, kSteady, kRising, kFalling };

// Puts the generator in `state` at the start of a tone, phase 0, so that
// every buffer costs the same. A falling buffer enters as a tone released
// at once, so that its fall is planned on its first sample.
void Enter(ToneGenerator& g, State state) {
  const EnvelopeState entered[] = {EnvelopeState::kSilent, EnvelopeState::kSteady, EnvelopeState::kRising,
                                   EnvelopeState::kSteady};
  g.envelope = Envelope{};
  g.envelope.state = entered[static_cast<int>(state)];
  g.envelope.releaseSample = state == State::kFalling ? 0 : kNoRelease;
}

void Fill(benchmark::State& run, State state) {
  ToneGenerator& g = Generator();
  std::vector<int16_t> buffer(2 * kSamples);
  for (auto _ : run) {
    Enter(g, state);
    FillBuffer(buffer.data(), 2 * kSamples, &g);
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  run.SetItemsProcessed(run.iterations() * kSamples);
}

// The keyer with both paddles held in iambic B, from a fresh generator of the
// same tone: dits and dahs alternate, each with its space, so that a call
// costs its share of rising, steady, falling and silent samples and the
// keyer's work at each element's start and end. The lamp's queue is emptied
// after every call, as the lamp follower does.
ToneGenerator* Squeezed(int32_t wordsPerMinute) {
  ToneGenerator* g = CreateToneGenerator();
  g->params.sampleRate = 48000;
  ComputeToneParameters(*g, {3.0, 1000.0, 0.01, 0.01, false, KeyerMode::IambicB, wordsPerMinute, 50});
  ToneGenerator* const before = appState.toneGenerator;
  appState.toneGenerator = g;
  PaddleDown(Paddle::Dit, PaddleSource::Keyboard);
  PaddleDown(Paddle::Dah, PaddleSource::Keyboard);
  appState.toneGenerator = before;
  return g;
}

void FillSqueeze(benchmark::State& run, int32_t wordsPerMinute) {
  ToneGenerator* g = Squeezed(wordsPerMinute);
  std::vector<int16_t> buffer(2 * kSamples);
  bool lit = false;
  for (auto _ : run) {
    FillBuffer(buffer.data(), 2 * kSamples, g);
    FollowLamp(*g, INT64_MAX, lit);
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  run.SetItemsProcessed(run.iterations() * kSamples);
  DestroyToneGenerator(g);
}

// The shares of a squeeze's samples in each state, from calls of one sample
// each: what the rows of the envelope's states predict for it.
std::map<EnvelopeState, double> SqueezeShares(int32_t wordsPerMinute) {
  ToneGenerator* g = Squeezed(wordsPerMinute);
  constexpr int kCounted = 48000 * 10;
  std::map<EnvelopeState, double> shares;
  int16_t pair[2];
  bool lit = false;
  for (int i = 0; i < kCounted; ++i) {
    const EnvelopeState before = g->envelope.state;
    FillBuffer(pair, 2, g);
    FollowLamp(*g, INT64_MAX, lit);
    // A sample is produced in the state its step leaves; the last one of a
    // tone in the state before it ended.
    const EnvelopeState after = g->envelope.state;
    shares[after != EnvelopeState::kSilent ? after : before] += 1.0 / kCounted;
  }
  DestroyToneGenerator(g);
  return shares;
}

void FillSqueeze25(benchmark::State& run) { FillSqueeze(run, 25); }
void FillSqueeze60(benchmark::State& run) { FillSqueeze(run, 60); }

void FillSilent(benchmark::State& run) { Fill(run, State::kSilent); }
void FillSteady(benchmark::State& run) { Fill(run, State::kSteady); }
void FillRising(benchmark::State& run) { Fill(run, State::kRising); }
void FillFalling(benchmark::State& run) { Fill(run, State::kFalling); }

// The floors: one sine per sample at the same phases, truncated into a
// buffer; and with a rise's raised cosine as well, the least a slope costs.
template <bool kWithCosine>
void Bare(benchmark::State& run) {
  const ToneParameters& g = Generator().params;
  const uint32_t rise = g.dwTotalRiseTimeSamples;
  std::vector<int16_t> buffer(kSamples);
  for (auto _ : run) {
    double phase = 0.0;
    benchmark::DoNotOptimize(phase);
    for (uint32_t i = 0; i < kSamples; ++i) {
      phase += g.phaseIncrement;
      double level = g.amplitude;
      if constexpr (kWithCosine) level *= 0.5 - 0.5 * std::cos(kTwoPi * i / (2.0 * rise - 1.0));
      buffer[i] = static_cast<int16_t>(std::sin(phase) * level);
    }
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  run.SetItemsProcessed(run.iterations() * kSamples);
}

BENCHMARK(Bare<false>)->Name("BareSine");
BENCHMARK(Bare<true>)->Name("BareSineAndCosine");
BENCHMARK(FillSilent);
BENCHMARK(FillSteady);
BENCHMARK(FillRising);
BENCHMARK(FillFalling);
BENCHMARK(FillSqueeze25);
BENCHMARK(FillSqueeze60);

const char* const kStateNames[] = {"silent", "rising", "steady", "falling", "settling", "returning"};

// The row whose samples cost what a sample in `state` does.
const char* RowOf(EnvelopeState state) {
  switch (state) {
    case EnvelopeState::kSilent:
      return "FillSilent";
    case EnvelopeState::kSteady:
      return "FillSteady";
    case EnvelopeState::kRising:
    case EnvelopeState::kReturning:
      return "FillRising";
    case EnvelopeState::kFalling:
    case EnvelopeState::kSettling:
      return "FillFalling";
  }
  return "FillSilent";
}

// The console report, followed by CPU nanoseconds per sample and each
// state's ratio to the bare sine loop (the median when repeated).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
        nsPerSample_[run.run_name.function_name] = run.GetAdjustedCPUTime() / kSamples;
      }
    }
  }
  // The squeeze rows also show what their shares of each state would cost
  // at the rows of those states.
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double bare = nsPerSample_["BareSine"];
    std::printf("\n%-18s %12s %14s %20s\n", "", "ns/sample", "x bare sine", "states' rows predict");
    const struct {
      const char* name;
      int32_t squeezeSpeed;  // words per minute, 0 for no squeeze
    } rows[] = {{"BareSine", 0},   {"BareSineAndCosine", 0}, {"FillSilent", 0},    {"FillSteady", 0},
                {"FillRising", 0}, {"FillFalling", 0},       {"FillSqueeze25", 25}, {"FillSqueeze60", 60}};
    for (const auto& [name, wpm] : rows) {
      std::printf("%-18s %12.2f %14.2f", name, nsPerSample_[name], nsPerSample_[name] / bare);
      if (wpm != 0) {
        double predicted = 0.0;
        std::string mix;
        for (const auto& [state, share] : SqueezeShares(wpm)) {
          predicted += share * nsPerSample_[RowOf(state)];
          if (share < 0.001) continue;
          char part[32];
          std::snprintf(part, sizeof part, "%s%s %.1f %%", mix.empty() ? "" : ", ", kStateNames[static_cast<int>(state)],
                        100.0 * share);
          mix += part;
        }
        std::printf(" %20.2f   (%s)", predicted / bare, mix.c_str());
      }
      std::printf("\n");
    }
  }

 private:
  std::map<std::string, double> nsPerSample_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
