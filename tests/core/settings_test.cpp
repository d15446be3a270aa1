#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/settings.h"
#include "log/debug_log.h"
#include "log_body.h"
#include "scratch_directory.h"

namespace {

using namespace std::string_literals;

Settings Read(const std::string& text) {
  Settings into;
  std::istringstream in(text);
  ReadSettings(in, into);
  return into;
}

struct Expected {
  int32_t deviceNumber;
  double attenuation, frequency, riseTime, fallTime;
  const char* portName;
  const char* keyLine;
  int32_t debounceDelay;
  KeyTiming keyTiming = KeyTiming::Immediate;
  KeyerMode keyer = KeyerMode::Straight;
  int32_t keyerSpeed = 20;
  int32_t keyerWeight = 50;
  const char* dahLine = "CTS";
};

struct Case {
  const char* name;
  std::string text;
  Expected expected;
  const char* firstUnread = nullptr;  // as ReadSettings names it
};

const std::string kFull =
    "Device 1\nAttenuation 6.5\nFrequency 700\nRise 0.005\nFall 0.004\nPort COM3\nLine CTS\nDebounce 5\n";

// kFull as read, with what the pairs after it set.
Expected Full(KeyTiming keyTiming = KeyTiming::Immediate, KeyerMode keyer = KeyerMode::Straight,
              int32_t keyerSpeed = 20, int32_t keyerWeight = 50, const char* dahLine = "CTS") {
  return {1, 6.5, 700, 0.005, 0.004, "COM3", "CTS", 5, keyTiming, keyer, keyerSpeed, keyerWeight, dahLine};
}

class SettingsFile : public ::testing::TestWithParam<Case> {};

TEST_P(SettingsFile, FillsTheFieldsByTheStoppingRule) {
  const Case& c = GetParam();
  Settings s;
  std::istringstream in(c.text);
  const char* firstUnread = ReadSettings(in, s);
  EXPECT_STREQ(firstUnread, c.firstUnread);
  const Expected& e = c.expected;
  EXPECT_EQ(s.deviceNumber, e.deviceNumber);
  EXPECT_EQ(s.attenuation, e.attenuation);
  EXPECT_EQ(s.frequency, e.frequency);
  EXPECT_EQ(s.riseTime, e.riseTime);
  EXPECT_EQ(s.fallTime, e.fallTime);
  EXPECT_STREQ(s.portName, e.portName);
  EXPECT_STREQ(s.keyLine, e.keyLine);
  EXPECT_EQ(s.debounceDelay, e.debounceDelay);
  EXPECT_EQ(s.keyTiming, e.keyTiming);
  EXPECT_EQ(s.keyer, e.keyer);
  EXPECT_EQ(s.keyerSpeed, e.keyerSpeed);
  EXPECT_EQ(s.keyerWeight, e.keyerWeight);
  EXPECT_STREQ(s.dahLine, e.dahLine);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsFile,
    ::testing::Values(
        Case{"Complete", kFull, {1, 6.5, 700, 0.005, 0.004, "COM3", "CTS", 5}},
        Case{"OneLine", "a 2 b 1 c 800 d 0.02 e 0.03 f LPT1 g RLSD h 12",
             {2, 1, 800, 0.02, 0.03, "LPT1", "RLS", 12}},
        Case{"Empty", "", {0, 3.0, 1000.0, 0.01, 0.01, "", "", 0}, "DeviceNumber"},
        Case{"WhiteSpaceOnly", " \n\t \r\n", {0, 3.0, 1000.0, 0.01, 0.01, "", "", 0}, "DeviceNumber"},
        Case{"EndsAfterItem10", "D 1 A 6.5 F 700 R 0.005 F 0.004",
             {1, 6.5, 700, 0.005, 0.004, "", "", 0}, "PortName"},
        Case{"EndsAfterItem12", "D 1 A 6.5 F 700 R 0.005 F 0.004 P COM3",
             {1, 6.5, 700, 0.005, 0.004, "COM3", "", 0}, "KeyLine"},
        Case{"RingHeldAsThreeLetters", "D 0 A 3 F 1000 R 0.01 F 0.01 P COM1 L RING X 0",
             {0, 3, 1000, 0.01, 0.01, "COM1", "RIN", 0}},
        Case{"LowerCaseKeptAsWritten", "D 0 A 3 F 1000 R 0.01 F 0.01 P com1 L cts X 0",
             {0, 3, 1000, 0.01, 0.01, "com1", "cts", 0}},
        Case{"FiveCharacterPortKeptWhole", "D 0 A 3 F 1000 R 0.01 F 0.01 P COM10 L DSR X 0",
             {0, 3, 1000, 0.01, 0.01, "COM10", "DSR", 0}},
        Case{"PortCutAfterFive", "D 0 A 3 F 1000 R 0.01 F 0.01 P COM100 L DSR X 0",
             {0, 3, 1000, 0.01, 0.01, "COM10", "DSR", 0}},
        Case{"UnitAfterFrequency", "D 0 A 3 F 1000Hz R 0.02 F 0.02 P COM2 L CTS X 4",
             {0, 3, 1000, 0.01, 0.01, "", "", 0}, "RiseTime"},
        Case{"RealDeviceNumber", "D 1.5 A 6 F 700 R 0.02 F 0.02 P COM2 L CTS X 4",
             {1, 3.0, 1000.0, 0.01, 0.01, "", "", 0}, "Attenuation"},
        Case{"TwoWordLabelBeforeNumber", "Audio device 2 A 6 F 700 R 0.02 F 0.02 P COM2 L CTS X 4",
             {0, 3.0, 1000.0, 0.01, 0.01, "", "", 0}, "DeviceNumber"},
        Case{"TwoWordLabelBeforePort", "D 0 A 3 F 1000 R 0.01 F 0.01 Key port COM2 L CTS X 4",
             {0, 3, 1000, 0.01, 0.01, "port", "L", 0}, "DebounceDelay"},
        Case{"IntegerOutOfRange", "D 99999999999 A 6 F 700 R 0.02 F 0.02 P COM2 L CTS X 4",
             {0, 3.0, 1000.0, 0.01, 0.01, "", "", 0}, "DeviceNumber"},
        Case{"RealOutOfRange", "D 1 A 1e999 F 700 R 0.02 F 0.02 P COM2 L CTS X 4",
             {1, 3.0, 1000.0, 0.01, 0.01, "", "", 0}, "Attenuation"},
        Case{"DebounceOutOfRange", "D 1 A 6 F 700 R 0.02 F 0.02 P COM2 L CTS X -3000000000",
             {1, 6, 700, 0.02, 0.02, "COM2", "CTS", 0}, "DebounceDelay"},
        Case{"NegativeValues", "D -1 A -6 F 700 R -1 F 0 P COM2 L DSR X -5",
             {-1, -6, 700, -1, 0, "COM2", "DSR", -5}},
        Case{"TextAfterLastItemIgnored", kFull + "; a comment 42 that is never read\n",
             {1, 6.5, 700, 0.005, 0.004, "COM3", "CTS", 5}},
        Case{"ScheduledKeying", kFull + "KeyTiming scheduled\n", Full(KeyTiming::Scheduled)},
        Case{"ImmediateKeying", kFull + "KeyTiming immediate\n", Full()},
        Case{"KeyTimingWordInAnyCase", kFull + "KeyTiming Scheduled", Full(KeyTiming::Scheduled)},
        Case{"UnnamedNinthPairSchedules", kFull + "Timing scheduled", Full(KeyTiming::Scheduled)},
        Case{"OnlyTheExactWordSchedulesInAnUnnamedNinthPair", kFull + "Timing Scheduled", Full()},
        Case{"LongerWordDoesNotSchedule", kFull + "Timing scheduledx", Full()},
        Case{"UnnamedTenthPairDoesNotSchedule", kFull + "Speed 30 Timing scheduled",
             Full(KeyTiming::Immediate, KeyerMode::Straight, 30)},
        Case{"UnnamedNinthPairThenNamedPairs", kFull + "Timing scheduled Keyer bug Weight 60",
             Full(KeyTiming::Scheduled, KeyerMode::Bug, 20, 60, "DSR")},
        Case{"NamedPairsInAnyOrderAndCase", kFull + "dahline rlsd WEIGHT 75 Speed 5 keyer IAMBICb keytiming SCHEDULED",
             Full(KeyTiming::Scheduled, KeyerMode::IambicB, 5, 75, "RLS")},
        Case{"HighestSpeedLowestWeight", kFull + "Keyer ultimatic Weight 25 Speed 60 DahLine Ring",
             Full(KeyTiming::Immediate, KeyerMode::Ultimatic, 60, 25, "RIN")},
        Case{"SpeedBelowWeightAbove", kFull + "Keyer iambicA DahLine DSR Speed 4 Weight 76",
             Full(KeyTiming::Immediate, KeyerMode::IambicA, 20, 50, "DSR")},
        Case{"SpeedAboveWeightBelow", kFull + "Speed 61 Weight 24", Full()},
        Case{"NumbersNotWhole", kFull + "Speed 30x Weight 40.0", Full()},
        Case{"BadPairsDoNotStopLaterOnes", kFull + "Keyer fast Speed 70 Tone 5 Weight 30 Keyer iambicA DahLine XYZ",
             Full(KeyTiming::Immediate, KeyerMode::IambicA, 20, 30, "DSR")},
        Case{"StraightKeepsTheDahLineOnTheKeyLine", kFull + "DahLine CTS", Full()},
        Case{"DahLineMovesToCtsOffADsrKeyLine", "D 1 A 3 F 700 R 0.01 F 0.01 P COM3 L DSR X 5 Keyer bug DahLine dsr",
             {1, 3, 700, 0.01, 0.01, "COM3", "DSR", 5, KeyTiming::Immediate, KeyerMode::Bug, 20, 50, "CTS"}},
        Case{"NinthPairAfterAStoppedReading", "D 1 A x F 700 R 0.02 F 0.02 P COM2 L CTS X 4 K scheduled Speed 30",
             {1, 3.0, 1000.0, 0.01, 0.01, "", "", 0}, "Attenuation"},
        Case{"NotANumber", "D 1 A 6 F nan R 0.02 F 0.02 P COM2 L CTS X 4",
             {1, 6, 1000.0, 0.01, 0.01, "", "", 0}, "Frequency"},
        Case{"NulByteInAValue", "D 1 A 6 F 700 R \0 F 0.02 P COM2 L CTS X 4"s,
             {1, 6, 700, 0.01, 0.01, "", "", 0}, "RiseTime"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsFile, OverlongItemsAreConsumedWholeAndNeverOverrunAField) {
  const std::string huge(100000, 'X');
  const Settings s = Read(huge + " 1 A 3 F 1000 R 0.01 F 0.01 P " + huge + " L " + huge + " X 7 T x Speed " +
                          huge + " " + huge + " 1 Weight 30");
  EXPECT_EQ(s.deviceNumber, 1);
  EXPECT_STREQ(s.portName, "XXXXX");
  EXPECT_STREQ(s.keyLine, "XXX");
  EXPECT_EQ(s.debounceDelay, 7);
  EXPECT_EQ(s.keyerSpeed, 20);
  EXPECT_EQ(s.keyerWeight, 30);
}

TEST(SettingsFile, DefaultsAreInPlaceFromTheStart) {
  const Settings s;
  EXPECT_EQ(s.deviceNumber, 0);
  EXPECT_EQ(s.attenuation, 3.0);
  EXPECT_EQ(s.frequency, 1000.0);
  EXPECT_EQ(s.riseTime, 0.01);
  EXPECT_EQ(s.fallTime, 0.01);
  EXPECT_STREQ(s.portName, "COM1");
  EXPECT_STREQ(s.keyLine, "DSR");
  EXPECT_EQ(s.debounceDelay, 0);
  EXPECT_EQ(s.keyTiming, KeyTiming::Immediate);
  EXPECT_STREQ(KeyerModeName(s.keyer), "straight");
  EXPECT_EQ(s.keyerSpeed, 20);
  EXPECT_EQ(s.keyerWeight, 50);
  EXPECT_STREQ(s.dahLine, "CTS");
}

}  // namespace

namespace {

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = settings; }
  void TearDown() override { settings = saved_; }
  ScratchDirectory scratch_;
  Settings saved_;
};

TEST_F(ConfigFile, MissingFileChangesNothing) {
  settings.frequency = 321.0;
  EXPECT_FALSE(LoadSettings());
  EXPECT_EQ(settings.frequency, 321.0);
  EXPECT_STREQ(settings.portName, "COM1");
}

TEST_F(ConfigFile, PresentFileIsReadWhateverItHolds) {
  std::ofstream("config.ini") << "D 2 A 6 F 700 R 0.02 F 0.03 P COM4 L RLSD X 3\n";
  ASSERT_TRUE(LoadSettings());
  EXPECT_EQ(settings.deviceNumber, 2);
  EXPECT_EQ(settings.frequency, 700.0);
  EXPECT_STREQ(settings.portName, "COM4");
  EXPECT_STREQ(settings.keyLine, "RLS");
  EXPECT_EQ(settings.debounceDelay, 3);

  std::ofstream("config.ini", std::ios::trunc).close();
  ASSERT_TRUE(LoadSettings());
  EXPECT_STREQ(settings.portName, "");
  EXPECT_EQ(settings.debounceDelay, 3);
}

}  // namespace

