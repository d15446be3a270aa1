#include "frame_ring.h"

void FrameRing::Allocate(uint32_t minFrames) {
  uint32_t capacity = 1;
  while (capacity < minFrames && capacity < (1u << 30)) capacity <<= 1;
  samples_.assign(size_t{capacity} * 2, 0);
  frameMask_ = capacity - 1;
  written_.store(0, std::memory_order_relaxed);
  read_.store(0, std::memory_order_relaxed);
}

void FrameRing::Release() {
  std::vector<int16_t>().swap(samples_);
  frameMask_ = 0;
  written_.store(0, std::memory_order_relaxed);
  read_.store(0, std::memory_order_relaxed);
}

bool FrameRing::PushHalves(const int16_t* left, const int16_t* right, uint32_t frames) {
  if (samples_.empty()) return false;
  const uint32_t written = written_.load(std::memory_order_relaxed);
  const uint32_t used = written - read_.load(std::memory_order_acquire);
  if (frames > frameMask_ + 1 - used) return false;
  for (uint32_t i = 0; i < frames; ++i) {
    const size_t at = size_t{(written + i) & frameMask_} * 2;
    samples_[at] = left[i];
    samples_[at + 1] = right[i];
  }
  written_.store(written + frames, std::memory_order_release);
  return true;
}

const int16_t* FrameRing::Readable(uint32_t& frames) const {
  const uint32_t read = read_.load(std::memory_order_relaxed);
  const uint32_t stored = written_.load(std::memory_order_acquire) - read;
  const uint32_t first = read & frameMask_;
  const uint32_t untilWrap = frameMask_ + 1 - first;
  frames = stored < untilWrap ? stored : untilWrap;
  return samples_.data() + size_t{first} * 2;
}

void FrameRing::Consume(uint32_t frames) {
  read_.store(read_.load(std::memory_order_relaxed) + frames, std::memory_order_release);
}
