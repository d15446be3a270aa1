#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/settings.h"
#include "scratch_directory.h"

namespace {

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
};

struct Case {
  const char* name;
  std::string text;
  Expected expected;
};

const std::string kFull =
    "Device 1\nAttenuation 6.5\nFrequency 700\nRise 0.005\nFall 0.004\nPort COM3\nLine CTS\nDebounce 5\n";

class SettingsFile : public ::testing::TestWithParam<Case> {};

TEST_P(SettingsFile, FillsTheFieldsByTheStoppingRule) {
  const Case& c = GetParam();
  const Settings s = Read(c.text);
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
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsFile,
    ::testing::Values(
        Case{"Complete", kFull, {1, 6.5, 700, 0.005, 0.004, "COM3", "CTS", 5}},
        Case{"OneLine", "a 2 b 1 c 800 d 0.02 e 0.03 f LPT1 g RLSD h 12",
             {2, 1, 800, 0.02, 0.03, "LPT1", "RLS", 12}},
        Case{"Empty", "", {0, 3.0, 1000.0, 0.01, 0.01, "", "", 0}},
        Case{"WhiteSpaceOnly", " \n\t \r\n", {0, 3.0, 1000.0, 0.01, 0.01, "", "", 0}},
        Case{"EndsAfterItem10", "D 1 A 6.5 F 700 R 0.005 F 0.004",
             {1, 6.5, 700, 0.005, 0.004, "", "", 0}},
        Case{"EndsAfterItem12", "D 1 A 6.5 F 700 R 0.005 F 0.004 P COM3",
             {1, 6.5, 700, 0.005, 0.004, "COM3", "", 0}},
        Case{"RingHeldAsThreeLetters", "D 0 A 3 F 1000 R 0.01 F 0.01 P COM1 L RING X 0",
             {0, 3, 1000, 0.01, 0.01, "COM1", "RIN", 0}},
        Case{"LowerCaseKeptAsWritten", "D 0 A 3 F 1000 R 0.01 F 0.01 P com1 L cts X 0",
             {0, 3, 1000, 0.01, 0.01, "com1", "cts", 0}},
        Case{"FiveCharacterPortKeptWhole", "D 0 A 3 F 1000 R 0.01 F 0.01 P COM10 L DSR X 0",
             {0, 3, 1000, 0.01, 0.01, "COM10", "DSR", 0}},
        Case{"PortCutAfterFive", "D 0 A 3 F 1000 R 0.01 F 0.01 P COM100 L DSR X 0",
             {0, 3, 1000, 0.01, 0.01, "COM10", "DSR", 0}},
        Case{"UnitAfterFrequency", "D 0 A 3 F 1000Hz R 0.02 F 0.02 P COM2 L CTS X 4",
             {0, 3, 1000, 0.01, 0.01, "", "", 0}},
        Case{"RealDeviceNumber", "D 1.5 A 6 F 700 R 0.02 F 0.02 P COM2 L CTS X 4",
             {1, 3.0, 1000.0, 0.01, 0.01, "", "", 0}},
        Case{"TwoWordLabelBeforeNumber", "Audio device 2 A 6 F 700 R 0.02 F 0.02 P COM2 L CTS X 4",
             {0, 3.0, 1000.0, 0.01, 0.01, "", "", 0}},
        Case{"TwoWordLabelBeforePort", "D 0 A 3 F 1000 R 0.01 F 0.01 Key port COM2 L CTS X 4",
             {0, 3, 1000, 0.01, 0.01, "port", "L", 0}},
        Case{"IntegerOutOfRange", "D 99999999999 A 6 F 700 R 0.02 F 0.02 P COM2 L CTS X 4",
             {0, 3.0, 1000.0, 0.01, 0.01, "", "", 0}},
        Case{"RealOutOfRange", "D 1 A 1e999 F 700 R 0.02 F 0.02 P COM2 L CTS X 4",
             {1, 3.0, 1000.0, 0.01, 0.01, "", "", 0}},
        Case{"DebounceOutOfRange", "D 1 A 6 F 700 R 0.02 F 0.02 P COM2 L CTS X -3000000000",
             {1, 6, 700, 0.02, 0.02, "COM2", "CTS", 0}},
        Case{"NegativeValues", "D -1 A -6 F 700 R -1 F 0 P COM2 L DSR X -5",
             {-1, -6, 700, -1, 0, "COM2", "DSR", -5}},
        Case{"TextAfterLastItemIgnored", kFull + "; a comment 42 that is never read\n",
             {1, 6.5, 700, 0.005, 0.004, "COM3", "CTS", 5}},
        Case{"ScheduledKeying", kFull + "KeyTiming scheduled\n",
             {1, 6.5, 700, 0.005, 0.004, "COM3", "CTS", 5, KeyTiming::Scheduled}},
        Case{"ImmediateKeying", kFull + "KeyTiming immediate\n", {1, 6.5, 700, 0.005, 0.004, "COM3", "CTS", 5}},
        Case{"OnlyTheExactWordSchedules", kFull + "KeyTiming Scheduled",
             {1, 6.5, 700, 0.005, 0.004, "COM3", "CTS", 5}},
        Case{"LongerWordDoesNotSchedule", kFull + "KeyTiming scheduledx",
             {1, 6.5, 700, 0.005, 0.004, "COM3", "CTS", 5}},
        Case{"NinthPairAfterAStoppedReading", "D 1 A x F 700 R 0.02 F 0.02 P COM2 L CTS X 4 K scheduled",
             {1, 3.0, 1000.0, 0.01, 0.01, "", "", 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsFile, OverlongItemsAreConsumedWholeAndNeverOverrunAField) {
  const std::string huge(100000, 'X');
  const Settings s = Read(huge + " 1 A 3 F 1000 R 0.01 F 0.01 P " + huge + " L " + huge + " X 7");
  EXPECT_EQ(s.deviceNumber, 1);
  EXPECT_STREQ(s.portName, "XXXXX");
  EXPECT_STREQ(s.keyLine, "XXX");
  EXPECT_EQ(s.debounceDelay, 7);
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
