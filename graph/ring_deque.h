// A first-in first-out queue in a ring of slots that it keeps.
//
// `RingDeque<T>` appends at the back and removes at the front like a double-ended queue,
// but its storage only grows (doubling) and is never given back while the queue lives:
// a stream whose queue fills and drains once per packet allocates nothing in steady state,
// where a `std::deque` allocates and frees a block every few dozen packets. A removed
// element is moved out of its slot at once, and a moved-from packet or smart pointer holds
// nothing, so a queue of packets holds no payload it no longer lists. Not thread-safe.

#ifndef QUILLMERE_GRAPH_RING_DEQUE_H_
#define QUILLMERE_GRAPH_RING_DEQUE_H_

#include <cstddef>
#include <utility>
#include <vector>

#include "base/logging.h"

namespace kaldren {
namespace internal {

template <typename T>
class RingDeque {
 public:
  RingDeque() = default;

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }

  // The first and last elements; the queue must not be empty.
  T& front() { return slots_[head_]; }
  const T& front() const { return slots_[head_]; }
  T& back() { return slots_[Slot(size_ - 1)]; }
  const T& back() const { return slots_[Slot(size_ - 1)]; }
  // The element `i` places behind the front, i < size().
  T& operator[](size_t i) { return slots_[Slot(i)]; }
  const T& operator[](size_t i) const { return slots_[Slot(i)]; }

  template <typename U>
  void push_back(U&& value) {
    if (size_ == capacity_) Grow();
    slots_[Slot(size_)] = std::forward<U>(value);
    ++size_;
  }

  void pop_front() {
    DCHECK(size_ > 0);
    // Destroyed here, leaving the moved-from slot behind.
    [[maybe_unused]] const T removed = std::move(slots_[head_]);
    Advance();
  }

  // Removes the first element and returns it; the queue must not be empty. The slot keeps
  // the moved-from element.
  T take_front() {
    DCHECK(size_ > 0);
    T value = std::move(slots_[head_]);
    Advance();
    return value;
  }

  // Removes every element; the slots stay.
  void clear() {
    while (size_ > 0) pop_front();
    head_ = 0;
  }

 private:
  static constexpr size_t kInitialSlots = 4;

  size_t Slot(size_t i) const { return (head_ + i) & (capacity_ - 1); }
  void Advance() {
    head_ = (head_ + 1) & (capacity_ - 1);
    --size_;
  }

  // Doubles the slots (a power of two), keeping the order with the front at slot 0. Out of
  // line, so that push_back stays small enough to inline.
  [[gnu::noinline]] void Grow() {
    std::vector<T> slots(slots_.empty() ? kInitialSlots : 2 * slots_.size());
    for (size_t i = 0; i < size_; ++i) slots[i] = std::move(slots_[Slot(i)]);
    slots_.swap(slots);
    capacity_ = slots_.size();
    head_ = 0;
  }

  std::vector<T> slots_;
  // slots_.size(), kept apart: the vector derives its size from its ends by a division.
  size_t capacity_ = 0;
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace internal
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_RING_DEQUE_H_
