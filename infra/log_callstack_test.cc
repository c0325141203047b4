#include "infra/log_callstack.h"

#include <execinfo.h>

#include <algorithm>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace {

inline void KeepFrame() { asm volatile("" ::: "memory"); }

std::vector<void*> Addresses(const ZRBLogAddressCallstack& stack) {
  std::vector<void*> addresses;
  stack.enumerateAddressesWithBlock(
      [&](void* address, uint64_t index, bool*) { addresses.push_back(address); });
  return addresses;
}

struct Captured {
  std::shared_ptr<ZRBLogAddressCallstack> stack;
  std::vector<void*> reference;  // glibc's backtrace taken in the same frame
};

// Recurses `depth` times, then captures in the innermost frame.
__attribute__((noinline)) Captured CaptureAtDepth(int depth) {
  if (depth > 0) {
    Captured captured = CaptureAtDepth(depth - 1);
    KeepFrame();
    return captured;
  }
  Captured captured;
  captured.reference.resize(1024);
  captured.reference.resize(backtrace(captured.reference.data(), 1024));
  // Start the reference at this function's frame (a sanitizer's backtrace adds its own first).
  auto caller = std::find(captured.reference.begin(), captured.reference.end(),
                          __builtin_return_address(0));
  if (caller != captured.reference.end() && caller != captured.reference.begin()) {
    captured.reference.erase(captured.reference.begin(), caller - 1);
  }
  captured.stack = ZRBLogAddressCallstack::addressCallstackIgnoringFrameCount(0);
  KeepFrame();
  return captured;
}

TEST(LogCallstackTest, AddressCaptureGrowsAndStartsAtTheCaller) {
  for (int depth : {0, 300}) {
    Captured captured = CaptureAtDepth(depth);
    ASSERT_NE(captured.stack, nullptr);
    std::vector<void*> addresses = Addresses(*captured.stack);
    // Both captures start in CaptureAtDepth (at different return addresses) and agree above it.
    ASSERT_EQ(addresses.size(), captured.reference.size()) << depth;
    EXPECT_EQ(captured.stack->frameCount(), addresses.size());
    EXPECT_TRUE(std::equal(addresses.begin() + 1, addresses.end(), captured.reference.begin() + 1))
        << depth;
    if (depth == 300) {
      EXPECT_GT(addresses.size(), 256u);
    }
  }
}

TEST(LogCallstackTest, IgnoringFramesAndTooManyIgnored) {
  Captured captured = CaptureAtDepth(0);
  auto fewer = ZRBLogAddressCallstack::addressCallstackIgnoringFrameCount(1);
  ASSERT_NE(fewer, nullptr);
  EXPECT_EQ(ZRBLogAddressCallstack::addressCallstackIgnoringFrameCount(100000), nullptr);
  EXPECT_EQ(ZRBLogAddressCallstack::addressCallstackIgnoringFrameCount(UINT64_MAX), nullptr);
  EXPECT_EQ(ZRBLogSymbolCallstack::symbolCallstackIgnoringFrameCount(100000), nullptr);
  EXPECT_EQ(ZRBLogSymbolCallstack::symbolCallstackIgnoringFrameCount(UINT64_MAX), nullptr);
}

__attribute__((noinline)) std::shared_ptr<ZRBLogSymbolCallstack> SymbolsHere(void** here) {
  *here = reinterpret_cast<void*>(&SymbolsHere);
  auto stack = ZRBLogSymbolCallstack::symbolCallstackIgnoringFrameCount(0);
  KeepFrame();
  return stack;
}

TEST(LogCallstackTest, SymbolCaptureStartsAtTheCaller) {
  void* here = nullptr;
  auto stack = SymbolsHere(&here);
  ASSERT_NE(stack, nullptr);
  ASSERT_FALSE(stack->symbols().empty());
  // The first kept text is a frame inside SymbolsHere: same object file, nearby address.
  char** reference = backtrace_symbols(&here, 1);
  std::string expected_object(reference[0], std::string(reference[0]).find('('));
  free(reference);
  EXPECT_THAT(stack->symbols()[0], ::testing::StartsWith(expected_object));
  EXPECT_NE(stack->description().find(stack->symbols()[0]), std::string::npos);
}

TEST(LogCallstackTest, EnumerationStopsDescriptionAndEquality) {
  void* buffer[] = {reinterpret_cast<void*>(0x10), reinterpret_cast<void*>(0x20),
                    reinterpret_cast<void*>(0x30)};
  auto copy = [&] {
    std::unique_ptr<void*[]> addresses(new void*[3]);
    std::copy(buffer, buffer + 3, addresses.get());
    return addresses;
  };
  ZRBLogAddressCallstack stack(copy(), 3, 1);
  ZRBLogAddressCallstack same(copy(), 3, 1);
  ZRBLogAddressCallstack longer(copy(), 3, 0);
  EXPECT_TRUE(stack.isEqual(&same));
  EXPECT_FALSE(stack.isEqual(&longer));
  EXPECT_EQ(stack.hash(), 2u);
  EXPECT_THAT(stack.description(),
              ::testing::MatchesRegex("<ZRBLogAddressCallstack 0x[0-9a-f]+> \\{ 0x20, 0x30 \\}"));

  std::vector<uint64_t> visited;
  longer.enumerateAddressesWithBlock([&](void*, uint64_t index, bool* stop) {
    visited.push_back(index);
    *stop = index == 1;
  });
  EXPECT_THAT(visited, ::testing::ElementsAre(0, 1));
}

}  // namespace
