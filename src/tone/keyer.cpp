#include "tone/keyer.h"

#include <algorithm>

#include "tone/key_output.h"
#include "tone/real_to_count.h"
#include "tone/tone_generator.h"

namespace {

constexpr uint8_t kDit = 0;
constexpr uint8_t kDah = 1;
constexpr uint8_t kNoElement = 2;

uint8_t PaddleOf(KeyInput input) {
  return input == KeyInput::DitLine || input == KeyInput::DitKeyboard ? kDit : kDah;
}

uint8_t SourceOf(KeyInput input) { return input == KeyInput::DitLine || input == KeyInput::DahLine ? 1 : 2; }

bool Closed(const Keyer& keyer, uint8_t paddle) { return keyer.closedBy[paddle] != 0; }

bool Wants(const Keyer& keyer, uint8_t paddle) { return Closed(keyer, paddle) || keyer.memory[paddle]; }

uint32_t Rounded(double samples) { return RealToCount(samples + 0.5); }

struct ElementLength {
  uint32_t mark;
  uint32_t whole;  // the mark and the space after it
};

ElementLength LengthOf(const ToneGenerator& generator, uint8_t element) {
  const ToneParameters& params = generator.params;
  const double unit = static_cast<uint32_t>(params.sampleRate) * 1.2 / generator.keyerSpeed.load(std::memory_order_relaxed);
  const double weighting = (params.keyerWeight - 50) / 50.0 * unit;
  const double units = element == kDit ? 1.0 : 3.0;
  return {Rounded(units * unit + weighting), Rounded((units + 1.0) * unit)};
}

// The element to send next: `afterElement` when the one under way has just
// ended, otherwise from idle. Paddles closed on one sample count in the order
// their edges were queued, which is the order of their stamps.
uint8_t NextElement(const Keyer& keyer, KeyerMode mode, bool afterElement) {
  const bool dit = Wants(keyer, kDit);
  const bool dah = mode != KeyerMode::Bug && Wants(keyer, kDah);
  if (dit != dah) return dit ? kDit : kDah;
  if (!dit) return kNoElement;
  if (mode == KeyerMode::Ultimatic) return keyer.lastClosed;
  return 1 - (afterElement ? keyer.element : keyer.lastClosed);
}

void StartElement(ToneGenerator& generator, uint8_t element, uint64_t frame) {
  Keyer& keyer = generator.keyer;
  const ElementLength length = LengthOf(generator, element);
  keyer.memory[element] = false;
  keyer.element = element;
  keyer.sending = true;
  keyer.elementEnd = frame + length.whole;
  keyer.bothClosed = Closed(keyer, kDit) && Closed(keyer, kDah);
  KeyToneFrom(generator, ToneKey::Keyer, frame);
  KeyToneUntil(generator, ToneKey::Keyer, frame + length.mark);
}

uint32_t FrameInCall(const ToneGenerator& generator, uint64_t frame, uint32_t frames) {
  return static_cast<uint32_t>(std::min<uint64_t>(frame - generator.schedule.callFrame, frames));
}

}  // namespace

void SetKeyerSpeed(ToneGenerator& generator, int32_t wordsPerMinute) {
  generator.keyerSpeed.store(std::clamp(wordsPerMinute, kLowestKeyerSpeed, kHighestKeyerSpeed),
                             std::memory_order_relaxed);
}

void MeetPaddleEdge(ToneGenerator& generator, const KeyEdgeQueue::Edge& edge, bool arms) {
  Keyer& keyer = generator.keyer;
  const uint8_t paddle = PaddleOf(edge.input);
  const bool wasClosed = Closed(keyer, paddle);
  if (edge.down) {
    keyer.closedBy[paddle] |= SourceOf(edge.input);
  } else {
    keyer.closedBy[paddle] &= static_cast<uint8_t>(~SourceOf(edge.input));
  }
  if (!wasClosed && Closed(keyer, paddle)) {
    keyer.lastClosed = paddle;
    if (arms) keyer.memory[paddle] = true;
  }
  if (Closed(keyer, kDit) && Closed(keyer, kDah)) keyer.bothClosed = true;
}

void CatchUpPaddles(ToneGenerator& generator, uint8_t levels) {
  for (const KeyInput input : {KeyInput::DitLine, KeyInput::DitKeyboard, KeyInput::DahLine, KeyInput::DahKeyboard}) {
    MeetPaddleEdge(generator, {generator.schedule.now, (levels & InputBit(input)) != 0, input}, false);
  }
}

uint32_t RunKeyer(ToneGenerator& generator, uint32_t at, uint32_t frames) {
  Keyer& keyer = generator.keyer;
  const KeyerMode mode = generator.params.keyer;
  if (mode == KeyerMode::Straight) return frames;
  const uint64_t now = generator.schedule.callFrame + at;
  const bool afterElement = keyer.sending;
  if (keyer.sending) {
    if (now < keyer.elementEnd) return FrameInCall(generator, keyer.elementEnd, frames);
    if (mode == KeyerMode::IambicB && keyer.bothClosed) keyer.memory[1 - keyer.element] = true;
    keyer.sending = false;
  }
  const uint8_t next = NextElement(keyer, mode, afterElement);
  if (next == kNoElement) return frames;
  StartElement(generator, next, now);
  return FrameInCall(generator, keyer.elementEnd, frames);
}
