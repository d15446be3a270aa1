// ASIOHOST.dll through its exports alone: the recorder device end to end,
// every operation in states where it has nothing to act on, and a system
// endpoint where the machine offers one.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "asiohost.h"

namespace {

int64_t Counter() {
  LARGE_INTEGER value;
  QueryPerformanceCounter(&value);
  return value.QuadPart;
}

double Seconds(int64_t counts) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counts) / static_cast<double>(frequency.QuadPart);
}

// A callback whose output tells where every sample came from: the left
// channel counts samples up from 0, the right channel is its negative.
struct CountingSource {
  std::atomic<uint32_t> calls{0};
  uint32_t nextSample = 0;
  std::vector<int64_t> callTimes = std::vector<int64_t>(4096);
  uint32_t stallAtCall = UINT32_MAX;  // this call takes 400 ms

  static void Fill(int16_t* buffer, uint32_t count, void* context) {
    auto& source = *static_cast<CountingSource*>(context);
    const uint32_t half = count / 2;
    for (uint32_t i = 0; i < half; ++i, ++source.nextSample) {
      buffer[i] = static_cast<int16_t>(source.nextSample & 0x7FFF);
      buffer[half + i] = static_cast<int16_t>(-buffer[i]);
    }
    const uint32_t call = source.calls.load(std::memory_order_relaxed);
    if (call < source.callTimes.size()) source.callTimes[call] = Counter();
    if (call == source.stallAtCall) Sleep(400);
    source.calls.store(call + 1, std::memory_order_release);
  }
};

ChannelDescriptor DescriptorFor(CountingSource& source, uint32_t sampleCount) {
  ChannelDescriptor descriptor{};
  descriptor.sampleCount = sampleCount;
  descriptor.fillCallback = CountingSource::Fill;
  descriptor.callbackContext = &source;
  return descriptor;
}

std::vector<char> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t Word(const std::vector<char>& bytes, size_t at, int size) {
  uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wav_ = std::filesystem::temp_directory_path() /
           ("velkin-recorder-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".wav");
    std::filesystem::remove(wav_);
    SetEnvironmentVariableA("ASIOHOST_DEVICES", "recorder");
    SetEnvironmentVariableA("ASIOHOST_RATE", "44100");
    SetEnvironmentVariableA("ASIOHOST_BUFFER", "128");
    SetEnvironmentVariableA("ASIOHOST_WAV", wav_.string().c_str());
  }
  void TearDown() override {
    ASIOShutdown();
    for (const char* name : {"ASIOHOST_DEVICES", "ASIOHOST_RATE", "ASIOHOST_BUFFER", "ASIOHOST_WAV"})
      SetEnvironmentVariableA(name, nullptr);
    std::filesystem::remove(wav_);
  }

  // Opens the recorder and starts it with `source`; the counter at the start.
  int64_t Play(CountingSource& source) {
    char names[1024] = {};
    EXPECT_EQ(ASIOGetDevices(names, sizeof names), 1);
    EXPECT_STREQ(names, "WAV file recorder");
    EXPECT_TRUE(ASIOInit(nullptr, 0));
    EXPECT_NE(ASIOCreateBuffers(1, 4), 0);
    descriptor_ = DescriptorFor(source, 2 * static_cast<uint32_t>(ASIOGetPrimaryBufferSizeSamples()));
    EXPECT_TRUE(CreateVirtualChannel(&descriptor_));
    PreLoadBuffers(0);
    const int64_t start = Counter();
    StartPlay(0);
    return start;
  }

  std::filesystem::path wav_;
  ChannelDescriptor descriptor_{};
};

