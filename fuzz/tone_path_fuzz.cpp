// Runs the whole tone path on any settings file and any script of stamped
// key edges, natively, on a simulated device: the settings as the program
// reads and bounds them, the audio output over a scripted library (which
// works out the tone parameters), the real keying controller and the fill
// callback the output registered, in either key timing. Then it holds every
// sample produced to the tone's promises:
// - no sample beyond full scale, and both halves of every buffer alike;
// - a pitch of 100 to 4000 Hz and at most a quarter of the rate, and rise and
//   fall lengths that follow the settings (held to 0 to 1 s);
// - no step between two samples larger than a full-level tone's largest
//   step plus the envelope's largest step: anything larger is a click;
// - silence within the fall plus one cycle of the last key-up (in the keyer
//   modes, of the two elements that may follow the last release);
// - every straight press long enough to reach full level does reach it:
//   none lost.
//
// Input: one byte for the device (rate and buffer size), one seed for the
// fill calls' wake-ups, the settings file's length (16 bits, little end
// first), the settings file, then the key edges, each the time since the one
// before in 16 bits of 20 µs. With a straight key they alternate down and up
// from a key-down. In the keyer modes the two low bits of each time pick
// the input whose side it turns over (the space bar, the dit paddle's key,
// the dah paddle's key, the dit paddle's line), and every input left down is
// released at the end.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/settings.h"
#include "audio/audio_output.h"
#include "audio_host_double.h"
#include "counter_double.h"
#include "simulated_device.h"
#include "tone/key_clock.h"
#include "tone/keying.h"
#include "tone/tone_generator.h"

namespace {

constexpr int32_t kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000};
constexpr uint32_t kBuffers[] = {32, 64, 128, 256, 512, 1024, 100, 441};
constexpr double kEdgeUnit = 20e-6;      // seconds per step of an edge's gap
constexpr std::size_t kMostEdges = 64;   // 32 presses
constexpr double kLastEdge = 4.0;        // seconds: later edges are left out, to keep runs short
constexpr double kLastReleaseGap = 0.1;  // a script that ends with the key down is released this much later
// What the settings promise, as the operator's guide states it.
constexpr double kLowestPitch = 100.0, kHighestPitch = 4000.0;
constexpr double kLongestEnvelope = 1.0;  // seconds, rise and fall
// How late the audio thread wakes at worst (simulated_device.h), with room
// for buffers that fell due meanwhile.
constexpr double kLatestWake = 7e-3;
constexpr double kPi = 3.141592653589793;

struct Edge {
  double time;  // seconds
  uint8_t input;
  bool down;
};

struct Script {
  SimulatedDevice device;
  unsigned seed = 0;
  std::string settingsFile;
  std::vector<double> times;  // seconds
  std::vector<uint8_t> inputs;
  std::vector<Edge> edges;  // in time order, once the settings are known
};

uint32_t Read16(const uint8_t* at) { return at[0] | (static_cast<uint32_t>(at[1]) << 8); }

bool Parse(const uint8_t* data, size_t size, Script& script) {
  if (size < 4) return false;
  script.device.rate = kRates[data[0] & 7];
  script.device.buffer = kBuffers[(data[0] >> 3) & 7];
  script.seed = data[1];
  const size_t length = std::min<size_t>(Read16(data + 2), size - 4);
  script.settingsFile.assign(reinterpret_cast<const char*>(data + 4), length);
  double time = 0.01;
  for (size_t at = 4 + length; at + 1 < size && script.times.size() < kMostEdges; at += 2) {
    time += Read16(data + at) * kEdgeUnit;
    if (time > kLastEdge) break;
    script.times.push_back(time);
    script.inputs.push_back(data[at] & 3);
  }
  return true;
}

// The edges of the script for the keyer mode in use: each input turns over
// at its times, and is released at the end if it was left down.
void MakeEdges(Script& script, bool keyer) {
  bool down[4] = {};
  for (size_t i = 0; i < script.times.size(); ++i) {
    const uint8_t input = keyer ? script.inputs[i] : 0;
    down[input] = !down[input];
    script.edges.push_back({script.times[i], input, down[input]});
  }
  const double end = script.times.empty() ? 0.0 : script.times.back() + kLastReleaseGap;
  for (uint8_t input = 0; input < 4; ++input) {
    if (down[input]) script.edges.push_back({end, input, false});
  }
}

void PerformEdge(const Edge& edge) {
  constexpr Paddle kPaddles[] = {Paddle::Dit, Paddle::Dit, Paddle::Dah, Paddle::Dit};
  constexpr PaddleSource kSources[] = {PaddleSource::Keyboard, PaddleSource::Keyboard, PaddleSource::Keyboard,
                                       PaddleSource::Line};
  if (edge.input == 0) {
    edge.down ? KeyDown() : KeyUp();
  } else {
    edge.down ? PaddleDown(kPaddles[edge.input], kSources[edge.input])
              : PaddleUp(kPaddles[edge.input], kSources[edge.input]);
  }
}

