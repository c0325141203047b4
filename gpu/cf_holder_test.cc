#include "gpu/cf_holder.h"

#include <utility>

#include "gtest/gtest.h"
#include "platform/corefoundation/number.h"

namespace {

CFNumberRef MakeNumber(int value) {
  return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value);
}

TEST(CFHolderTest, CopyRetainsMoveTransfersDestroyReleases) {
  CFNumberRef number = MakeNumber(7);
  CFRetain(number);  // Our own reference, to watch the count.
  {
    auto adopted = MakeCFHolderAdopting(number);
    EXPECT_EQ(CFGetRetainCount(number), 2);
    CFHolder<CFNumberRef> copy = adopted;
    EXPECT_EQ(CFGetRetainCount(number), 3);
    CFHolder<CFNumberRef> moved = std::move(copy);
    EXPECT_EQ(CFGetRetainCount(number), 3);
    EXPECT_FALSE(copy);
    EXPECT_EQ(moved.get(), number);
    moved = std::move(adopted);  // Releases what `moved` held, takes `adopted`'s reference.
    EXPECT_EQ(CFGetRetainCount(number), 2);
    CFHolder<CFNumberRef> retaining(number);
    EXPECT_EQ(CFGetRetainCount(number), 3);
  }
  EXPECT_EQ(CFGetRetainCount(number), 1);
  CFRelease(number);
}

TEST(CFHolderTest, ResetToTheHeldReferenceIsSafe) {
  CFNumberRef number = MakeNumber(1);
  CFRetain(number);
  auto holder = MakeCFHolderAdopting(number);
  holder.reset(holder.get());
  EXPECT_EQ(CFGetRetainCount(number), 2);
  holder = holder;  // Self-assignment keeps the reference.
  EXPECT_EQ(CFGetRetainCount(number), 2);
  holder.reset();
  EXPECT_FALSE(holder);
  EXPECT_EQ(CFGetRetainCount(number), 1);
  CFRelease(number);
}

}  // namespace
