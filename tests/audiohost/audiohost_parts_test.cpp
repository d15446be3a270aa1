// The library's workings that need no device: the recorder's hand-over ring,
// the conversion to an endpoint's frames, the endpoint notifications and the
// WAV file on a full disk.

#include <windows.h>
#include <mmdeviceapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "endpoint_watcher.h"
#include "frame_ring.h"
#include "sample_conversion.h"
#include "wav_writer.h"

namespace {

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

TEST(EndpointWatcher, SignalsWhenItsOwnEndpointLeavesService) {
  const struct {
    const char* name;
    bool removed;  // else a state change to `state`
    const wchar_t* endpoint;
    DWORD state;
    bool signalled;
  } cases[] = {
      {"unplugged", false, L"{endpoint-a}", DEVICE_STATE_UNPLUGGED, true},
      {"disabled", false, L"{endpoint-a}", DEVICE_STATE_DISABLED, true},
      {"not present", false, L"{endpoint-a}", DEVICE_STATE_NOTPRESENT, true},
      {"active again", false, L"{endpoint-a}", DEVICE_STATE_ACTIVE, false},
      {"another one unplugged", false, L"{endpoint-b}", DEVICE_STATE_UNPLUGGED, false},
      {"no endpoint named", false, nullptr, DEVICE_STATE_UNPLUGGED, false},
      {"removed", true, L"{endpoint-a}", 0, true},
      {"another one removed", true, L"{endpoint-b}", 0, false},
  };
  const HANDLE gone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EndpointWatcher watcher(L"{endpoint-a}", gone);
  for (const auto& c : cases) {
    const HRESULT result =
        c.removed ? watcher.OnDeviceRemoved(c.endpoint) : watcher.OnDeviceStateChanged(c.endpoint, c.state);
    EXPECT_EQ(result, S_OK) << c.name;
    EXPECT_EQ(WaitForSingleObject(gone, 0) == WAIT_OBJECT_0, c.signalled) << c.name;
  }
  CloseHandle(gone);
}

// A disk that fills up in the middle of a write: the piece of a frame that
// reached the file is cut off again, so the frames after it stay aligned and
// the header counts exactly the frames in the file.
size_t bytesBeforeTheDiskIsFull = 0;
size_t WriteUntilFull(const void* data, size_t bytes, FILE* file) {
  const size_t written = std::fwrite(data, 1, std::min(bytes, bytesBeforeTheDiskIsFull), file);
  bytesBeforeTheDiskIsFull -= written;
  return written;
}

TEST(WavWriter, AShortWriteKeepsWholeFramesAndCountsTheRest) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "velkin-short-write.wav";
  WavFile wav;
  ASSERT_TRUE(OpenWav(wav, path.string().c_str(), 48000));
  const int16_t frames[] = {1, -1, 2, -2, 3, -3, 4, -4, 5, -5};
  const WavWrite realWrite = wavWrite;
  wavWrite = WriteUntilFull;
  bytesBeforeTheDiskIsFull = 4 * 2 + 2;  // two frames and half of the third
  EXPECT_FALSE(AppendWav(wav, frames, 5));
  bytesBeforeTheDiskIsFull = 0;
  EXPECT_FALSE(AppendWav(wav, frames, 2));
  wavWrite = realWrite;
  EXPECT_TRUE(AppendWav(wav, frames + 6, 2));  // room again: frames 4 and 5
  EXPECT_EQ(wav.lostFrames, 3u + 2u);
  CloseWav(wav);

  std::ifstream in(path, std::ios::binary);
  const std::vector<char> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  in.close();
  std::filesystem::remove(path);
  ASSERT_EQ(file.size(), 44u + 4 * 4);
  uint32_t dataBytes, riffBytes;
  std::memcpy(&riffBytes, file.data() + 4, 4);
  std::memcpy(&dataBytes, file.data() + 40, 4);
  EXPECT_EQ(dataBytes, 4u * 4);
  EXPECT_EQ(riffBytes, 36u + 4 * 4);
  std::vector<int16_t> samples(8);
  std::memcpy(samples.data(), file.data() + 44, 16);
  EXPECT_EQ(samples, (std::vector<int16_t>{1, -1, 2, -2, 4, -4, 5, -5}));
}

}  // namespace