// The parameters the path put in use, read in one place.
struct Tone {
  double amplitude, phaseIncrement, waveLength;
  uint32_t wholeWave, halfWave, rise, fall;
  bool scheduled;
  uint32_t scheduleDelay;  // samples, once a fill call has run
  bool keyer;
  double afterRelease;  // samples the keyer may go on for after the last release
};

Tone ToneInUse(const ToneGenerator& g) {
  const ToneParameters& p = g.params;
  return {p.amplitude, p.phaseIncrement, p.WaveLength, p.wholeWaveLength, p.halfWaveLength,
          p.dwTotalRiseTimeSamples, p.dwCalculatedFallTimeSamples, p.scheduled, g.schedule.delayFrames,
          p.keyer != KeyerMode::Straight,
          // The element under way and the two that may be remembered, all dahs.
          p.keyer != KeyerMode::Straight ? 12 * 1.2 * static_cast<uint32_t>(p.sampleRate) / g.keyerSpeed.load() : 0.0};
}

// The run's timing and device, for the report of a failed check.
char runContext[96];

void DescribeRun(const ToneGenerator& g, const SimulatedDevice& device) {
  std::snprintf(runContext, sizeof runContext, "%s timing, %d Hz, %u-sample buffers",
                g.params.scheduled ? "scheduled" : "immediate", device.rate, device.buffer);
}

[[noreturn]] void Fail(const char* what, double found, double allowed) {
  std::fprintf(stderr, "tone path (%s): %s (found %.6g, allowed %.6g)\n", runContext, what, found, allowed);
  std::abort();
}

void Expect(bool kept, const char* what, double found, double allowed) {
  if (!kept) Fail(what, found, allowed);
}

// What the output must have opened with: an envelope length in samples that
// follows the seconds asked for, held to the promised range, to within the
// rounding to half cycles.
void ExpectEnvelopeLength(const char* what, uint32_t length, double asked, double rate, double waveLength) {
  const double wanted = std::clamp(asked, 0.0, kLongestEnvelope) * rate;
  Expect(std::fabs(length - wanted) <= waveLength / 2 + 2, what, length, wanted);
}

void ExpectParameters(const Tone& tone, const Settings& asked, double rate) {
  const double pitch = rate / tone.waveLength;
  const double highest = std::min(kHighestPitch, rate / 4);
  Expect(pitch >= kLowestPitch * (1 - 1e-12) && pitch <= highest * (1 + 1e-12), "pitch out of range", pitch,
         highest);
  ExpectEnvelopeLength("rise length apart from the setting", tone.rise, asked.riseTime, rate, tone.waveLength);
  ExpectEnvelopeLength("fall length apart from the setting", tone.fall, asked.fallTime, rate, tone.waveLength);
}

int64_t Ticks(double seconds) { return std::llround(seconds * CounterDouble::kFrequency); }

// The output (one half of every buffer) from the fill calls until `until`
// seconds, with the key edges performed between them in stamp order.
std::vector<int16_t> Play(ToneGenerator& g, const Script& script, double until) {
  const SimulatedDevice& device = script.device;
  FillCalls calls(device, script.seed);
  const ChannelDescriptor& channel = g.channelDescriptor;
  std::vector<int16_t> buffer(channel.sampleCount), output;
  size_t next = 0;
  for (uint64_t k = 0; device.TimeOfSample(static_cast<double>(k) * device.buffer) < until; ++k) {
    const double call = calls.Next(k);
    for (; next < script.edges.size() && script.edges[next].time < call; ++next) {
      counter.now = Ticks(script.edges[next].time);
      PerformEdge(script.edges[next]);
    }
    counter.now = Ticks(call);
    channel.fillCallback(buffer.data(), channel.sampleCount, channel.callbackContext);
    const uint32_t half = channel.sampleCount / 2;
    for (uint32_t i = 0; i < half; ++i) {
      Expect(buffer[i] == buffer[half + i], "halves differ", buffer[half + i], buffer[i]);
    }
    output.insert(output.end(), buffer.begin(), buffer.begin() + half);
  }
  return output;
}

// The envelope's largest step at full level, for a raised cosine of `length`
// samples; a length below 2 makes no step of its own.
double EnvelopeStep(uint32_t length, double amplitude) {
  return length < 2 ? 0.0 : amplitude * std::sin(kPi / (2.0 * length - 1.0));
}

