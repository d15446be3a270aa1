#include "tone/key_edge_queue.h"

namespace {

constexpr auto relaxed = std::memory_order_relaxed;
constexpr auto acquire = std::memory_order_acquire;
constexpr auto release = std::memory_order_release;

}  // namespace

void KeyEdgeQueue::Push(const Edge& edge) {
  // Each input has one producer at a time, so its bit follows its edges.
  if (edge.down) {
    levels_.fetch_or(InputBit(edge.input), release);
  } else {
    levels_.fetch_and(static_cast<uint8_t>(~InputBit(edge.input)), release);
  }
  uint64_t position = tail_.load(relaxed);
  for (;;) {
    Slot& slot = slots_[position % kCapacity];
    const uint64_t turn = slot.turn.load(acquire);
    const uint64_t empty = EmptyTurn(position);
    if (turn == empty) {
      if (tail_.compare_exchange_weak(position, position + 1, relaxed)) {
        slot.edge = edge;
        slot.turn.store(empty + 1, release);
        return;
      }
    } else if (turn < empty) {
      // The slot still holds the edge of the round before: the queue is full.
      overflowed_.store(true, release);
      return;
    } else {
      position = tail_.load(relaxed);  // another producer took this position
    }
  }
}

const KeyEdgeQueue::Edge* KeyEdgeQueue::Front() const {
  const uint64_t head = head_.load(acquire);
  const Slot& slot = slots_[head % kCapacity];
  return slot.turn.load(acquire) == EmptyTurn(head) + 1 ? &slot.edge : nullptr;
}

// The head moves on before the slot is given back, so that a thread asking
// for the front meanwhile finds this edge or the next, never an empty queue.
void KeyEdgeQueue::Pop() {
  const uint64_t head = head_.load(relaxed);
  head_.store(head + 1, release);
  slots_[head % kCapacity].turn.store(EmptyTurn(head) + 2, release);
}

bool KeyEdgeQueue::TakeOverflow(uint8_t& levels) {
  if (!overflowed_.exchange(false, acquire)) return false;
  while (Front() != nullptr) Pop();
  // Every edge queued before the last one popped has stored where it left
  // its input: that last one is read here, or a later one.
  levels = levels_.load(acquire);
  return true;
}
