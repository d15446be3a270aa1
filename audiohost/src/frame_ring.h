#pragma once
// A single-producer, single-consumer ring of interleaved stereo frames that
// hands the recorder's samples from its pacing thread to its file writer
// without a lock. The storage is allocated before either thread runs.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class FrameRing {
 public:
  // Room for at least `minFrames` frames. Only while no thread uses the ring.
  void Allocate(uint32_t minFrames);
  void Release();

  // Producer: interleaves `frames` frames from the two halves of a fill
  // buffer. All or nothing: false, and nothing stored, when they do not fit.
  bool PushHalves(const int16_t* left, const int16_t* right, uint32_t frames);

  // Consumer: the oldest stored frames that lie in one piece, then Consume
  // once they are used.
  const int16_t* Readable(uint32_t& frames) const;
  void Consume(uint32_t frames);

 private:
  std::vector<int16_t> samples_;  // two per frame
  uint32_t frameMask_ = 0;
  std::atomic<uint32_t> written_{0};  // frames pushed, wrapping
  std::atomic<uint32_t> read_{0};     // frames consumed, wrapping
};
