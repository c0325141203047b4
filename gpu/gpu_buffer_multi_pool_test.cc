#include "gpu/gpu_buffer_multi_pool.h"

#include <cstdint>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/corevideo/failure_injection.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/eagl/cv_opengles_texture_cache.h"
#include "platform/eagl/eagl.h"
#include "platform/eagl/gl_test_util.h"

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

// A texture cache over a fresh OpenGL ES context (Mesa, no display needed).
struct TextureCache {
  TextureCache() {
    context = EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES3);
    CVOpenGLESTextureCacheRef raw = nullptr;
    if (context != nullptr &&
        CVOpenGLESTextureCacheCreate(kCFAllocatorDefault, nullptr, context, nullptr, &raw) ==
            kCVReturnSuccess) {
      cache = MakeCFHolderAdopting(raw);
    }
  }
  std::shared_ptr<EAGLContext> context;
  CFHolder<CVOpenGLESTextureCacheRef> cache;
};

uint8_t FirstByte(const GpuBuffer& buffer) {
  return platform::corevideo::GetPlane(buffer.pixel_buffer(), 0).data[0];
}

// Two buffers of a spec are in use, one of them behind a texture that GL has drawn into. A
// third request reaches the allocation threshold: the registered cache is flushed (writing
// the drawing back into its buffer) before the pool grows past the threshold.
TEST(GpuBufferMultiPoolTest, ThresholdFlushesRegisteredTextureCaches) {
  TextureCache gl;
  ASSERT_TRUE(gl.cache);
  GpuBufferMultiPool pool;
  pool.RegisterTextureCache(*gl.cache);
  const CFIndex cache_count = CFGetRetainCount(*gl.cache);

  GpuBuffer drawn = pool.GetBuffer(4, 4, F::kFormatBGRA);
  GpuBuffer other = pool.GetBuffer(4, 4, F::kFormatBGRA);
  CVOpenGLESTextureRef texture = nullptr;
  ASSERT_EQ(CVOpenGLESTextureCacheCreateTextureFromImage(
                kCFAllocatorDefault, *gl.cache, drawn.pixel_buffer(), nullptr, GL_TEXTURE_2D,
                GL_RGBA, 4, 4, GL_BGRA_EXT, GL_UNSIGNED_BYTE, 0, &texture),
            kCVReturnSuccess);
  ASSERT_TRUE(EAGLContext::setCurrentContext(gl.context));
  platform::eagl::testing::ClearTexture(CVOpenGLESTextureGetName(texture), {0, 0, 1, 1});
  glFinish();
  ASSERT_TRUE(EAGLContext::setCurrentContext(nullptr));
  EXPECT_EQ(FirstByte(drawn), 0);  // not written back yet

  GpuBuffer third = pool.GetBuffer(4, 4, F::kFormatBGRA);
  EXPECT_EQ(FirstByte(drawn), 255);  // blue, written back by the flush
  EXPECT_NE(third.pixel_buffer(), drawn.pixel_buffer());
  EXPECT_NE(third.pixel_buffer(), other.pixel_buffer());

  CFRelease(texture);
  pool.UnregisterTextureCache(*gl.cache);
  EXPECT_EQ(CFGetRetainCount(*gl.cache), cache_count - 1);
}

TEST(GpuBufferMultiPoolDeathTest, TextureCacheMisuseIsFatal) {
  // EGL and Mesa's threads do not survive a fork: each death test starts a fresh process.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        TextureCache gl;
        GpuBufferMultiPool pool;
        pool.RegisterTextureCache(*gl.cache);
        pool.RegisterTextureCache(*gl.cache);
      },
      "Check failed: std::find\\(texture_caches_.begin\\(\\), texture_caches_.end\\(\\), cache\\) == "
      "texture_caches_.end\\(\\) Attempting to register a texture cache twice");
  EXPECT_DEATH(
      {
        TextureCache gl;
        GpuBufferMultiPool().UnregisterTextureCache(*gl.cache);
      },
      "Check failed: it != texture_caches_.end\\(\\) Attempting to unregister an unknown texture cache");
  EXPECT_DEATH(
      {
        TextureCache gl;
        GpuBufferMultiPool pool;
        pool.RegisterTextureCache(*gl.cache);
      },
      "Check failed: texture_caches_.size\\(\\) == 0 \\(1 vs. 0\\) Failed to unregister texture caches "
      "before deleting pool");
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
