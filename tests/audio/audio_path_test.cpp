// The program's whole audio path over the real library, with its WAV file
// recorder as the device: what the log shows and what the file holds.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

#include "audio/audio_output.h"
#include "audio_test_fixture.h"
#include "tone/performance_counter.h"
#include "tone/tone_generator.h"

namespace {

using Lines = std::vector<std::string>;

// Waits up to two seconds for `done`.
template <typename Condition>
bool Await(Condition done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Plays one tone to its end; returns the fill calls that counted it. The call
// that ends the tone counts itself only as it returns, so the count is read
// once it has stopped changing.
uint32_t PlayTone(ToneGenerator& generator, uint32_t keyDownMicros) {
  const int64_t down = ReadPerformanceCounter();
  generator.edges.Push({down, true});
  EXPECT_TRUE(Await([&] { return generator.sounding.load(); }));
  generator.edges.Push({down + keyDownMicros * ReadPerformanceFrequency() / 1000000, false});
  EXPECT_TRUE(Await([&] { return !generator.sounding.load(); }));
  uint32_t played = generator.buffersPlayed.load();
  EXPECT_TRUE(Await([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return std::exchange(played, generator.buffersPlayed.load()) == played;
  }));
  return played;
}

struct Recording {
  std::vector<int16_t> left, right;
};

Recording ReadRecording(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  Recording recording;
  for (size_t at = 44; at + 4 <= bytes.size(); at += 4) {
    int16_t frame[2];
    std::memcpy(frame, bytes.data() + at, 4);
    recording.left.push_back(frame[0]);
    recording.right.push_back(frame[1]);
  }
  return recording;
}

TEST_F(AudioOutputTest, PlaysAToneThroughTheRecorder) {
  const std::string wav = (std::filesystem::current_path() / "tone.wav").string();
  SetEnvironmentVariableA("ASIOHOST_DEVICES", "recorder");
  SetEnvironmentVariableA("ASIOHOST_RATE", "44100");
  SetEnvironmentVariableA("ASIOHOST_BUFFER", "256");
  SetEnvironmentVariableA("ASIOHOST_WAV", wav.c_str());
  ASSERT_TRUE(LoadAudioHost());
  settings.deviceNumber = 0;

  OpenAudioOutput(Generator(), nullptr);
  ASSERT_TRUE(Generator().channelReady);
  const uint32_t played = PlayTone(Generator(), 100000);  // 4410 samples at 44100 per second
  CloseAudioOutput();

  EXPECT_THAT(LogBody(), ::testing::ElementsAreArray(Lines{
                             "ASIO devices found: 1", "Device number: 0 - WAV file recorder", "", "",
                             "Initializing device: 0", "ASIO Initialized", "Create ASIO buffers success!",
                             "Buffer sample size: 512", "Sample rate: 44100", "WaveLength: 44.10000",
                             "dwTotalRiseTimeSamples: 441", "dwCalculatedFallTimeSamples: 441",
                             "Create virtual channel success!", "Shut down ASIO",
                             "Count buffers played: " + std::to_string(played)}));
  // The tone's 4851 samples, and the few more of its stop test, span 19 to
  // 21 buffers of 256.
  EXPECT_GE(played, 19u);
  EXPECT_LE(played, 21u);

  const Recording recording = ReadRecording(wav);
  EXPECT_EQ(recording.left, recording.right);
  const auto first = std::find_if(recording.left.begin(), recording.left.end(), [](int16_t s) { return s != 0; });
  ASSERT_GE(first - recording.left.begin(), 2);
  const std::vector<int16_t> rise(first - 2, first + 6);
  EXPECT_EQ(rise, (std::vector<int16_t>{0, 0, 1, 2, 4, 8, 12, 17}));
}

// The same path over the system's default endpoint, where the machine has
// one (under Wine, the null sound device the test's environment sets up).
TEST_F(AudioOutputTest, PlaysAToneThroughTheDefaultEndpoint) {
  SetEnvironmentVariableA("ASIOHOST_DEVICES", nullptr);
  ASSERT_TRUE(LoadAudioHost());
  settings.deviceNumber = 0;
  OpenAudioOutput(Generator(), nullptr);
  const Lines log = LogBody();
  ASSERT_FALSE(log.empty());
  if (log.front() == "No ASIO device found!") GTEST_SKIP() << "no audio endpoint on this machine";
  ASSERT_TRUE(Generator().channelReady);
  EXPECT_GT(Generator().params.samplesPerCall, 0);

  const uint32_t played = PlayTone(Generator(), 50000);
  CloseAudioOutput();
  EXPECT_GT(played, 0u);
  EXPECT_EQ(LogBody().back(), "Count buffers played: " + std::to_string(played));
}

}  // namespace
