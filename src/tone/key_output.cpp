#include "tone/key_output.h"

#include <algorithm>
#include <cmath>

#include "tone/envelope.h"
#include "tone/tone_generator.h"

namespace {

int Index(ToneKey key) { return key == ToneKey::Straight ? 0 : 1; }

// A press under way whose release has not come: it can go on.
bool Pressed(const Envelope& envelope) {
  return envelope.state == EnvelopeState::kRising || envelope.state == EnvelopeState::kSteady;
}

// The counter value at which frame `frame` is produced, counted from this
// call's: what the lamp is stamped with.
int64_t StampOf(const ToneGenerator& generator, uint64_t frame) {
  const KeySchedule& schedule = generator.schedule;
  const ToneParameters& params = generator.params;
  const double frames = static_cast<double>(frame) - static_cast<double>(schedule.callFrame);
  const double counts = frames / static_cast<uint32_t>(params.sampleRate) * static_cast<double>(params.counterFrequency);
  return schedule.now + static_cast<int64_t>(std::llround(counts));
}

void QueueLamp(ToneGenerator& generator, bool lit, uint64_t frame) {
  generator.output.lampLit = lit;
  generator.lampEdges.Push({StampOf(generator, frame), lit});
}

}  // namespace

void KeyToneFrom(ToneGenerator& generator, ToneKey key, uint64_t frame) {
  KeyOutput& output = generator.output;
  const bool other = output.until[1 - Index(key)] > frame;
  if (other && Pressed(generator.envelope)) {
    HoldTone(generator);
  } else {
    PressTone(generator);
    output.pressFrame = frame;
  }
  output.until[Index(key)] = kKeyingOpen;
  output.lampOffFrame = kKeyingOpen;
  if (generator.params.keyer != KeyerMode::Straight && !output.lampLit) QueueLamp(generator, true, frame);
}

void KeyToneUntil(ToneGenerator& generator, ToneKey key, uint64_t end) {
  KeyOutput& output = generator.output;
  output.until[Index(key)] = end;
  const uint64_t last = std::max(output.until[0], output.until[1]);
  if (last == kKeyingOpen) return;
  const uint64_t held = last > output.pressFrame ? last - output.pressFrame : 0;
  ReleaseTone(generator, static_cast<uint32_t>(std::min<uint64_t>(held, UINT32_MAX - 1)));
  output.lampOffFrame = last;
}

uint32_t MeetKeyingEnd(ToneGenerator& generator, uint32_t at, uint32_t frames) {
  KeyOutput& output = generator.output;
  if (!output.lampLit || output.lampOffFrame == kKeyingOpen) return frames;
  const uint64_t now = generator.schedule.callFrame + at;
  if (output.lampOffFrame > now) {
    return static_cast<uint32_t>(std::min<uint64_t>(output.lampOffFrame - generator.schedule.callFrame, frames));
  }
  QueueLamp(generator, false, now);
  return frames;
}

bool FollowLamp(ToneGenerator& generator, int64_t now, bool& lit) {
  const bool was = lit;
  uint8_t levels = 0;
  if (generator.lampEdges.TakeOverflow(levels)) lit = (levels & InputBit(KeyInput::Key)) != 0;
  while (const KeyEdgeQueue::Edge* edge = generator.lampEdges.Front()) {
    if (edge->stamp > now) break;
    lit = edge->down;
    generator.lampEdges.Pop();
  }
  return lit != was;
}
