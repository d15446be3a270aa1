#pragma once
// A generator built from given settings and installed as the process's one,
// with the settings restored afterwards.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "app/app_state.h"
#include "app/settings.h"
#include "tone/envelope.h"
#include "tone/tone_generator.h"

struct ToneSettings {
  int32_t sampleRate = 44100;
  double riseTime = 0.01;
  double fallTime = 0.01;
  double frequency = 1000.0;
  double attenuation = 3.0;
};

class ToneTest : public ::testing::Test {
 protected:
  void TearDown() override { Remove(); settings = saved_; }

  ToneGenerator& Install(const ToneSettings& tone) {
    Remove();
    settings.attenuation = tone.attenuation;
    settings.frequency = tone.frequency;
    settings.riseTime = tone.riseTime;
    settings.fallTime = tone.fallTime;
    generator_ = CreateToneGenerator();
    generator_->sampleRate = tone.sampleRate;
    ComputeToneParameters(*generator_);
    appState.toneGenerator = generator_;
    return *generator_;
  }

  // One fill call producing `samples` samples; both halves must agree.
  std::vector<int16_t> Fill(uint32_t samples) {
    std::vector<int16_t> buffer(2 * samples, -7);
    FillBuffer(buffer.data(), 2 * samples, generator_);
    std::vector<int16_t> first(buffer.begin(), buffer.begin() + samples);
    EXPECT_EQ(first, std::vector<int16_t>(buffer.begin() + samples, buffer.end()));
    return first;
  }

  // Plays one sample per fill call until the tone ends; the number of samples
  // produced since the key-down when it did (0 if it lasted `limit` more).
  uint32_t PlayToEnd(uint32_t limit = 1000000) {
    int16_t pair[2];
    for (uint32_t i = 0; i < limit && generator_->sounding; ++i) FillBuffer(pair, 2, generator_);
    return generator_->sounding ? 0 : generator_->samplesSinceKeyDown.load();
  }

  // Plays one sample per fill call until the fall has begun; the number of
  // the sample on which it began, counted from 1 at the key-down.
  uint32_t PlayToFall(uint32_t limit = 1000000) {
    int16_t pair[2];
    for (uint32_t i = 0; i < limit && generator_->sounding && !generator_->falling; ++i)
      FillBuffer(pair, 2, generator_);
    return generator_->samplesSinceKeyDown - generator_->fallCounter + 1;
  }

 private:
  void Remove() {
    appState.toneGenerator = nullptr;
    DestroyToneGenerator(generator_);
    generator_ = nullptr;
  }

  Settings saved_ = settings;
  ToneGenerator* generator_ = nullptr;
};
