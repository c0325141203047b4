// A compact vector of trivially copyable elements whose size and capacity are 32-bit, so a
// list costs one pointer and two 32-bit counts. Used for successor lists of large graphs.

#ifndef GRAPH_CONFIG_VECTOR32_H_
#define GRAPH_CONFIG_VECTOR32_H_

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include "base/logging.h"

namespace qsx {

template <typename T>
class vector32 {
  static_assert(std::is_trivially_copyable_v<T>, "vector32 holds trivially copyable values");

 public:
  using value_type = T;
  using size_type = uint32_t;
  using iterator = T*;
  using const_iterator = const T*;

  vector32() = default;
  vector32(const vector32& other) { *this = other; }
  vector32(vector32&& other) noexcept { swap(other); }
  vector32& operator=(const vector32& other) {
    if (this == &other) return *this;
    clear();
    if (other.size_ > capacity_) {
      std::free(data_);
      data_ = static_cast<T*>(std::malloc(sizeof(T) * other.size_));
      CHECK(data_ != nullptr);
      capacity_ = other.size_;
    }
    if (other.size_ > 0) std::memcpy(data_, other.data_, sizeof(T) * other.size_);
    size_ = other.size_;
    return *this;
  }
  vector32& operator=(vector32&& other) noexcept {
    vector32 moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~vector32() { std::free(data_); }

  void swap(vector32& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  static constexpr size_type max_size() { return 4294967295u; }
  size_type size() const { return size_; }
  size_type capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }

  T& operator[](size_type i) { return data_[i]; }
  const T& operator[](size_type i) const { return data_[i]; }
  iterator begin() { return data_; }
  iterator end() { return data_ + size_; }
  const_iterator begin() const { return data_; }
  const_iterator end() const { return data_ + size_; }

  void clear() { size_ = 0; }

  void push_back(const T& value) {
    if (size_ == capacity_) {
      T copy = value;  // `value` may live in the storage about to move
      ReallocateWithHole(size_, 1, NewCapacity(1));
      data_[size_ - 1] = copy;
      return;
    }
    data_[size_++] = value;
  }

  // Removes [first, last) and moves the tail down.
  iterator erase(iterator first, iterator last) {
    CHECK(last - first <= size_);
    std::ptrdiff_t removed = last - first;
    std::memmove(first, last, sizeof(T) * (end() - last));
    size_ -= static_cast<size_type>(removed);
    return first;
  }

  // The capacity for `delta` more elements: at least size + delta, growing by 1.3 times.
  size_type NewCapacity(size_type delta) const {
    CHECK(delta <= max_size() - size());
    double grown = std::min(static_cast<double>(capacity_) * 1.3, static_cast<double>(max_size()));
    return std::max(size_ + delta, static_cast<size_type>(grown));
  }

 private:
  // Moves the elements into new storage of `new_capacity`, leaving `count` uninitialised
  // slots at `position`; the size then counts the hole.
  void ReallocateWithHole(size_type position, size_type count, size_type new_capacity) {
    T* fresh = static_cast<T*>(std::malloc(sizeof(T) * static_cast<size_t>(new_capacity)));
    CHECK(fresh != nullptr);
    if (position > 0) std::memcpy(fresh, data_, sizeof(T) * position);
    if (size_ > position) {
      std::memcpy(fresh + position + count, data_ + position, sizeof(T) * (size_ - position));
    }
    std::free(data_);
    data_ = fresh;
    size_ += count;
    capacity_ = new_capacity;
  }

  T* data_ = nullptr;
  size_type size_ = 0;
  size_type capacity_ = 0;
};

}  // namespace qsx

#endif  // GRAPH_CONFIG_VECTOR32_H_
