#pragma once
// Stamped key edges in the order they were queued, from the key sources to
// the audio thread: the one way the key side reaches the tone. Any number of
// producers (the straight key, performed one edge at a time, and each paddle
// source from its own thread) and one consumer; no lock, no allocation. A
// producer that has taken a slot but not yet filled it holds back the edges
// behind it until it has, which the consumer sees as edges not yet there.

#include <atomic>
#include <cstdint>

// Where an edge comes from: the straight key, or one source of a paddle.
enum class KeyInput : uint8_t { Key, DitLine, DitKeyboard, DahLine, DahKeyboard };

// The input's bit in a set of inputs.
constexpr uint8_t InputBit(KeyInput input) { return static_cast<uint8_t>(1u << static_cast<uint8_t>(input)); }

class KeyEdgeQueue {
 public:
  struct Edge {
    int64_t stamp;  // performance counter
    bool down;
    KeyInput input = KeyInput::Key;
  };

  // Producer. When the queue is full the edge is lost, and the consumer
  // learns it.
  void Push(const Edge& edge);

  // Consumer: the oldest edge, or null when there is none. Any thread may
  // ask whether there is one.
  const Edge* Front() const;
  void Pop();
  // True, once, when edges were lost since the last call: the queue is then
  // emptied, and bit i of `levels` tells whether the last edge of input i
  // left it down.
  bool TakeOverflow(uint8_t& levels);

 private:
  // A slot's turn counts its uses: 2k while it waits for the edge of round
  // k (positions k · capacity + its index), 2k + 1 once that edge is in it.
  // Positions are 64-bit, so they never wrap.
  struct Slot {
    std::atomic<uint64_t> turn{0};
    Edge edge{};
  };
  static constexpr uint64_t kCapacity = 64;
  static uint64_t EmptyTurn(uint64_t position) { return position / kCapacity * 2; }

  Slot slots_[kCapacity];
  std::atomic<uint64_t> head_{0};    // the consumer's: the next edge to read
  std::atomic<uint64_t> tail_{0};    // the next position to take
  std::atomic<bool> overflowed_{false};
  std::atomic<uint8_t> levels_{0};   // where the last edge of each input left it
};
