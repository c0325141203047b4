// pellumo::GpuBufferMultiPool: the graph-wide source of new GPU buffers.
//
//   GpuBufferMultiPool pool;                 // owned by the graph's GPU resources
//   GpuBuffer out = pool.GetBuffer(640, 480, GpuBufferFormat::kFormatBGRA);
//
// One Core Video pool per width, height and format, made on first request. Each pool keeps at
// least two free buffers and drops older free ones after 0.1 s; every request carries an
// allocation threshold of two buffers in use, and when a pool reaches it the registered texture
// caches are flushed (their textures can be what keeps the pool's buffers in use) before the
// pool is allowed to grow. At most 20 pools exist: a 21st spec drops the pool that was created
// first, however much it is used. Buffers already handed out stay valid when their pool goes.
//
// Fatal (a failed CHECK): a format that pools cannot allocate (kFormatNone), a buffer Core
// Video cannot make even past the threshold, a texture cache registered twice or unregistered
// without being registered, and destroying the multi-pool while a cache is still registered.
// All methods are thread-safe; one mutex serialises them.

#ifndef GPU_GPU_BUFFER_MULTI_POOL_H_
#define GPU_GPU_BUFFER_MULTI_POOL_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "gpu/cf_holder.h"
#include "gpu/gpu_buffer.h"
#include "gpu/gpu_buffer_format.h"
#include "platform/corevideo/pixel_buffer_pool.h"
#include "platform/eagl/cv_opengles_texture_cache.h"

namespace pellumo {

// The key of a pool.
struct BufferSpec {
  BufferSpec(int w, int h, GpuBufferFormat f) : width(w), height(h), format(f) {}
  bool operator==(const BufferSpec& other) const = default;

  int width;
  int height;
  GpuBufferFormat format;
};

struct BufferSpecHash {
  size_t operator()(const BufferSpec& spec) const {
    const uint64_t width = static_cast<uint64_t>(static_cast<int64_t>(spec.width));
    const uint64_t height = static_cast<uint64_t>(static_cast<int64_t>(spec.height));
    const uint64_t format = static_cast<uint32_t>(spec.format);
    return width ^ ((height << 32) | (height >> 32)) ^ (format << 16);
  }
};

class GpuBufferMultiPool {
 public:
  GpuBufferMultiPool() = default;
  GpuBufferMultiPool(const GpuBufferMultiPool&) = delete;
  GpuBufferMultiPool& operator=(const GpuBufferMultiPool&) = delete;
  ~GpuBufferMultiPool();

  // A buffer of that size and format from the pool of its spec.
  GpuBuffer GetBuffer(int width, int height,
                      GpuBufferFormat format = GpuBufferFormat::kFormatBGRA);

  // The texture caches to flush when a pool reaches its allocation threshold, in registration
  // order. A registered cache is retained until it is unregistered.
  void RegisterTextureCache(CVOpenGLESTextureCacheRef cache);
  void UnregisterTextureCache(CVOpenGLESTextureCacheRef cache);

  static constexpr int kMaxPoolCount = 20;
  static constexpr int kKeepCount = 2;
  static constexpr double kMaxBufferAge = 0.1;  // seconds
  static constexpr int kAllocationThreshold = 2;

 private:
  static CFHolder<CVPixelBufferPoolRef> MakeSimplePool(const BufferSpec& spec);
  GpuBuffer GetBufferFromSimplePool(BufferSpec spec, const CFHolder<CVPixelBufferPoolRef>& pool);
  // Flushes every registered texture cache; called with `mutex_` held.
  void FlushTextureCaches();

  std::mutex mutex_;
  std::unordered_map<BufferSpec, CFHolder<CVPixelBufferPoolRef>, BufferSpecHash> pools_;
  // Specs in the order their pools were created.
  std::deque<BufferSpec> buffer_specs_;
  std::vector<CFHolder<CVOpenGLESTextureCacheRef>> texture_caches_;
};

}  // namespace pellumo

#endif  // GPU_GPU_BUFFER_MULTI_POOL_H_
