#include "gpu/pixel_buffer_pool_util.h"

#include <functional>

#include "gpu/cf_holder.h"
#include "gtest/gtest.h"
#include "platform/corefoundation/number.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/corevideo/pixel_buffer_pool.h"

namespace pellumo {
namespace {

using platform::corevideo::GetPoolCounts;

const std::function<void()> kNoFlush;

double NumberValue(CFDictionaryRef dictionary, CFStringRef key) {
  double value = -1;
  auto number = static_cast<CFNumberRef>(CFDictionaryGetValue(dictionary, key));
  if (number != nullptr) CFNumberGetValue(number, kCFNumberFloat64Type, &value);
  return value;
}

TEST(PixelBufferPoolUtilTest, PoolAttributes) {
  auto pool = MakeCFHolderAdopting(CreateCVPixelBufferPool(8, 4, kCVPixelFormatType_32BGRA, 2, 0.1));
  ASSERT_TRUE(pool);
  CFDictionaryRef pool_attributes = CVPixelBufferPoolGetAttributes(*pool);
  EXPECT_EQ(NumberValue(pool_attributes, kCVPixelBufferPoolMinimumBufferCountKey), 2);
  EXPECT_EQ(NumberValue(pool_attributes, kCVPixelBufferPoolMaximumBufferAgeKey), 0.1);

  CVPixelBufferRef buffer = nullptr;
  ASSERT_EQ(CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, *pool, &buffer), kCVReturnSuccess);
  auto held = MakeCFHolderAdopting(buffer);
  EXPECT_EQ(CVPixelBufferGetWidth(buffer), 8u);
  EXPECT_EQ(CVPixelBufferGetPixelFormatType(buffer), kCVPixelFormatType_32BGRA);
  EXPECT_TRUE(platform::corevideo::IsSurfaceBacked(buffer));

  auto ageless = MakeCFHolderAdopting(CreateCVPixelBufferPool(8, 4, kCVPixelFormatType_32BGRA, 2, 0));
  EXPECT_FALSE(CFDictionaryContainsKey(CVPixelBufferPoolGetAttributes(*ageless),
                                       kCVPixelBufferPoolMaximumBufferAgeKey));
  // Core Video refuses a zero size: no pool.
  EXPECT_EQ(CreateCVPixelBufferPool(0, 4, kCVPixelFormatType_32BGRA, 2, 0.1), nullptr);
}

TEST(PixelBufferPoolUtilTest, ThresholdAttributes) {
  EXPECT_EQ(CreateCVPixelBufferPoolAuxiliaryAttributesForThreshold(0), nullptr);
  auto aux = MakeCFHolderAdopting(CreateCVPixelBufferPoolAuxiliaryAttributesForThreshold(3));
  ASSERT_TRUE(aux);
  EXPECT_EQ(CFDictionaryGetCount(*aux), 1);
  EXPECT_EQ(NumberValue(*aux, kCVPixelBufferPoolAllocationThresholdKey), 3);
}

// Two buffers of a pool with threshold 2 are in use; a third request must flush, retry, and
// grow the pool only when the flush freed nothing.
TEST(PixelBufferPoolUtilTest, ThresholdFlushesThenRetriesThenGrows) {
  auto pool = MakeCFHolderAdopting(CreateCVPixelBufferPool(4, 4, kCVPixelFormatType_32BGRA, 2, 0));
  auto aux = MakeCFHolderAdopting(CreateCVPixelBufferPoolAuxiliaryAttributesForThreshold(2));
  CFHolder<CVPixelBufferRef> held[2];
  for (auto& h : held) {
    CVPixelBufferRef buffer = nullptr;
    ASSERT_EQ(CreateCVPixelBufferWithPool(*pool, *aux, kNoFlush, &buffer), kCVReturnSuccess);
    h = MakeCFHolderAdopting(buffer);
  }

  // The flush releases one of the buffers (as dropping a texture would): the retry reuses it.
  CVPixelBufferRef released = held[1].get();
  int flushes = 0;
  CVPixelBufferRef buffer = nullptr;
  ASSERT_EQ(CreateCVPixelBufferWithPool(*pool, *aux, [&] { ++flushes; held[1].reset(); }, &buffer),
            kCVReturnSuccess);
  EXPECT_EQ(flushes, 1);
  EXPECT_EQ(buffer, released);
  auto third = MakeCFHolderAdopting(buffer);
  EXPECT_EQ(GetPoolCounts(*pool).in_use, 2);

  // A flush that frees nothing: the buffer comes from beyond the threshold.
  buffer = nullptr;
  ASSERT_EQ(CreateCVPixelBufferWithPool(*pool, *aux, [&] { ++flushes; }, &buffer), kCVReturnSuccess);
  auto fourth = MakeCFHolderAdopting(buffer);
  EXPECT_EQ(flushes, 2);
  EXPECT_EQ(GetPoolCounts(*pool).in_use, 3);

  // Without a flush function the pool grows at once.
  buffer = nullptr;
  ASSERT_EQ(CreateCVPixelBufferWithPool(*pool, *aux, kNoFlush, &buffer), kCVReturnSuccess);
  CVPixelBufferRelease(buffer);
  // The texture-cache form flushes the cache (a null cache flushes nothing) and grows too.
  buffer = nullptr;
  ASSERT_EQ(CreateCVPixelBufferWithPool(*pool, *aux, static_cast<CVOpenGLESTextureCacheRef>(nullptr),
                                        &buffer),
            kCVReturnSuccess);
  CVPixelBufferRelease(buffer);
}

TEST(PixelBufferPoolUtilTest, PreallocatedBuffersWaitInThePool) {
  auto pool = MakeCFHolderAdopting(CreateCVPixelBufferPool(4, 4, kCVPixelFormatType_OneComponent8, 3, 0));
  EXPECT_EQ(PreallocateCVPixelBufferPoolBuffers(*pool, 3, nullptr), kCVReturnSuccess);
  EXPECT_EQ(GetPoolCounts(*pool).free, 3);
  EXPECT_EQ(GetPoolCounts(*pool).in_use, 0);
  // The threshold stops preallocation at the first refusal and reports it.
  auto aux = MakeCFHolderAdopting(CreateCVPixelBufferPoolAuxiliaryAttributesForThreshold(1));
  auto empty = MakeCFHolderAdopting(CreateCVPixelBufferPool(4, 4, kCVPixelFormatType_OneComponent8, 3, 0));
  EXPECT_EQ(PreallocateCVPixelBufferPoolBuffers(*empty, 3, *aux), kCVReturnWouldExceedAllocationThreshold);
  EXPECT_EQ(GetPoolCounts(*empty).free, 1);
}

TEST(PixelBufferPoolUtilTest, BufferWithoutPool) {
  CVPixelBufferRef buffer = nullptr;
  ASSERT_EQ(CreateCVPixelBufferWithoutPool(6, 2, kCVPixelFormatType_OneComponent8, &buffer),
            kCVReturnSuccess);
  auto held = MakeCFHolderAdopting(buffer);
  EXPECT_TRUE(platform::corevideo::IsSurfaceBacked(buffer));
  EXPECT_EQ(CVPixelBufferGetHeight(buffer), 2u);
  EXPECT_EQ(CreateCVPixelBufferWithoutPool(0, 2, kCVPixelFormatType_OneComponent8, &buffer),
            kCVReturnInvalidSize);
}

}  // namespace
}  // namespace pellumo
