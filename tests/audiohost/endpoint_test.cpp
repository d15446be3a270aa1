// The system endpoint path of ASIOHOST.dll, through its exports, against two
// simulated endpoints: the device list, the stream's format and period, the
// filling of the endpoint buffer, and what happens when calls fail and the
// device goes away.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "asiohost.h"
#include "simulated_endpoint.h"

namespace {

constexpr int16_t kLeft = 1000, kRight = -2000;

struct Source {
  std::atomic<uint32_t> calls{0};
  static void Fill(int16_t* buffer, uint32_t count, void* context) {
    for (uint32_t i = 0; i < count / 2; ++i) {
      buffer[i] = kLeft;
      buffer[count / 2 + i] = kRight;
    }
    ++static_cast<Source*>(context)->calls;
  }
};

template <typename Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 10000; ++i, Sleep(1))
    if (condition()) return true;
  return false;
}

std::vector<std::string> DeviceNames() {
  char names[1024] = {};
  const int32_t count = ASIOGetDevices(names, sizeof names);
  std::vector<std::string> list;
  for (const char* name = names; static_cast<int32_t>(list.size()) < count; name += list.back().size() + 1)
    list.emplace_back(name);
  return list;
}

class SimulatedEndpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEnvironmentVariableA("ASIOHOST_DEVICES", nullptr);
    system_ = std::make_unique<SimulatedSystem>(std::vector<SimulatedEndpoint*>{&headset_, &speakers_});
    window_ = CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  }
  void TearDown() override {
    ASIOShutdown();
    SetEnvironmentVariableA("ASIOHOST_DEVICES", nullptr);
    DestroyWindow(window_);
  }

  // Opens device `device` (0: the headset shared, 1: exclusive) and plays.
  void Play(int32_t device) {
    ASSERT_GT(static_cast<int32_t>(DeviceNames().size()), device);
    ASSERT_TRUE(ASIOInit(window_, device));
    ASSERT_NE(ASIOCreateBuffers(1, 4), 0);
    frames_ = static_cast<uint32_t>(ASIOGetPrimaryBufferSizeSamples());
    descriptor_ = {0, 2 * frames_, Source::Fill, 0, &source_, 0};
    ASSERT_TRUE(CreateVirtualChannel(&descriptor_));
    PreLoadBuffers(0);
    StartPlay(0);
  }

  // Lets the engine play until the program has filled `more` more buffers.
  bool KeepsPlaying(uint32_t more = 3) {
    const uint32_t target = source_.calls + more;
    return Eventually([&] {
      headset_.Tick();
      return source_.calls >= target;
    });
  }

  int RateMessages() {
    int count = 0;
    MSG message;
    const UINT rateChanged = ASIOHOST_RATE_CHANGED_MESSAGE;
    while (PeekMessageW(&message, window_, rateChanged, rateChanged, PM_REMOVE)) ++count;
    return count;
  }

  SimulatedEndpoint headset_{L"{headset}", L"Headset"};
  SimulatedEndpoint speakers_{L"{speakers}", L"Speakers"};
  std::unique_ptr<SimulatedSystem> system_;
  HWND window_ = nullptr;
  Source source_;
  uint32_t frames_ = 0;
  ChannelDescriptor descriptor_{};
};

