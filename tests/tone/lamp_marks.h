#pragma once
// The keying the audio thread queues for the lamp, read back as marks in
// samples: each change is stamped with its sample's counter value, which
// the fill call's own counter value and first frame turn back into a frame.

#include <cmath>
#include <cstdint>
#include <vector>

#include "counter_double.h"
#include "tone/tone_generator.h"

struct Span {
  uint64_t start, length;  // samples
};

// Takes the changes queued by the fill call for frames from `callFrame`,
// made at counter value `now`, into `marks`.
inline void TakeLampMarks(ToneGenerator& g, int64_t now, uint64_t callFrame, std::vector<Span>& marks) {
  const double rate = static_cast<uint32_t>(g.params.sampleRate);
  for (; const KeyEdgeQueue::Edge* lit = g.lampEdges.Front(); g.lampEdges.Pop()) {
    const double offset = static_cast<double>(lit->stamp - now) * rate / CounterDouble::kFrequency;
    const uint64_t frame = callFrame + static_cast<uint64_t>(std::llround(offset));
    if (lit->down) {
      marks.push_back({frame, 0});
    } else if (!marks.empty()) {
      marks.back().length = frame - marks.back().start;
    }
  }
}
