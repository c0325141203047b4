#include "gpu/gpu_buffer_multi_pool.h"

#include <algorithm>

#include "base/logging.h"
#include "gpu/pixel_buffer_pool_util.h"

namespace pellumo {

GpuBufferMultiPool::~GpuBufferMultiPool() {
  CHECK_EQ(texture_caches_.size(), 0) << "Failed to unregister texture caches before deleting pool";
}

GpuBuffer GpuBufferMultiPool::GetBuffer(int width, int height, GpuBufferFormat format) {
  std::lock_guard<std::mutex> lock(mutex_);
  const BufferSpec key(width, height, format);
  auto pool_it = pools_.find(key);
  if (pool_it == pools_.end()) {
    if (pools_.size() >= kMaxPoolCount) {
      pools_.erase(buffer_specs_.front());
      buffer_specs_.pop_front();
    }
    buffer_specs_.push_back(key);
    pool_it = pools_.emplace(key, MakeSimplePool(key)).first;
  }
  return GetBufferFromSimplePool(key, pool_it->second);
}

CFHolder<CVPixelBufferPoolRef> GpuBufferMultiPool::MakeSimplePool(const BufferSpec& spec) {
  const int64_t cv_format = CVPixelFormatForGpuBufferFormat(spec.format);
  CHECK_NE(cv_format, -1) << "unsupported pixel format";
  return MakeCFHolderAdopting(CreateCVPixelBufferPool(spec.width, spec.height,
                                                      static_cast<OSType>(cv_format), kKeepCount,
                                                      kMaxBufferAge));
}

GpuBuffer GpuBufferMultiPool::GetBufferFromSimplePool(BufferSpec spec,
                                                      const CFHolder<CVPixelBufferPoolRef>& pool) {
  // Shared by every request of every multi-pool, never released.
  static const CFDictionaryRef auxiliary_attributes =
      CreateCVPixelBufferPoolAuxiliaryAttributesForThreshold(kAllocationThreshold);
  CVPixelBufferRef buffer = nullptr;
  const CVReturn err = CreateCVPixelBufferWithPool(
      *pool, auxiliary_attributes, [this] { FlushTextureCaches(); }, &buffer);
  CHECK(!err) << "Error creating pixel buffer: " << err;
  return GpuBuffer(MakeCFHolderAdopting(buffer));
}

void GpuBufferMultiPool::FlushTextureCaches() {
  // Runs on the requesting thread, without a GL context of its own: the caches do their GL
  // work in their share group's service context.
  for (const CFHolder<CVOpenGLESTextureCacheRef>& cache : texture_caches_) {
    CVOpenGLESTextureCacheFlush(*cache, 0);
  }
}

void GpuBufferMultiPool::RegisterTextureCache(CVOpenGLESTextureCacheRef cache) {
  std::lock_guard<std::mutex> lock(mutex_);
  CHECK(std::find(texture_caches_.begin(), texture_caches_.end(), cache) == texture_caches_.end())
      << "Attempting to register a texture cache twice";
  texture_caches_.emplace_back(cache);
}

void GpuBufferMultiPool::UnregisterTextureCache(CVOpenGLESTextureCacheRef cache) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find(texture_caches_.begin(), texture_caches_.end(), cache);
  CHECK(it != texture_caches_.end()) << "Attempting to unregister an unknown texture cache";
  texture_caches_.erase(it);
}

}  // namespace pellumo
