#include "tone/key_edge_queue.h"

namespace {

constexpr auto relaxed = std::memory_order_relaxed;
constexpr auto acquire = std::memory_order_acquire;
constexpr auto release = std::memory_order_release;

}  // namespace

void KeyEdgeQueue::Push(const Edge& edge) {
  keyDown_.store(edge.down, relaxed);
  const uint32_t tail = tail_.load(relaxed);
  if (tail - head_.load(acquire) == kCapacity) {
    overflowed_.store(true, release);
    return;
  }
  edges_[tail % kCapacity] = edge;
  tail_.store(tail + 1, release);
}

const KeyEdgeQueue::Edge* KeyEdgeQueue::Front() const {
  const uint32_t head = head_.load(relaxed);
  return head == tail_.load(acquire) ? nullptr : &edges_[head % kCapacity];
}

void KeyEdgeQueue::Pop() { head_.store(head_.load(relaxed) + 1, release); }

bool KeyEdgeQueue::TakeOverflow(bool& keyDown) {
  if (!overflowed_.exchange(false, acquire)) return false;
  while (Front() != nullptr) Pop();
  // Every edge pushed before the last one popped has stored where it left
  // the key: that last one is read here, or a later one.
  keyDown = keyDown_.load(relaxed);
  return true;
}