TEST_F(SimulatedEndpointTest, ListsEachEndpointSharedThenExclusiveTheDefaultFirstAndTheRecorderOnRequest) {
  const std::vector<std::string> endpoints = {"Headset", "Headset (exclusive)", "Speakers", "Speakers (exclusive)"};
  const struct {
    const char* devices;
    bool endpointsPresent;
    std::vector<std::string> names;
  } cases[] = {
      {nullptr, true, endpoints},
      {"all", true, {"Headset", "Headset (exclusive)", "Speakers", "Speakers (exclusive)", "WAV file recorder"}},
      {"recorder", true, {"WAV file recorder"}},
      {"everything", true, endpoints},
      {nullptr, false, {}},
      {"all", false, {"WAV file recorder"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.devices ? c.devices : "unset");
    SetEnvironmentVariableA("ASIOHOST_DEVICES", c.devices);
    for (SimulatedEndpoint* endpoint : {&headset_, &speakers_}) {
      if (c.endpointsPresent)
        endpoint->Return(48000);
      else
        endpoint->Invalidate();
    }
    EXPECT_EQ(DeviceNames(), c.names);
    ASIOShutdown();
  }
}

TEST_F(SimulatedEndpointTest, WritesBothChannelsInTheFormatTheStreamTook) {
  using F = SimulatedFormat;
  const struct {
    const char* name;
    int32_t device;
    F mix;
    std::vector<F> exclusiveFormats;
    F expected;
  } cases[] = {
      {"shared float", 0, F::Float32, {}, F::Float32},
      {"shared 16-bit", 0, F::Int16, {}, F::Int16},
      {"shared 24 in 32", 0, F::Int24In32, {}, F::Int24In32},
      {"shared 32-bit", 0, F::Int32, {}, F::Int32},
      {"exclusive, 16-bit first", 1, F::Float32, {F::Float32, F::Int32, F::Int16}, F::Int16},
      {"exclusive 24 in 32", 1, F::Float32, {F::Float32, F::Int24In32}, F::Int24In32},
      {"exclusive 32-bit", 1, F::Float32, {F::Int32}, F::Int32},
      {"exclusive float", 1, F::Int16, {F::Float32}, F::Float32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    headset_.mixFormat = c.mix;
    headset_.exclusiveFormats = c.exclusiveFormats;
    Play(c.device);
    ASSERT_TRUE(KeepsPlaying());
    EXPECT_EQ(headset_.Facts().exclusive, c.device == 1);
    EXPECT_EQ(headset_.Facts().format, c.expected);
    EXPECT_EQ(headset_.LastFrame().left, kLeft);
    EXPECT_EQ(headset_.LastFrame().right, kRight);
    ASIOShutdown();
  }
}

TEST_F(SimulatedEndpointTest, TakesTheSmallestPeriodEachModeOffers) {
  const struct {
    const char* name;
    int32_t device;
    bool lowLatency, exclusiveAllowed;
    uint32_t alignFrames;
    bool exclusive;
    int32_t frames;
  } cases[] = {
      {"shared at the engine's smallest period", 0, true, true, 0, false, 128},
      {"shared at the engine's period without low-latency streams", 0, false, true, 0, false, 480},
      {"exclusive at the device's minimum of 3 ms", 1, true, true, 0, true, 144},
      {"exclusive, aligned after the device asked for it", 1, true, true, 128, true, 256},
      {"exclusive refused, then shared", 1, true, false, 0, false, 128},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    headset_.lowLatency = c.lowLatency;
    headset_.exclusiveAllowed = c.exclusiveAllowed;
    headset_.alignFrames = c.alignFrames;
    Play(c.device);
    EXPECT_EQ(ASIOGetPrimaryBufferSizeSamples(), c.frames);
    EXPECT_EQ(ASIOGetSampleRate(), 48000);
    ASSERT_TRUE(KeepsPlaying());
    EXPECT_EQ(headset_.Facts().exclusive, c.exclusive);
    ASIOShutdown();
  }
}

TEST_F(SimulatedEndpointTest, FillsWholeBuffersIntoTheRoomThereIsOnly) {
  headset_.sharedBufferFrames = 2 * 128 + 64;  // room for two and a half fill buffers
  Play(0);
  ASSERT_TRUE(KeepsPlaying(20));
  ASIOShutdown();
  EXPECT_EQ(headset_.oversizedRequests.load(), 0);
  EXPECT_EQ(headset_.framesWritten.load(), uint64_t{source_.calls.load()} * 128);
}

TEST_F(SimulatedEndpointTest, ATransientErrorSkipsAPeriodAndPlaysOn) {
  for (SimulatedCall call : {SimulatedCall::Padding, SimulatedCall::GetBuffer, SimulatedCall::ReleaseBuffer}) {
    SCOPED_TRACE(static_cast<int>(call));
    Play(0);
    ASSERT_TRUE(KeepsPlaying());
    const int activations = headset_.activations;
    headset_.FailNext(call, AUDCLNT_E_BUFFER_ERROR);
    ASSERT_TRUE(KeepsPlaying(5));
    EXPECT_EQ(headset_.activations.load(), activations) << "reopened after a transient error";
    ASIOShutdown();
  }
}

TEST_F(SimulatedEndpointTest, ADeviceThatGoesAwayPlaysAgainWhenItComesBack) {
  const struct {
    const char* name;
    int32_t device;
    bool removed;  // else its streams fail, with no notification
    uint32_t returnRate;
    int rateMessages;
  } cases[] = {
      {"shared, invalidated", 0, false, 48000, 0},
      {"exclusive, invalidated", 1, false, 48000, 0},
      {"shared, removed", 0, true, 48000, 0},
      {"exclusive, removed, back at another rate", 1, true, 44100, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    headset_.Return(48000);
    Play(c.device);
    ASSERT_TRUE(KeepsPlaying());
    const int startsBefore = headset_.starts;
    const size_t pausesBefore = system_->Pauses().size();
    if (c.removed)
      headset_.Remove();
    else
      headset_.Invalidate();
    // Attempts to reopen fail while it is away.
    ASSERT_TRUE(Eventually([&] { return system_->Pauses().size() >= pausesBefore + 3; }));
    headset_.Return(c.returnRate);
    ASSERT_TRUE(KeepsPlaying());
    EXPECT_EQ(headset_.starts.load(), startsBefore + 1);
    EXPECT_EQ(headset_.Facts().exclusive, c.device == 1) << "reopened in the same mode";
    EXPECT_EQ(headset_.Facts().rate, c.returnRate);
    EXPECT_EQ(headset_.LastFrame().left, kLeft);
    EXPECT_EQ(headset_.LastFrame().right, kRight);
    // Away and back at the same rate again: the window has heard of it already.
    headset_.Invalidate();
    headset_.Return(c.returnRate);
    ASSERT_TRUE(KeepsPlaying());
    ASIOShutdown();
    EXPECT_EQ(RateMessages(), c.rateMessages);
  }
}

TEST_F(SimulatedEndpointTest, ADeviceGoneForGoodIsTriedAgainAtMostTwiceASecond) {
  Play(0);
  ASSERT_TRUE(KeepsPlaying());
  const int activations = headset_.activations;
  headset_.Remove();
  ASSERT_TRUE(Eventually([&] { return system_->Pauses().size() >= 12; }));
  ASIOShutdown();
  const std::vector<DWORD> pauses = system_->Pauses();
  EXPECT_EQ(pauses.front(), 0u);
  for (size_t i = 1; i < pauses.size(); ++i) {
    EXPECT_GE(pauses[i], 20u) << i;
    EXPECT_GE(pauses[i], pauses[i - 1]) << i;
    EXPECT_LE(pauses[i], 500u) << i;
  }
  EXPECT_EQ(pauses.back(), 500u);
  EXPECT_LE(headset_.activations - activations, static_cast<int>(pauses.size())) << "more than one attempt a pause";
  EXPECT_EQ(RateMessages(), 0);
}

}  // namespace
