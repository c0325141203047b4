// A fixed-capacity ring with insertion at the front and iteration from the newest element
// to the oldest. When the ring is full, a push overwrites the oldest element; with
// capacity 0 a push stores nothing. Positions beyond the capacity and iterators advanced
// past the end are fatal misuse.

#ifndef FACE_ML_CIRCULAR_BUFFER_H_
#define FACE_ML_CIRCULAR_BUFFER_H_

#include <cstddef>
#include <iterator>
#include <vector>

#include "base/logging.h"

namespace qsx {

template <typename T>
class CircularBuffer {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = const T&;

    const_iterator() = default;
    const T& operator*() const { return cb_->At(logical_); }
    const T* operator->() const { return &cb_->At(logical_); }
    const_iterator& operator++() {
      Incr(1);
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      Incr(1);
      return before;
    }
    bool operator==(const const_iterator& other) const { return logical_ == other.logical_; }
    bool operator!=(const const_iterator& other) const { return logical_ != other.logical_; }

   private:
    friend class CircularBuffer;
    const_iterator(const CircularBuffer* cb, size_t logical) : cb_(cb), logical_(logical) {}
    void Incr(size_t n) {
      const size_t logical = logical_ + n;
      CHECK(logical <= cb_->size()) << "bad Incr by n=" << n << " from " << logical_;
      logical_ = logical;
    }

    const CircularBuffer* cb_ = nullptr;
    size_t logical_ = 0;  // 0 is the newest element
  };

  explicit CircularBuffer(size_t capacity) : capacity_(capacity), storage_(capacity) {}

  size_t capacity() const { return capacity_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  void push_front(const T& value) {
    if (capacity_ == 0) return;
    head_ = head_ == 0 ? capacity_ - 1 : head_ - 1;
    storage_[Absolute(0)] = value;
    if (size_ < capacity_) ++size_;
  }

  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, size_); }

 private:
  // The storage index of logical position `logical` (0 = newest).
  size_t Absolute(size_t logical) const {
    const size_t absolute = (head_ + logical) % capacity_;
    CHECK(absolute < capacity_);
    return absolute;
  }
  const T& At(size_t logical) const { return storage_[Absolute(logical)]; }

  size_t capacity_;
  std::vector<T> storage_;
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace qsx

#endif  // FACE_ML_CIRCULAR_BUFFER_H_
