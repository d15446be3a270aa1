#include "tone/fill_buffer.h"

#include <algorithm>

#include "tone/envelope.h"
#include "tone/key_schedule.h"
#include "tone/performance_counter.h"
#include "tone/tone_generator.h"

void FillBuffer(int16_t* buffer, uint32_t count, void* context) {
  ToneGenerator& generator = *static_cast<ToneGenerator*>(context);
  const uint32_t frames = count / 2;
  BeginScheduleCall(generator, ReadPerformanceCounter(), frames);
  BeginEnvelopeCall(generator);
  bool played = generator.envelope.state != EnvelopeState::kSilent;
  for (uint32_t at = 0; at < frames;) {
    const uint32_t next = MeetEdges(generator, at, frames);
    if (generator.envelope.state != EnvelopeState::kSilent) {
      ProduceSamples(generator, buffer, frames, at, next);
      played = true;
    } else {
      std::fill(buffer + at, buffer + next, int16_t{0});
      std::fill(buffer + frames + at, buffer + frames + next, int16_t{0});
    }
    at = next;
  }
  EndScheduleCall(generator, frames);
  if (count % 2 != 0) buffer[count - 1] = 0;  // a value that belongs to neither half
  if (played) generator.buffersPlayed.store(generator.buffersPlayed.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}