TEST_F(RecorderTest, WritesEveryBufferAsAStereoWavFileInRealTime) {
  SetEnvironmentVariableA("ASIOHOST_BUFFER", "256");  // 5.8 ms per buffer
  CountingSource source;
  const int64_t start = Play(source);
  EXPECT_EQ(ASIOGetSampleRate(), 44100);
  EXPECT_EQ(ASIOGetPrimaryBufferSizeSamples(), 256);
  Sleep(500);
  CloseVirtualChannel(0);
  const double elapsed = Seconds(Counter() - start);
  ASIOShutdown();

  const std::vector<char> file = ReadFile(wav_);
  ASSERT_GE(file.size(), 44u);
  EXPECT_EQ(std::string(file.data(), 4), "RIFF");
  EXPECT_EQ(Word(file, 4, 4), file.size() - 8);
  EXPECT_EQ(std::string(file.data() + 8, 8), "WAVEfmt ");
  EXPECT_EQ(Word(file, 16, 4), 16u);     // fmt chunk
  EXPECT_EQ(Word(file, 20, 2), 1u);      // integer PCM
  EXPECT_EQ(Word(file, 22, 2), 2u);      // channels
  EXPECT_EQ(Word(file, 24, 4), 44100u);  // frames per second
  EXPECT_EQ(Word(file, 28, 4), 44100u * 4);
  EXPECT_EQ(Word(file, 32, 2), 4u);
  EXPECT_EQ(Word(file, 34, 2), 16u);
  EXPECT_EQ(std::string(file.data() + 36, 4), "data");
  const uint32_t dataBytes = Word(file, 40, 4);
  EXPECT_EQ(dataBytes, file.size() - 44);

  // Every buffer the callback produced, the preloaded one first, in order.
  const uint32_t frames = dataBytes / 4;
  EXPECT_EQ(frames, source.calls.load() * 256);
  bool inOrder = true;
  for (uint32_t i = 0; i < frames && inOrder; ++i) {
    int16_t left, right;
    std::memcpy(&left, file.data() + 44 + 4 * i, 2);
    std::memcpy(&right, file.data() + 46 + 4 * i, 2);
    inOrder = left == static_cast<int16_t>(i & 0x7FFF) && right == -left;
  }
  EXPECT_TRUE(inOrder);
  // The preloaded buffer plus one per period since the start.
  const double expectedBuffers = 1 + elapsed * 44100 / 256;
  EXPECT_NEAR(frames / 256.0, expectedBuffers, 2.0);
}

TEST_F(RecorderTest, CallsOncePerPeriodAndKeepsTheHeaderCurrent) {
  SetEnvironmentVariableA("ASIOHOST_RATE", "48000");
  CountingSource source;
  Play(source);
  Sleep(1300);
  // While the recorder still runs, the header describes the data so far: a
  // process killed now would leave a file that plays.
  const std::vector<char> file = ReadFile(wav_);
  const uint32_t calls = source.calls.load(std::memory_order_acquire);
  ASIOShutdown();

  ASSERT_GE(file.size(), 44u);
  const uint32_t dataBytes = Word(file, 40, 4);
  EXPECT_GT(dataBytes, 48000u * 4 / 2);  // at least half a second of it
  EXPECT_LE(dataBytes, file.size() - 44);
  EXPECT_EQ(Word(file, 4, 4), dataBytes + 36);

  // Calls 1 .. the last are paced; over a second their rate is rate / buffer.
  ASSERT_GT(calls, 380u);
  const uint32_t first = 1, last = calls - 1;
  const double rate = (last - first) / Seconds(source.callTimes[last] - source.callTimes[first]);
  EXPECT_NEAR(rate, 48000.0 / 128, 48000.0 / 128 * 0.02);
}

TEST_F(RecorderTest, ALongStallMovesThePaceInsteadOfBurstingToCatchUp) {
  SetEnvironmentVariableA("ASIOHOST_RATE", "48000");  // a period of 2.667 ms
  CountingSource source;
  source.stallAtCall = 10;
  Play(source);
  Sleep(900);
  ASIOShutdown();
  ASSERT_GT(source.calls.load(), 111u);
  // The 150 periods the stall took are not made up for: the calls after it
  // keep about one period apart.
  const double hundredCallsLater = Seconds(source.callTimes[111] - source.callTimes[11]);
  EXPECT_GT(hundredCallsLater, 100 * 0.002667 * 0.8);
}

TEST_F(RecorderTest, UnusableSettingsFallBackToTheDefaults) {
  const struct {
    const char* rate;
    const char* buffer;
    int32_t expectedRate, expectedBuffer;
  } cases[] = {
      {"abc", "-5", 48000, 128},
      {"96000", "64", 96000, 64},
      {"4000", "16385", 48000, 128},
      {"48000x", "0", 48000, 128},
      {"99999999999999999999", "256", 48000, 256},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.rate) + " / " + c.buffer);
    SetEnvironmentVariableA("ASIOHOST_RATE", c.rate);
    SetEnvironmentVariableA("ASIOHOST_BUFFER", c.buffer);
    ASSERT_TRUE(ASIOInit(nullptr, 0));
    ASSERT_NE(ASIOCreateBuffers(1, 4), 0);
    EXPECT_EQ(ASIOGetSampleRate(), c.expectedRate);
    EXPECT_EQ(ASIOGetPrimaryBufferSizeSamples(), c.expectedBuffer);
    ASIOShutdown();
  }
}

