#include "gpu/gpu_buffer_multi_pool.h"

#include <cstdint>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/corevideo/failure_injection.h"
#include "platform/corevideo/pixel_buffer.h"

namespace pellumo {
namespace {

using F = GpuBufferFormat;

// A pool hands back a returned buffer with its old pixels, a new pool hands out zeroed
// memory: a marker left in the first byte shows whether a spec's pool survived.
void LeaveMarker(GpuBufferMultiPool& pool, int width, F format) {
  GpuBuffer buffer = pool.GetBuffer(width, 2, format);
  CVPixelBufferLockBaseAddress(buffer.pixel_buffer(), 0);
  static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(buffer.pixel_buffer()))[0] = 0x5A;
  CVPixelBufferUnlockBaseAddress(buffer.pixel_buffer(), 0);
}  // the buffer goes back to its pool here

bool PoolKeptMarker(GpuBufferMultiPool& pool, int width, F format = F::kFormatBGRA) {
  GpuBuffer buffer = pool.GetBuffer(width, 2, format);
  CVPixelBufferLockBaseAddress(buffer.pixel_buffer(), kCVPixelBufferLock_ReadOnly);
  const bool kept = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(buffer.pixel_buffer()))[0] == 0x5A;
  CVPixelBufferUnlockBaseAddress(buffer.pixel_buffer(), kCVPixelBufferLock_ReadOnly);
  return kept;
}

TEST(GpuBufferMultiPoolTest, BuffersHaveTheAskedSizeAndFormat) {
  GpuBufferMultiPool pool;
  GpuBuffer a = pool.GetBuffer(8, 6, F::kFormat420f);
  EXPECT_EQ(a.width(), 8);
  EXPECT_EQ(a.height(), 6);
  EXPECT_EQ(a.format(), F::kFormat420f);
  EXPECT_TRUE(platform::corevideo::IsSurfaceBacked(a.pixel_buffer()));
  GpuBuffer copy = a;
  EXPECT_EQ(CFGetRetainCount(a.pixel_buffer()), 2);
}

TEST(GpuBufferMultiPoolTest, OneSpecOnePool) {
  GpuBufferMultiPool pool;
  LeaveMarker(pool, 4, F::kFormatBGRA);
  EXPECT_TRUE(PoolKeptMarker(pool, 4, F::kFormatBGRA));
  // The same size in another format has a pool of its own.
  EXPECT_FALSE(PoolKeptMarker(pool, 4, F::kFormatRGfA));
}

TEST(GpuBufferMultiPoolTest, TwentyFirstSpecDropsTheOldestPoolByCreation) {
  GpuBufferMultiPool pool;
  for (int width = 1; width <= 20; ++width) LeaveMarker(pool, width, F::kFormatBGRA);
  // Using the first spec again does not protect it: eviction follows creation order.
  EXPECT_TRUE(PoolKeptMarker(pool, 1));
  LeaveMarker(pool, 21, F::kFormatBGRA);  // drops the pool of width 1
  EXPECT_TRUE(PoolKeptMarker(pool, 20));
  EXPECT_FALSE(PoolKeptMarker(pool, 1));  // a new pool, which drops the pool of width 2
  EXPECT_TRUE(PoolKeptMarker(pool, 3));
  EXPECT_FALSE(PoolKeptMarker(pool, 2));
}

TEST(GpuBufferMultiPoolTest, BuffersOutliveTheirPool) {
  GpuBuffer kept;
  {
    GpuBufferMultiPool pool;
    kept = pool.GetBuffer(4, 4, F::kFormatL008);
  }
  EXPECT_EQ(kept.width(), 4);
  EXPECT_EQ(kept.format(), F::kFormatL008);
}

TEST(GpuBufferMultiPoolTest, ThreadsShareThePools) {
  GpuBufferMultiPool pool;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&pool, t] {
      for (int i = 0; i < 50; ++i) {
        // More specs than pools, so that threads also evict each other's pools.
        GpuBuffer buffer = pool.GetBuffer(1 + (i * 7 + t) % 25, 2, F::kFormatL008);
        EXPECT_EQ(buffer.height(), 2);
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

TEST(GpuBufferMultiPoolDeathTest, FatalFailures) {
  EXPECT_DEATH(GpuBufferMultiPool().GetBuffer(4, 4, F::kFormatNone),
               "Check failed: cv_format != -1 \\(-1 vs. -1\\) unsupported pixel format");
  EXPECT_DEATH(
      {
        GpuBufferMultiPool pool;
        platform::corevideo::InjectFailures(platform::corevideo::Operation::kCreatePixelBuffer, 3,
                                            kCVReturnAllocationFailed);
        pool.GetBuffer(4, 4);
      },
      "Check failed: !err Error creating pixel buffer: -6662");
}

}  // namespace
}  // namespace pellumo
