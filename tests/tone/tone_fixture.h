#pragma once
// A generator built from given settings and installed as the process's one;
// key edges queued as the keying controller queues them, stamped on a
// 10 MHz counter that follows the samples produced.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "app/app_state.h"
#include "tone/fill_buffer.h"
#include "tone/tone_generator.h"

struct ToneSettings {
  int32_t sampleRate = 44100;
  double riseTime = 0.01;
  double fallTime = 0.01;
  double frequency = 1000.0;
  double attenuation = 3.0;
  bool scheduled = false;
  KeyerMode keyer = KeyerMode::Straight;
  int32_t keyerSpeed = 20;
  int32_t keyerWeight = 50;
};

class ToneTest : public ::testing::Test {
 protected:
  static constexpr int64_t kTicksPerSecond = 10'000'000;

  void TearDown() override { Remove(); }

  ToneGenerator& Install(const ToneSettings& tone) {
    Remove();
    generator_ = CreateToneGenerator();
    generator_->params.sampleRate = tone.sampleRate;
    ComputeToneParameters(*generator_, {tone.attenuation, tone.frequency, tone.riseTime, tone.fallTime,
                                        tone.scheduled, tone.keyer, tone.keyerSpeed, tone.keyerWeight});
    appState.toneGenerator = generator_;
    produced_ = 0;
    return *generator_;
  }

  // A key-down now, and its key-up `micros` after it.
  void Down() {
    downStamp_ = std::llround(static_cast<double>(produced_) / generator_->params.sampleRate * kTicksPerSecond);
    generator_->edges.Push({downStamp_, true});
  }
  void Up(uint32_t micros) { generator_->edges.Push({downStamp_ + int64_t{micros} * 10, false}); }

  // One fill call producing `samples` samples; both halves must agree.
  std::vector<int16_t> Fill(uint32_t samples) {
    std::vector<int16_t> buffer(2 * samples, -7);
    FillBuffer(buffer.data(), 2 * samples, generator_);
    produced_ += samples;
    std::vector<int16_t> first(buffer.begin(), buffer.begin() + samples);
    EXPECT_EQ(first, std::vector<int16_t>(buffer.begin() + samples, buffer.end()));
    return first;
  }

  // Plays one sample per fill call until the tone ends; the number of samples
  // produced since the key-down when it did (0 if it lasted `limit` more).
  uint32_t PlayToEnd(uint32_t limit = 1000000) {
    for (uint32_t i = 0; i < limit && generator_->sounding; ++i) Fill(1);
    return generator_->sounding ? 0 : generator_->envelope.samplesSinceKeyDown;
  }

  // Plays one sample per fill call until the fall has begun; the number of
  // the sample on which it began, counted from 1 at the key-down.
  uint32_t PlayToFall(uint32_t limit = 1000000) {
    const Envelope& envelope = generator_->envelope;
    for (uint32_t i = 0; i < limit && envelope.state != EnvelopeState::kFalling; ++i) Fill(1);
    return envelope.samplesSinceKeyDown - envelope.fallStep + 1;
  }

 private:
  void Remove() {
    appState.toneGenerator = nullptr;
    DestroyToneGenerator(generator_);
    generator_ = nullptr;
  }

  ToneGenerator* generator_ = nullptr;
  uint64_t produced_ = 0;
  int64_t downStamp_ = 0;
};