TEST_F(RecorderTest, EveryOperationIsSafeInEveryState) {
  CountingSource source;
  ChannelDescriptor descriptor = DescriptorFor(source, 256);
  // How far each run gets before ASIOShutdown.
  const std::vector<void (*)(ChannelDescriptor&)> steps = {
      [](ChannelDescriptor&) { char names[64]; ASIOGetDevices(names, sizeof names); },
      [](ChannelDescriptor&) { ASIOInit(nullptr, 0); },
      [](ChannelDescriptor&) { ASIOCreateBuffers(1, 4); },
      [](ChannelDescriptor& d) { CreateVirtualChannel(&d); },
      [](ChannelDescriptor&) { PreLoadBuffers(0); },
      [](ChannelDescriptor&) { StartPlay(0); },
  };
  for (size_t reached = 0; reached <= steps.size(); ++reached) {
    SCOPED_TRACE(reached);
    for (size_t step = 0; step < reached; ++step) steps[step](descriptor);
    ASIOShutdown();
    const uint32_t calls = source.calls.load();
    Sleep(20);
    EXPECT_EQ(source.calls.load(), calls) << "called back after shutdown";

    // Nothing is open now: each operation refuses or does nothing.
    EXPECT_EQ(ASIOCreateBuffers(1, 4), 0);
    EXPECT_EQ(ASIOGetPrimaryBufferSizeSamples(), 0);
    EXPECT_EQ(ASIOGetSampleRate(), 0);
    EXPECT_FALSE(CreateVirtualChannel(&descriptor));
    PreLoadBuffers(0);
    StartPlay(0);
    CloseVirtualChannel(0);
    EXPECT_EQ(source.calls.load(), calls);
  }
  EXPECT_FALSE(ASIOInit(nullptr, -1));
  EXPECT_FALSE(ASIOInit(nullptr, 1));
  EXPECT_EQ(ASIOGetDevices(nullptr, 0), 1);
}

TEST_F(RecorderTest, RefusesWhatDoesNotFitTheOpenDevice) {
  ASSERT_TRUE(ASIOInit(nullptr, 0));
  EXPECT_FALSE(ASIOInit(nullptr, 0)) << "a second device while one is open";
  EXPECT_EQ(ASIOCreateBuffers(0, 4), 0);
  EXPECT_EQ(ASIOCreateBuffers(1, 0), 0);
  CountingSource source;
  ChannelDescriptor descriptor = DescriptorFor(source, 256);
  EXPECT_FALSE(CreateVirtualChannel(&descriptor)) << "before the buffers exist";
  ASSERT_NE(ASIOCreateBuffers(1, 4), 0);
  EXPECT_FALSE(CreateVirtualChannel(nullptr));
  ChannelDescriptor wrongSize = DescriptorFor(source, 255);
  EXPECT_FALSE(CreateVirtualChannel(&wrongSize));
  ChannelDescriptor noCallback = DescriptorFor(source, 256);
  noCallback.fillCallback = nullptr;
  EXPECT_FALSE(CreateVirtualChannel(&noCallback));
  EXPECT_TRUE(CreateVirtualChannel(&descriptor));
  EXPECT_FALSE(CreateVirtualChannel(&descriptor)) << "one channel only";
  PreLoadBuffers(1);
  StartPlay(1);
  EXPECT_EQ(source.calls.load(), 0u) << "there is no channel 1";
}

// The system's own endpoints, where there are any: under Wine with a null
// sound device, for instance. Without one the test has nothing to show.
TEST(EndpointTest, PlaysThroughTheDefaultEndpoint) {
  char names[1024] = {};
  if (ASIOGetDevices(names, sizeof names) == 0) GTEST_SKIP() << "no audio endpoint on this machine";
  ASSERT_TRUE(ASIOInit(nullptr, 0));
  ASSERT_NE(ASIOCreateBuffers(1, 4), 0);
  const int32_t frames = ASIOGetPrimaryBufferSizeSamples();
  EXPECT_GT(frames, 0);
  const int32_t rate = ASIOGetSampleRate();
  EXPECT_GE(rate, 8000);
  CountingSource source;
  ChannelDescriptor descriptor = DescriptorFor(source, 2 * static_cast<uint32_t>(frames));
  ASSERT_TRUE(CreateVirtualChannel(&descriptor));
  PreLoadBuffers(0);
  const uint32_t preloaded = source.calls.load();
  EXPECT_GE(preloaded, 1u);
  StartPlay(0);
  Sleep(500);
  ASIOShutdown();
  const uint32_t calls = source.calls.load();
  const double expected = 0.5 * rate / frames;
  RecordProperty("endpoint_calls", static_cast<int>(calls));
  EXPECT_GT(calls, preloaded + expected / 2) << "the render thread filled the endpoint";
  Sleep(20);
  EXPECT_EQ(source.calls.load(), calls) << "called back after shutdown";
}

}  // namespace
