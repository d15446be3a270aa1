// FillBuffer's cost per sample in each state of the envelope, beside a bare
// loop of one sine per sample, and their ratios from the same run.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "tone/fill_buffer.h"
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
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double bare = nsPerSample_["BareSine"];
    std::printf("\n%-18s %12s %14s\n", "", "ns/sample", "x bare sine");
    for (const char* name :
         {"BareSine", "BareSineAndCosine", "FillSilent", "FillSteady", "FillRising", "FillFalling"}) {
      std::printf("%-18s %12.2f %14.2f\n", name, nsPerSample_[name], nsPerSample_[name] / bare);
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