void ExpectSamples(const std::vector<int16_t>& out, const Tone& tone) {
  const double toneStep = 2 * tone.amplitude * std::sin(std::min(tone.phaseIncrement, kPi) / 2);
  const double click =
      toneStep + std::max(EnvelopeStep(tone.rise, tone.amplitude), EnvelopeStep(tone.fall, tone.amplitude)) + 2;
  int previous = 0;
  for (const int16_t sample : out) {
    Expect(sample > -32768, "sample beyond full scale", sample, -32767);
    Expect(std::abs(sample - previous) <= click, "click", std::abs(sample - previous), click);
    previous = sample;
  }
}

// Where the key's edges land in the output, in samples after the stamp's
// own sample: immediate timing starts and falls with the next fill call
// (within a buffer, or earlier when calls came late); scheduled timing one
// fixed delay later.
struct Delay {
  double least, most;
};

Delay PathDelay(const Tone& tone, const SimulatedDevice& device) {
  if (tone.scheduled) return {tone.scheduleDelay - 2.0, tone.scheduleDelay + 2.0};
  return {-kLatestWake * device.rate, device.buffer + 1.0};
}

void ExpectSilenceAfterLastRelease(const std::vector<int16_t>& out, const Tone& tone, const Script& script,
                                   Delay delay) {
  const auto sounding = std::find_if(out.rbegin(), out.rend(), [](int16_t s) { return s != 0; });
  if (sounding == out.rend() || script.edges.empty()) return;
  const double lastSound = static_cast<double>(out.rend() - sounding - 1);
  const double latest = script.device.SampleAt(script.edges.back().time) + delay.most + tone.afterRelease +
                        tone.fall + tone.wholeWave + 2;
  Expect(lastSound <= latest, "sound after the fall and a cycle past the last key-up", lastSound, latest);
}

// A press that holds full level for a cycle, wherever within the delays its
// tone lands, must sound at full level in that cycle.
void ExpectEveryPressHeard(const std::vector<int16_t>& out, const Tone& tone, const Script& script, Delay delay) {
  const SimulatedDevice& device = script.device;
  const double heard = std::max(0.7 * tone.amplitude - 1, 1.0);
  if (tone.keyer) return;
  for (size_t i = 0; i + 1 < script.edges.size(); i += 2) {
    const double down = device.SampleAt(script.edges[i].time);
    const double up = device.SampleAt(script.edges[i + 1].time);
    const double from = std::ceil(down + delay.most + tone.rise + 2);
    const double to = from + tone.wholeWave + 2;
    if (to > up + delay.least - tone.halfWave - 2 || to > static_cast<double>(out.size())) continue;
    int loudest = 0;
    for (auto at = static_cast<size_t>(from); at < static_cast<size_t>(to); ++at)
      loudest = std::max(loudest, std::abs(static_cast<int>(out[at])));
    Expect(loudest >= heard, "a press never reached full level", loudest, heard);
  }
}

// The simulated run's end: the last key-up, then the longest delay, fall and
// cycle, and two buffers more.
double RunEnd(const Tone& tone, const Script& script) {
  const double rate = script.device.rate;
  const double last = script.edges.empty() ? 0.0 : script.edges.back().time;
  return last + (2.0 * script.device.buffer + tone.afterRelease + tone.fall + tone.wholeWave + 4) / rate +
         2 * kLatestWake +
         std::ceil(1e-3 * rate) / rate + tone.halfWave / rate;
}

// The program's own sequence: the settings' lines once the log would be open,
// then the audio output, which bounds the frequency and works the tone out.
bool OpenPath(const Script& script, Settings& asked) {
  std::istringstream file(script.settingsFile);
  ReadSettings(file, asked);
  settings = asked;
  LogSettingsFindings();
  AudioHostScript host;
  host.names = {"Simulated device"};
  host.deviceCount = 1;
  host.bufferSize = static_cast<int32_t>(script.device.buffer);
  host.sampleRate = script.device.rate;
  audioHost = ScriptedAudioHost(host);
  appState.toneGenerator = CreateToneGenerator();
  counter.now = 0;
  ResetKeyClock();
  OpenAudioOutput(*appState.toneGenerator, nullptr);
  return appState.toneGenerator->channelReady;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Script script;
  if (!Parse(data, size, script)) return 0;
  Settings asked;
  if (OpenPath(script, asked)) {
    ToneGenerator& generator = *appState.toneGenerator;
    DescribeRun(generator, script.device);
    const double rate = script.device.rate;
    ExpectParameters(ToneInUse(generator), asked, rate);
    MakeEdges(script, asked.keyer != KeyerMode::Straight);
    const std::vector<int16_t> out = Play(generator, script, RunEnd(ToneInUse(generator), script));
    const Tone tone = ToneInUse(generator);
    const Delay delay = PathDelay(tone, script.device);
    ExpectSamples(out, tone);
    ExpectSilenceAfterLastRelease(out, tone, script, delay);
    ExpectEveryPressHeard(out, tone, script, delay);
  }
  CloseAudioOutput();
  return 0;
}
