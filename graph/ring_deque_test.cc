#include "graph/ring_deque.h"

#include <deque>
#include <memory>
#include <random>

#include "gtest/gtest.h"

namespace kaldren {
namespace internal {
namespace {

// Random appends and removals, many of them across the end of the slots and through
// growth while the front is not at slot 0, against std::deque as the reference.
TEST(RingDequeTest, KeepsOrderLikeADequeThroughWrapAndGrowth) {
  RingDeque<int> ring;
  std::deque<int> reference;
  std::mt19937 random(7);
  int next = 0;
  for (int step = 0; step < 5000; ++step) {
    // Drifts the size up and down so that the ring wraps at several capacities.
    const bool grow_phase = (step / 500) % 2 == 0;
    const bool push = reference.empty() || random() % 4 < (grow_phase ? 3u : 1u);
    if (push) {
      ring.push_back(next);
      reference.push_back(next);
      ++next;
    } else {
      ASSERT_EQ(ring.front(), reference.front());
      ring.pop_front();
      reference.pop_front();
    }
    ASSERT_EQ(ring.size(), reference.size());
    if (!reference.empty()) {
      ASSERT_EQ(ring.back(), reference.back());
      const size_t i = random() % reference.size();
      ASSERT_EQ(ring[i], reference[i]) << "index " << i << " at step " << step;
    }
  }
  ring.clear();
  EXPECT_TRUE(ring.empty());
  ring.push_back(-1);
  EXPECT_EQ(ring.front(), -1);
}

// A removed or cleared element is destroyed at once, not when its slot is reused.
TEST(RingDequeTest, RemovingReleasesTheElement) {
  auto payload = std::make_shared<int>(1);
  RingDeque<std::shared_ptr<int>> ring;
  ring.push_back(payload);
  ring.push_back(payload);
  EXPECT_EQ(payload.use_count(), 3);
  ring.pop_front();
  EXPECT_EQ(payload.use_count(), 2);
  ring.clear();
  EXPECT_EQ(payload.use_count(), 1);
}

}  // namespace
}  // namespace internal
}  // namespace kaldren
