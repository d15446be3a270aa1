#pragma once
// Stamped key edges in the order they happened, from the keying controller to
// the audio thread: the one way the key side reaches the tone. One producer
// at a time (the keying controller performs one edge at a time, on whichever
// key source's thread) and one consumer (the audio thread); no lock, no
// allocation.

#include <atomic>
#include <cstdint>

class KeyEdgeQueue {
 public:
  struct Edge {
    int64_t stamp;  // performance counter
    bool down;
  };

  // Producer. When the queue is full the edge is lost, and the consumer
  // learns it.
  void Push(const Edge& edge);

  // Consumer: the oldest edge, or null when there is none.
  const Edge* Front() const;
  void Pop();
  // True, once, when edges were lost since the last call: the queue is then
  // emptied and `keyDown` tells where the key was left.
  bool TakeOverflow(bool& keyDown);

 private:
  static constexpr uint32_t kCapacity = 64;
  Edge edges_[kCapacity];
  std::atomic<uint32_t> head_{0};  // consumer's: the next edge to read
  std::atomic<uint32_t> tail_{0};  // producer's: the next slot to write
  std::atomic<bool> overflowed_{false};
  std::atomic<bool> keyDown_{false};  // where the last edge left the key
};
