#include "tone/tone_generator.h"

#include <cmath>

#include "app/settings.h"
#include "log/debug_log.h"
#include "tone/real_to_count.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
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

void ComputeToneParameters(ToneGenerator& generator) {
  constexpr auto relaxed = std::memory_order_relaxed;
  const double rate = static_cast<uint32_t>(generator.sampleRate);

  generator.levelDb = kFullScaleDb - settings.attenuation;
  generator.amplitude = std::pow(10.0, generator.levelDb / 20.0);
  generator.phase.store(0.0, relaxed);
  generator.WaveLength = rate / settings.frequency;
  generator.phaseIncrement = kTwoPi / generator.WaveLength;
  generator.wholeWaveLength = RealToCount(generator.WaveLength);
  generator.samplesSinceKeyDown.store(0, relaxed);
  generator.halfWaveLength = RealToCount(generator.WaveLength * 0.5);
  LogReal("WaveLength", generator.WaveLength);
  generator.microsPerSample = 1000000.0 / rate;

  generator.dwTotalRiseTimeSamples =
      HalfCycleSamples(settings.riseTime, rate, generator.WaveLength, "dwTotalRiseTimeSamples");
  generator.dwCalculatedFallTimeSamples = HalfCycleSamples(
      settings.fallTime, rate, generator.WaveLength, "dwCalculatedFallTimeSamples");

  generator.riseCounter.store(0, relaxed);
  generator.fallCounter.store(0, relaxed);
  generator.falling.store(false, relaxed);
  generator.rising.store(false, relaxed);
  generator.sounding.store(false, std::memory_order_release);
  generator.hasFall = generator.dwCalculatedFallTimeSamples != 0;
  generator.schedule.enabled = settings.keyTiming == KeyTiming::Scheduled;
}
