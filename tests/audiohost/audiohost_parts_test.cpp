// The library's workings that need no device: the recorder's settings, the
// hand-over ring and the conversion to an endpoint's frames.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "frame_ring.h"
#include "recorder_options.h"
#include "sample_conversion.h"

namespace {

TEST(ParseCount, TakesOnlyWholeNumbersInRange) {
  const struct {
    const char* text;
    bool accepted;
    uint32_t value;
  } cases[] = {
      {"48000", true, 48000}, {"8000", true, 8000},     {"384000", true, 384000}, {"7999", false, 0},
      {"384001", false, 0},   {"", false, 0},           {"+48000", false, 0},     {"-1", false, 0},
      {"48000 ", false, 0},   {" 48000", false, 0},     {"4.8e4", false, 0},      {"0x100", false, 0},
      {"00048000", true, 48000}, {"18446744073709551617", false, 0},
  };
  for (const auto& c : cases) {
    uint32_t value = 0;
    EXPECT_EQ(ParseCount(c.text, kMinRate, kMaxRate, value), c.accepted) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
  uint32_t untouched = 7;
  EXPECT_FALSE(ParseCount(nullptr, 0, 10, untouched));
  EXPECT_EQ(untouched, 7u);
}

TEST(FrameRing, InterleavesKeepsOrderAcrossTheWrapAndRefusesWhatDoesNotFit) {
  FrameRing ring;
  ring.Allocate(6);  // rounds up to 8 frames
  const int16_t halves[] = {1, 2, 3, 4, 5, -1, -2, -3, -4, -5};
  std::vector<int16_t> out;
  auto drain = [&] {
    for (;;) {
      uint32_t frames = 0;
      const int16_t* samples = ring.Readable(frames);
      if (frames == 0) return;
      out.insert(out.end(), samples, samples + 2 * frames);
      ring.Consume(frames);
    }
  };
  EXPECT_TRUE(ring.PushHalves(halves, halves + 5, 5));
  EXPECT_FALSE(ring.PushHalves(halves, halves + 5, 5)) << "only 3 frames free";
  drain();
  EXPECT_TRUE(ring.PushHalves(halves, halves + 5, 5));  // wraps after 3 frames
  EXPECT_TRUE(ring.PushHalves(halves, halves + 3, 3));  // exactly full
  EXPECT_FALSE(ring.PushHalves(halves, halves + 1, 1));
  drain();
  const std::vector<int16_t> expected = {1, -1, 2, -2, 3, -3, 4, -4, 5, -5,   //
                                         1, -1, 2, -2, 3, -3, 4, -4, 5, -5,   //
                                         1, 4, 2, 5, 3, -1};
  EXPECT_EQ(out, expected);
  FrameRing empty;
  EXPECT_FALSE(empty.PushHalves(halves, halves + 1, 1));
}

TEST(ConvertHalves, PutsLeftAndRightIntoEachFormat) {
  const int16_t halves[] = {0x1234, -32768, 0x0100, 32767};  // two frames: left 0x1234, -32768
  const struct {
    const char* name;
    FrameFormat format;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"Int16Stereo", {SampleFormat::Int16, 2}, {0x34, 0x12, 0x00, 0x01, 0x00, 0x80, 0xFF, 0x7F}},
      {"Int24Stereo",
       {SampleFormat::Int24, 2},
       {0x00, 0x34, 0x12, 0x00, 0x00, 0x01, 0x00, 0x00, 0x80, 0x00, 0xFF, 0x7F}},
      {"Int32Stereo",
       {SampleFormat::Int32, 2},
       {0, 0, 0x34, 0x12, 0, 0, 0x00, 0x01, 0, 0, 0x00, 0x80, 0, 0, 0xFF, 0x7F}},
      {"Int16Mono", {SampleFormat::Int16, 1}, {0x9A, 0x09, 0x00, 0x00}},
      {"Int16FourChannels",
       {SampleFormat::Int16, 4},
       {0x34, 0x12, 0x00, 0x01, 0, 0, 0, 0, 0x00, 0x80, 0xFF, 0x7F, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out(c.bytes.size() + 4, 0xEE);
    ConvertHalves(halves, 2, c.format, out.data());
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end() - 4), c.bytes) << c.name;
    EXPECT_EQ(std::vector<uint8_t>(out.end() - 4, out.end()), std::vector<uint8_t>(4, 0xEE))
        << c.name << " wrote past its frames";
  }
  float floats[4];
  ConvertHalves(halves, 2, {SampleFormat::Float32, 2}, reinterpret_cast<uint8_t*>(floats));
  EXPECT_FLOAT_EQ(floats[0], 0x1234 / 32768.0f);
  EXPECT_FLOAT_EQ(floats[1], 0x0100 / 32768.0f);
  EXPECT_FLOAT_EQ(floats[2], -1.0f);
  EXPECT_FLOAT_EQ(floats[3], 32767 / 32768.0f);
}

}  // namespace