namespace {

using Lines = std::vector<std::string>;

// Each tone setting against its range: the value in use, and the one line
// that names an out-of-range value.
struct BoundCase {
  const char* name;
  double Settings::*field;
  double value;
  double inUse;
  Lines logged;
  int32_t sampleRate = 48000;  // for the frequency
};

// In a folder of its own with the debug log open; the settings come back after.
template <typename Param>
class LoggedSettings : public ::testing::TestWithParam<Param> {
 protected:
  void SetUp() override {
    saved_ = settings;
    OpenDebugLog();
  }
  void TearDown() override {
    CloseDebugLog();
    settings = saved_;
  }

 private:
  ScratchDirectory scratch_;
  Settings saved_;
};

class ToneSettingBound : public LoggedSettings<BoundCase> {};

TEST_P(ToneSettingBound, KeepsTheValueInsideAndLogsTheBoundUsedOutside) {
  const BoundCase& c = GetParam();
  settings.*c.field = c.value;
  if (c.field == &Settings::frequency) {
    EXPECT_EQ(FrequencyInUse(c.value, c.sampleRate), c.inUse);
  } else {
    LogSettingsFindings();
  }
  EXPECT_EQ(settings.*c.field, c.inUse);
  EXPECT_EQ(LogBody(), c.logged);
}

constexpr auto kAttenuation = &Settings::attenuation;
constexpr auto kFrequency = &Settings::frequency;
constexpr auto kRise = &Settings::riseTime;
constexpr auto kFall = &Settings::fallTime;

INSTANTIATE_TEST_SUITE_P(
    Cases, ToneSettingBound,
    ::testing::Values(
        BoundCase{"AttenuationZero", kAttenuation, 0.0, 0.0, {}},
        BoundCase{"AttenuationBelowZero", kAttenuation, -0.00001, 0.0,
                  {"Attenuation out of range: -0.00001, using 0"}},
        BoundCase{"AttenuationFarBelow", kAttenuation, -200.0, 0.0, {"Attenuation out of range: -200.00000, using 0"}},
        BoundCase{"AttenuationSixty", kAttenuation, 60.0, 60.0, {}},
        BoundCase{"AttenuationAboveSixty", kAttenuation, 60.00001, 60.0,
                  {"Attenuation out of range: 60.00001, using 60.00000"}},
        BoundCase{"RiseZero", kRise, 0.0, 0.0, {}},
        BoundCase{"RiseNegative", kRise, -0.001, 0.0, {"RiseTime out of range: -0.00100, using 0"}},
        BoundCase{"RiseOneSecond", kRise, 1.0, 1.0, {}},
        BoundCase{"RiseAboveOneSecond", kRise, 1.00001, 1.0, {"RiseTime out of range: 1.00001, using 1.00000"}},
        BoundCase{"FallZero", kFall, 0.0, 0.0, {}},
        BoundCase{"FallNegative", kFall, -1.0, 0.0, {"FallTime out of range: -1.00000, using 0"}},
        BoundCase{"FallOneSecond", kFall, 1.0, 1.0, {}},
        BoundCase{"FallWhoseCountWrapped", kFall, 44739.24, 1.0,
                  {"FallTime out of range: 44739.23999, using 1.00000"}},
        BoundCase{"FallHuge", kFall, 1e9, 1.0, {"FallTime out of range: 1000000000.00000, using 1.00000"}},
        BoundCase{"FrequencyLowest", kFrequency, 100.0, 100.0, {}},
        BoundCase{"FrequencyBelowLowest", kFrequency, 99.99, 100.0,
                  {"Frequency out of range: 99.98999, using 100.00000"}},
        BoundCase{"FrequencyZero", kFrequency, 0.0, 100.0, {"Frequency out of range: 0, using 100.00000"}},
        BoundCase{"FrequencyTiny", kFrequency, 1e-300, 100.0,
                  {"Frequency out of range: <>+/-1.0e-9, using 100.00000"}},
        BoundCase{"FrequencyNegative", kFrequency, -700.0, 100.0,
                  {"Frequency out of range: -700.00000, using 100.00000"}},
        BoundCase{"FrequencyHighest", kFrequency, 4000.0, 4000.0, {}},
        BoundCase{"FrequencyAboveHighest", kFrequency, 4000.01, 4000.0,
                  {"Frequency out of range: 4000.01000, using 4000.00000"}},
        BoundCase{"FrequencyHalfTheRate", kFrequency, 24000.0, 4000.0,
                  {"Frequency out of range: 24000.00000, using 4000.00000"}},
        BoundCase{"FrequencyHuge", kFrequency, 1e308, 4000.0,
                  {"Frequency out of range: <>+/-1.0e+9, using 4000.00000"}},
        BoundCase{"FrequencyQuarterOfALowRate", kFrequency, 2000.0, 2000.0, {}, 8000},
        BoundCase{"FrequencyAboveAQuarterOfALowRate", kFrequency, 2000.01, 2000.0,
                  {"Frequency out of range: 2000.00999, using 2000.00000"}, 8000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToneSettingBound, UnreadValueIsNamedOnceBeforeTheBoundsAndNamesItsItem) {
  std::ofstream("config.ini") << "D 0 A -6 F nan R 0.02 F 0.02 P COM2 L CTS X 4\n";
  ASSERT_TRUE(LoadSettings());
  LogSettingsFindings();
  LogSettingsFindings();
  EXPECT_EQ(LogBody(), (Lines{"Cannot read Frequency: later settings keep their defaults",
                              "Attenuation out of range: -6.00000, using 0"}));
}

// The log lines of a loaded config.ini: its findings, told once, after those
// of the eight, then the keyer's lines.
struct LoggedCase {
  const char* name;
  std::string text;
  Lines logged;
};

class LoadedSettingsLog : public LoggedSettings<LoggedCase> {};

TEST_P(LoadedSettingsLog, NamesEachFindingAndTheValueUsed) {
  const LoggedCase& c = GetParam();
  std::ofstream("config.ini") << c.text;
  ASSERT_TRUE(LoadSettings());
  LogSettingsFindings();
  LogSettingsFindings();
  LogKeyerSettings();
  EXPECT_EQ(LogBody(), c.logged);
}

const std::string kTenUnknown = [] {
  std::string pairs;
  for (int i = 0; i < 10; ++i) pairs += "Tone 1 ";
  return pairs;
}();

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadedSettingsLog,
    ::testing::Values(
        LoggedCase{"UnnamedNinthPairTellsNothing", kFull + "Timing soon\n", {}},
        LoggedCase{"StraightTellsNothingOfTheDahLineOnTheKeyLine", kFull + "DahLine cts\n", {}},
        LoggedCase{"BadValuesNameTheDefaultInFileOrder",
                   kFull + "Speed 70 Weight 80 Keyer fast DahLine XYZ KeyTiming soon",
                   {"Speed out of range: 70, using 20", "Weight out of range: 80, using 50",
                    "Keyer not known: fast, using straight", "DahLine not known: XYZ, using CTS",
                    "KeyTiming not known: soon, using immediate"}},
        LoggedCase{"NotWholeAndMissingValues", kFull + "Speed 20.5 Weight",
                   {"Speed not a whole number: 20.5, using 20", "Weight has no value, using 50"}},
        LoggedCase{"UnknownNameAfterTheNinthPair", kFull + "Speed 25 Tone 5 Keyer iambicB DahLine DSR",
                   {"Unknown setting Tone: ignored", "Keyer: iambic B", "Keyer speed: 25", "Keyer weight: 50"}},
        LoggedCase{"OverlongItemsShownCut", kFull + "Speed 00000000000000200 ToneToneToneToneTone 5",
                   {"Speed out of range: 0000000000000020..., using 20", "Unknown setting ToneToneToneTone...: ignored"}},
        LoggedCase{"DahLineByDefaultOnTheKeyLine", kFull + "keyer IAMBICA Weight 30",
                   {"DahLine same as KeyLine: CTS, using DSR", "Keyer: iambic A", "Keyer speed: 20",
                    "Keyer weight: 30"}},
        LoggedCase{"DahLineUnknownThenOnTheKeyLine", kFull + "Keyer bug DahLine XYZ",
                   {"DahLine not known: XYZ, using CTS", "DahLine same as KeyLine: CTS, using DSR", "Keyer: bug",
                    "Keyer speed: 20", "Keyer weight: 50"}},
        LoggedCase{"DahLineSetOnADsrKeyLine", "D 0 A 3 F 1000 R 0.01 F 0.01 P COM1 L DSR X 0 Keyer ultimatic DahLine dsr",
                   {"DahLine same as KeyLine: DSR, using CTS", "Keyer: ultimatic", "Keyer speed: 20",
                    "Keyer weight: 50"}},
        LoggedCase{"ManyBadPairsKeptFewAndCounted", kFull + "Keyer iambicB " + kTenUnknown + "DahLine DSR Speed 30",
                   {"Unknown setting Tone: ignored", "Unknown setting Tone: ignored", "Unknown setting Tone: ignored",
                    "Unknown setting Tone: ignored", "Unknown setting Tone: ignored", "Unknown setting Tone: ignored",
                    "Unknown setting Tone: ignored", "Unknown setting Tone: ignored",
                    "More settings findings not logged: 2", "Keyer: iambic B", "Keyer speed: 30",
                    "Keyer weight: 50"}},
        LoggedCase{"AfterTheToneSettingsBounds", "D 0 A -6 F 700 R 0.02 F 0.02 P COM2 L CTS X 4 Speed 70",
                   {"Attenuation out of range: -6.00000, using 0", "Speed out of range: 70, using 20"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
