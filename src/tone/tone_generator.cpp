#include "tone/tone_generator.h"

#include <algorithm>
#include <cmath>

#include "log/debug_log.h"
#include "tone/performance_counter.h"
#include "tone/real_to_count.h"

namespace {

// 20 · log10(32767): 0 dB of attenuation puts the peak at the largest sample.
constexpr double kFullScaleDb = 90.30873362283398;

// A rise or fall of `seconds`, rounded to whole half cycles of the tone and
// then down to whole samples, so that it spans whole half periods. Logged
// under `label` whenever a length was asked for.
uint32_t HalfCycleSamples(double seconds, double rate, double waveLength, const char* label) {
  if (!(seconds > 0.0)) return 0;
  const uint32_t requested = RealToCount(rate * seconds);
  const double doubled = 2u * requested;  // doubled as a 32-bit count, which wraps
  const double halfCycles = std::floor(doubled / waveLength + 0.5);
  const uint32_t length = RealToCount(halfCycles * waveLength * 0.5);
  LogInt(label, static_cast<int32_t>(length));
  return length;
}

}  // namespace

ToneGenerator* CreateToneGenerator() { return new ToneGenerator{}; }

void DestroyToneGenerator(ToneGenerator* generator) { delete generator; }

void ComputeToneParameters(ToneGenerator& generator, const ToneRequest& request) {
  ToneParameters& params = generator.params;
  const double rate = static_cast<uint32_t>(params.sampleRate);

  params.levelDb = kFullScaleDb - request.attenuation;
  params.amplitude = std::pow(10.0, params.levelDb / 20.0);
  params.WaveLength = rate / request.frequency;
  params.phaseIncrement = kTwoPi / params.WaveLength;
  params.wholeWaveLength = RealToCount(params.WaveLength);
  params.halfWaveLength = RealToCount(params.WaveLength * 0.5);
  LogReal("WaveLength", params.WaveLength);
  params.microsPerSample = 1000000.0 / rate;

  params.dwTotalRiseTimeSamples = HalfCycleSamples(request.riseTime, rate, params.WaveLength, "dwTotalRiseTimeSamples");
  params.dwCalculatedFallTimeSamples =
      HalfCycleSamples(request.fallTime, rate, params.WaveLength, "dwCalculatedFallTimeSamples");
  params.hasFall = params.dwCalculatedFallTimeSamples != 0;
  params.scheduled = request.scheduled;
  params.counterFrequency = ReadPerformanceFrequency();
  params.keyer = request.keyer;
  params.keyerWeight = std::clamp(request.keyerWeight, kLowestKeyerWeight, kHighestKeyerWeight);
  SetKeyerSpeed(generator, request.keyerSpeed);

  generator.envelope = Envelope{};
  generator.schedule = KeySchedule{};
  generator.output = KeyOutput{};
  generator.keyer = Keyer{};
  generator.sounding.store(false, std::memory_order_release);
}
