#pragma once
// What keys the tone: the straight key and the keyer's marks, on the audio
// thread. The tone sounds while either keys it: the envelope sees one press,
// from the first to key it until the last lets go, so two that overlap never
// click or cut each other. In the keyer modes each change of the keying is
// queued for the lamp as well, stamped with its sample's counter value.

#include <cstdint>

struct ToneGenerator;

enum class ToneKey : uint8_t { Straight, Keyer };

struct KeyOutput {
  uint64_t until[2];      // per ToneKey: the frame its keying ends, 0 if it
                          // never keyed, kKeyingOpen while its end is unknown
  uint64_t pressFrame;    // the frame of the envelope's press
  bool lampLit;           // as last queued for the lamp
  uint64_t lampOffFrame;  // while lit: the frame the keying ends
};

constexpr uint64_t kKeyingOpen = UINT64_MAX;

// `key` keys the tone from frame `frame` (the one the call has reached), with
// no end known yet.
void KeyToneFrom(ToneGenerator& generator, ToneKey key, uint64_t frame);
// `key` stops keying the tone at frame `end`, or at once when that has passed.
void KeyToneUntil(ToneGenerator& generator, ToneKey key, uint64_t end);
// Queues the lamp's going out once the keying has ended by frame `at` of this
// call; returns the frame within the call at which it ends (`frames` if none).
uint32_t MeetKeyingEnd(ToneGenerator& generator, uint32_t at, uint32_t frames);

// The lamp in the keyer modes follows the keying: applies the changes queued
// by counter value `now` to `lit`; true when `lit` changed. One thread,
// other than the audio thread.
bool FollowLamp(ToneGenerator& generator, int64_t now, bool& lit);
