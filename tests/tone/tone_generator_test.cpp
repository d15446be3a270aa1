#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "log/debug_log.h"
#include "scratch_directory.h"
#include "tone_fixture.h"

namespace fs = std::filesystem;

namespace {

// Runs ComputeToneParameters with the debug log open in a scratch directory
// and returns what it wrote after the log's header.
class DerivedParameters : public ToneTest {
 protected:
  void TearDown() override {
    CloseDebugLog();
    ToneTest::TearDown();
  }

  std::string InstallLogged(const ToneSettings& tone) {
    OpenDebugLog();
    std::streampos start = LogSize();
    Install(tone);
    CloseDebugLog();
    std::ifstream in("VelkinDbg.Log", std::ios::binary);
    in.seekg(start);
    std::stringstream text;
    text << in.rdbuf();
    // An empty line sets the footer apart; Windows ends lines with "\r\n".
    std::string all = text.str();
    std::erase(all, '\r');
    return all.substr(0, all.find("\n\n") + 1);
  }

 private:
  std::streampos LogSize() {
    std::ifstream in("VelkinDbg.Log", std::ios::binary | std::ios::ate);
    return in.tellg();
  }
  ScratchDirectory scratch_;
};

TEST_F(DerivedParameters, DerivedLengthsAndTheirLogLines) {
  const struct {
    int32_t rate;
    double time;
    double waveLength;
    uint32_t whole, half;
    double micros;
    uint32_t length;
    const char* lines;
  } cases[] = {
      {44100, 0.01, 44.1, 44, 22, 22.675736961451246, 441,
       "WaveLength: 44.10000\ndwTotalRiseTimeSamples: 441\ndwCalculatedFallTimeSamples: 441\n"},
      {48000, 0.01, 48.0, 48, 24, 20.833333333333332, 480,
       "WaveLength: 48.00000\ndwTotalRiseTimeSamples: 480\ndwCalculatedFallTimeSamples: 480\n"},
      {96000, 0.01, 96.0, 96, 48, 10.416666666666666, 960,
       "WaveLength: 96.00000\ndwTotalRiseTimeSamples: 960\ndwCalculatedFallTimeSamples: 960\n"},
      {22050, 0.01, 22.05, 22, 11, 45.35147392290249, 220,
       "WaveLength: 22.05000\ndwTotalRiseTimeSamples: 220\ndwCalculatedFallTimeSamples: 220\n"},
      {44100, 0.005, 44.1, 44, 22, 22.675736961451246, 220,
       "WaveLength: 44.10000\ndwTotalRiseTimeSamples: 220\ndwCalculatedFallTimeSamples: 220\n"},
      {48000, 0.0037, 48.0, 48, 24, 20.833333333333332, 168,  // 7 half cycles
       "WaveLength: 48.00000\ndwTotalRiseTimeSamples: 168\ndwCalculatedFallTimeSamples: 168\n"},
      {48000, 0.0002, 48.0, 48, 24, 20.833333333333332, 0,  // under a quarter cycle, still logged
       "WaveLength: 48.00000\ndwTotalRiseTimeSamples: 0\ndwCalculatedFallTimeSamples: 0\n"},
      {48000, 0.0, 48.0, 48, 24, 20.833333333333332, 0, "WaveLength: 48.00000\n"},
      {48000, -1.0, 48.0, 48, 24, 20.833333333333332, 0, "WaveLength: 48.00000\n"},
      {48000, std::nan(""), 48.0, 48, 24, 20.833333333333332, 0, "WaveLength: 48.00000\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.time) + " s");
    const std::string lines = InstallLogged({.sampleRate = c.rate, .riseTime = c.time, .fallTime = c.time});
    const ToneParameters& g = appState.toneGenerator->params;
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(g.WaveLength, c.waveLength);
    EXPECT_EQ(g.wholeWaveLength, c.whole);
    EXPECT_EQ(g.halfWaveLength, c.half);
    EXPECT_EQ(g.microsPerSample, c.micros);
    EXPECT_EQ(g.dwTotalRiseTimeSamples, c.length);
    EXPECT_EQ(g.dwCalculatedFallTimeSamples, c.length);
    EXPECT_EQ(g.hasFall, c.length != 0);
    EXPECT_EQ(g.phaseIncrement, 6.283185307179586 / c.waveLength);
  }
}

TEST_F(DerivedParameters, RiseAndFallAreIndependent) {
  const std::string lines = InstallLogged({.sampleRate = 48000, .riseTime = 0.0037, .fallTime = 0.0});
  EXPECT_EQ(lines, "WaveLength: 48.00000\ndwTotalRiseTimeSamples: 168\n");
  EXPECT_EQ(appState.toneGenerator->params.dwCalculatedFallTimeSamples, 0u);
  EXPECT_FALSE(appState.toneGenerator->params.hasFall);
}

TEST_F(ToneTest, AmplitudeFollowsTheAttenuation) {
  EXPECT_NEAR(Install({.attenuation = 3.0}).params.amplitude, 23197.26, 0.005);
  EXPECT_NEAR(Install({.attenuation = 0.0}).params.amplitude, 32767.0, 1e-9);
  EXPECT_EQ(appState.toneGenerator->params.levelDb, 90.30873362283398);
}

}  // namespace
