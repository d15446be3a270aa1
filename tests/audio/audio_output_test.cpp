#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio/audio_output.h"
#include "audio_host_double.h"
#include "audio_test_fixture.h"
#include "tone/fill_buffer.h"

using ::testing::ElementsAreArray;

namespace {

using Lines = std::vector<std::string>;

const Lines kTwoDevicesListed = {"ASIO devices found: 2", "Device number: 0 - Speakers",
                                 "Device number: 1 - WAV file recorder", "", ""};
const Lines kOpenCalls = {"ASIOGetDevices(1024)", "ASIOInit(1)", "ASIOCreateBuffers(1, 4)",
                          "ASIOGetPrimaryBufferSizeSamples()", "ASIOGetSampleRate()"};
const Lines kDerivedAt48k = {"WaveLength: 48.00000", "dwTotalRiseTimeSamples: 480",
                             "dwCalculatedFallTimeSamples: 480"};

Lines Join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

AudioHostScript TwoDevices() {
  AudioHostScript script;
  script.names = {"Speakers", "WAV file recorder"};
  script.deviceCount = 2;
  return script;
}

struct Outcome {
  const char* name;
  AudioHostScript script;
  int32_t deviceNumber;
  Lines openCalls;
  Lines openLog;
  bool channelReady;
  bool parametersDerived;
  Lines closeCalls;
};

std::vector<Outcome> Outcomes() {
  AudioHostScript noDevice;
  AudioHostScript initFails = TwoDevices();
  initFails.initResult = false;
  AudioHostScript buffersFail = TwoDevices();
  buffersFail.createBuffersResult = 0;
  AudioHostScript channelFails = TwoDevices();
  channelFails.channelResult = false;
  const Lines started = {"PreLoadBuffers(0)", "StartPlay(0)"};
  return {
      {"NoDevice", noDevice, 0, {"ASIOGetDevices(1024)"}, {"No ASIO device found!", ""}, false, false,
       {"ASIOShutdown()"}},
      {"NumberPastTheList", TwoDevices(), 2, {"ASIOGetDevices(1024)"},
       Join({kTwoDevicesListed, {"Invalid ASIO device number!"}}), false, false, {"ASIOShutdown()"}},
      {"InitFails", initFails, 1, {"ASIOGetDevices(1024)", "ASIOInit(1)"},
       Join({kTwoDevicesListed, {"Initializing device: 1", "Can't initialize ASIO device!"}}), false, false,
       {"ASIOShutdown()"}},
      {"NegativeNumberReachesInit", TwoDevices(), -1, {"ASIOGetDevices(1024)", "ASIOInit(-1)"},
       Join({kTwoDevicesListed, {"Initializing device: -1", "Can't initialize ASIO device!"}}), false, false,
       {"ASIOShutdown()"}},
      {"BuffersFail", buffersFail, 1, {"ASIOGetDevices(1024)", "ASIOInit(1)", "ASIOCreateBuffers(1, 4)"},
       Join({kTwoDevicesListed, {"Initializing device: 1", "ASIO Initialized", "Failed creating ASIO buffers!"}}),
       false, false, {"ASIOShutdown()"}},
      {"ChannelFails", channelFails, 1, Join({kOpenCalls, {"CreateVirtualChannel"}, started}),
       Join({kTwoDevicesListed,
             {"Initializing device: 1", "ASIO Initialized", "Create ASIO buffers success!", "Buffer sample size: 256",
              "Sample rate: 48000"},
             kDerivedAt48k, {"Failed: Create virtual channel!"}}),
       false, true, {"ASIOShutdown()"}},
      {"Playing", TwoDevices(), 1, Join({kOpenCalls, {"CreateVirtualChannel"}, started}),
       Join({kTwoDevicesListed,
             {"Initializing device: 1", "ASIO Initialized", "Create ASIO buffers success!", "Buffer sample size: 256",
              "Sample rate: 48000"},
             kDerivedAt48k, {"Create virtual channel success!"}}),
       true, true, {"CloseVirtualChannel(0)", "ASIOShutdown()"}},
  };
}

TEST_F(AudioOutputTest, EveryOutcomeOpensLogsAndClosesAsOrdered) {
  const Lines closeLog = {"Shut down ASIO", "Count buffers played: 0"};
  for (const Outcome& outcome : Outcomes()) {
    SCOPED_TRACE(outcome.name);
    TearDown();
    SetUp();
    settings.deviceNumber = outcome.deviceNumber;
    audioHost = ScriptedAudioHost(outcome.script);
    int window = 0;
    Generator().channelReady = true;  // opening must clear it first

    OpenAudioOutput(Generator(), &window);
    EXPECT_THAT(hostRecord.calls, ElementsAreArray(outcome.openCalls));
    EXPECT_THAT(LogBody(), ElementsAreArray(outcome.openLog));
    EXPECT_EQ(Generator().channelReady, outcome.channelReady);
    EXPECT_EQ(Generator().params.WaveLength != 0.0, outcome.parametersDerived);
    if (outcome.openCalls.size() > 1) {
      EXPECT_EQ(hostRecord.initWindow, &window);
    }

    hostRecord.calls.clear();
    CloseAudioOutput();
    EXPECT_THAT(hostRecord.calls, ElementsAreArray(outcome.closeCalls));
    EXPECT_THAT(LogBody(), ElementsAreArray(Join({outcome.openLog, closeLog})));
    EXPECT_EQ(appState.toneGenerator, nullptr);
  }
}

TEST_F(AudioOutputTest, HandsTheGeneratorOverAsTheChannelDescriptor) {
  AudioHostScript script = TwoDevices();
  script.bufferSize = 256;
  audioHost = ScriptedAudioHost(script);
  settings.deviceNumber = 0;
  Generator().buffersPlayed.store(77);

  OpenAudioOutput(Generator(), nullptr);
  EXPECT_EQ(Generator().params.samplesPerCall, 512);
  EXPECT_EQ(hostRecord.descriptorAddress, &Generator().channelDescriptor);
  EXPECT_EQ(static_cast<const void*>(hostRecord.descriptorAddress), static_cast<const void*>(&Generator()));
  const ChannelDescriptor& handed = hostRecord.descriptor;
  EXPECT_EQ(handed.reserved0, 0u);
  EXPECT_EQ(handed.sampleCount, 512u);
  EXPECT_EQ(handed.fillCallback, &FillBuffer);
  EXPECT_EQ(handed.reserved3, 0u);
  EXPECT_EQ(handed.callbackContext, &Generator());
  EXPECT_EQ(handed.reserved5, 0u);
  EXPECT_EQ(hostRecord.buffersPlayedAtPreload, 0u);
  EXPECT_THAT(LogBody(), ::testing::Contains("Buffer sample size: 512"));
}

TEST_F(AudioOutputTest, AMissingLibraryBehavesAsNoDevice) {
  audioHost = AudioHost{};
  OpenAudioOutput(Generator(), nullptr);
  EXPECT_FALSE(Generator().channelReady);
  CloseAudioOutput();
  EXPECT_THAT(LogBody(), ElementsAreArray(Lines{"No ASIO device found!", "", "Shut down ASIO",
                                                "Count buffers played: 0"}));
  EXPECT_EQ(appState.toneGenerator, nullptr);
}

TEST_F(AudioOutputTest, ShutdownWithNothingOpenedDoesNothing) {
  audioHost = ScriptedAudioHost(TwoDevices());
  DestroyToneGenerator(appState.toneGenerator);
  appState.toneGenerator = nullptr;
  CloseAudioOutput();
  EXPECT_TRUE(hostRecord.calls.empty());
  EXPECT_TRUE(LogBody().empty());
}

TEST_F(AudioOutputTest, AGeneratorTheMonitorMayStillUseIsShutDownButKept) {
  audioHost = ScriptedAudioHost(TwoDevices());
  OpenAudioOutput(Generator(), nullptr);
  ToneGenerator* generator = appState.toneGenerator;
  generator->buffersPlayed.store(5);
  appState.threadOutlived.store(true);
  hostRecord.calls.clear();

  CloseAudioOutput();
  EXPECT_THAT(hostRecord.calls, ElementsAreArray(Lines{"CloseVirtualChannel(0)", "ASIOShutdown()"}));
  EXPECT_EQ(appState.toneGenerator, generator);  // still there for the monitor
  const Lines log = LogBody();
  EXPECT_THAT(Lines(log.end() - 2, log.end()), ElementsAreArray(Lines{"Shut down ASIO", "Count buffers played: 5"}));
}

// The name list is read strictly inside its 1024 bytes, whatever the count claims.
TEST_F(AudioOutputTest, DeviceNamesAreReadOnlyInsideTheList) {
  const std::string missing = "<name missing from the device list>";
  const std::string longName(1024, 'x');
  const struct {
    const char* name;
    int32_t count;
    std::function<void(char*, int32_t)> lay;
    Lines names;  // the device lines expected after "ASIO devices found"
  } cases[] = {
      {"CountPastTheLaidNamesGivesEmptyNames", 3, [](char* list, int32_t) { std::memcpy(list, "A\0B", 4); },
       {"Device number: 0 - A", "Device number: 1 - B", "Device number: 2 - "}},
      {"NameWithoutItsZeroFillsTheList", 3,
       [](char* list, int32_t size) {
         std::memcpy(list, "A", 2);
         std::memset(list + 2, 'B', static_cast<size_t>(size) - 2);
       },
       {"Device number: 0 - A", "Device number: 1 - " + std::string(1022, 'B'), "Device number: 2 - " + missing}},
      {"HugeCountStopsAtTheEndOfTheList", 1000000,
       [](char* list, int32_t size) {
         for (int32_t i = 0; i + 1 < size; i += 2) list[i] = 'A';
       },
       {}},
      {"NegativeCountListsNoName", -3, [](char*, int32_t) {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    AudioHostScript script;
    script.deviceCount = c.count;
    script.layNames = c.lay;
    audioHost = ScriptedAudioHost(script);
    settings.deviceNumber = 5;
    int32_t count = 0;
    EXPECT_TRUE(EnumerateDevices(count));
    EXPECT_EQ(count, c.count);
    Lines log = LogBody();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log.front(), "ASIO devices found: " + std::to_string(c.count));
    EXPECT_THAT(Lines(log.end() - 2, log.end()), ElementsAreArray(Lines{"", ""}));
    const Lines names(log.begin() + 1, log.end() - 2);
    if (c.count == 1000000) {
      ASSERT_EQ(names.size(), 513u);  // 512 names fill the list, then one marks the end
      EXPECT_EQ(names[511], "Device number: 511 - A");
      EXPECT_EQ(names[512], "Device number: 512 - " + missing);
    } else {
      EXPECT_THAT(names, ElementsAreArray(c.names));
    }
  }
}

}  // namespace
