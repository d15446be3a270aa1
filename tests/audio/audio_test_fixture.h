#pragma once
// Runs each test in a folder of its own with the debug log open and a new
// generator in appState, and restores the settings and the library table
// afterwards.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/settings.h"
#include "audio/audio_host.h"
#include "log/debug_log.h"
#include "log_body.h"
#include "scratch_directory.h"
#include "tone/tone_generator.h"

class AudioOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = settings;
    OpenDebugLog();
    appState.toneGenerator = CreateToneGenerator();
  }

  void TearDown() override {
    CloseDebugLog();
    DestroyToneGenerator(appState.toneGenerator);
    appState.toneGenerator = nullptr;
    appState.threadOutlived.store(false);
    audioHost = AudioHost{};
    settings = saved_;
  }

  ToneGenerator& Generator() { return *appState.toneGenerator; }

 private:
  ScratchDirectory scratch_;
  Settings saved_;
};
