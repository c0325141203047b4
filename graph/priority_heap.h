// A max-heap in a vector that keeps its elements exactly where `std::priority_queue<T>`
// keeps them: any sequence of `push` and `pop` leaves the same `top`, equal elements
// included.
//
// A graph's scheduler queue mostly holds one or two tasks: the node that just ran and the
// node it fed. Heaps of up to two elements are kept here without the general algorithm,
// whose index arithmetic and element moves cost more than the work itself; from three
// elements on, the standard heap algorithms run as `std::priority_queue` would run them.
//
//   PriorityHeap<Task> heap;
//   heap.push(std::move(task));
//   const Task& next = heap.top();  // the greatest by `operator<`
//   heap.pop();

#ifndef QUILLMERE_GRAPH_PRIORITY_HEAP_H_
#define QUILLMERE_GRAPH_PRIORITY_HEAP_H_

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace kaldren {
namespace internal {

template <typename T>
class PriorityHeap {
 public:
  bool empty() const { return items_.empty(); }
  size_t size() const { return items_.size(); }

  // The greatest element; the heap must not be empty.
  const T& top() const { return items_.front(); }

  void push(T&& item) {
    items_.push_back(std::move(item));
    if (items_.size() == 2) {
      // The new element rises above the old one only if the old one is less: equal elements
      // keep their places, as the standard algorithm leaves them.
      if (items_[0] < items_[1]) std::swap(items_[0], items_[1]);
    } else if (items_.size() > 2) {
      std::push_heap(items_.begin(), items_.end());
    }
  }

  // Removes the top; the heap must not be empty.
  void pop() {
    if (items_.size() == 2) {
      items_[0] = std::move(items_[1]);
    } else if (items_.size() > 2) {
      std::pop_heap(items_.begin(), items_.end());
    }
    items_.pop_back();
  }

  void clear() { items_.clear(); }

 private:
  std::vector<T> items_;
};

}  // namespace internal
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_PRIORITY_HEAP_H_
