#include "graph/priority_heap.h"

#include <queue>
#include <random>
#include <vector>

#include "gtest/gtest.h"

namespace kaldren {
namespace internal {
namespace {

// Ordered by `key` alone, so that many elements are equal; `serial` tells them apart.
struct Element {
  int key;
  int serial;
  bool operator<(const Element& other) const { return key < other.key; }
};

// Random pushes and pops, with the heap mostly small (where it has its own paths) and at
// times larger: every top, equal elements included, is the one std::priority_queue gives.
TEST(PriorityHeapTest, GivesTheSameTopsAsTheStandardPriorityQueue) {
  struct Case {
    int max_size;
    int distinct_keys;
  };
  for (const Case& c : {Case{2, 2}, Case{3, 2}, Case{6, 3}, Case{40, 5}, Case{40, 1000}}) {
    SCOPED_TRACE(testing::Message() << "size up to " << c.max_size << ", "
                                    << c.distinct_keys << " keys");
    std::mt19937 random(c.max_size * 7919 + c.distinct_keys);
    std::uniform_int_distribution<int> key(0, c.distinct_keys - 1);
    PriorityHeap<Element> heap;
    std::priority_queue<Element> reference;
    int serial = 0;
    for (int step = 0; step < 20000; ++step) {
      const bool push = reference.empty() ||
                        (static_cast<int>(reference.size()) < c.max_size && random() % 2 == 0);
      if (push) {
        const Element element{key(random), serial++};
        heap.push(Element(element));
        reference.push(element);
      } else {
        heap.pop();
        reference.pop();
      }
      ASSERT_EQ(heap.size(), reference.size());
      if (!reference.empty()) {
        ASSERT_EQ(heap.top().serial, reference.top().serial) << "step " << step;
      }
    }
    heap.clear();
    EXPECT_TRUE(heap.empty());
  }
}

}  // namespace
}  // namespace internal
}  // namespace kaldren
