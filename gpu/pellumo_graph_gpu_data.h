// PellumoGraphGPUData: the platform objects that the GPU-using nodes of one graph share, as
// the graph's GPU resources hand them to Metal calculators (through PellumoMetalHelper).
//
//   std::shared_ptr<PellumoGraphGPUData> data = resources->ios_gpu_data();
//   std::shared_ptr<MTLDevice> device = data->mtlDevice();     // made on first use
//   auto queue = data->mtlCommandQueue();                      // on that device
//
// The GL context and the pixel-buffer pool are borrowed from the resources, which outlive this
// object. The Metal device, its command queue and the Core Video Metal texture cache are made
// by whoever asks first and then shared by every caller: one device per graph. A missing
// device (MTLCreateSystemDefaultDevice answers null) is not remembered, so a later read tries
// again; the texture cache then cannot be made, which is reported through the assertion
// handler ("Error at CVMetalTextureCacheCreate %d").
//
// The lazy getters take the object's lock; all methods are thread-safe.

#ifndef GPU_PELLUMO_GRAPH_GPU_DATA_H_
#define GPU_PELLUMO_GRAPH_GPU_DATA_H_

#include <memory>
#include <mutex>

#include "platform/eagl/cv_opengles_texture_cache.h"
#include "platform/eagl/eagl.h"
#include "platform/metal/cv_metal_texture_cache.h"
#include "platform/metal/device.h"

namespace pellumo {
class GlContext;
class GpuBufferMultiPool;
}  // namespace pellumo

class PellumoGraphGPUData {
 public:
  // Neither pointer is owned; both must outlive the object.
  static std::shared_ptr<PellumoGraphGPUData> initWithContext(pellumo::GlContext* glContext,
                                                              pellumo::GpuBufferMultiPool* multiPool);

  // Releases the Metal texture cache; the GL texture cache is the context's and stays.
  ~PellumoGraphGPUData();
  PellumoGraphGPUData(const PellumoGraphGPUData&) = delete;
  PellumoGraphGPUData& operator=(const PellumoGraphGPUData&) = delete;

  // The platform context of the shared GL context.
  std::shared_ptr<EAGLContext> glContext() const;
  // The shared GL context's texture cache (borrowed).
  CVOpenGLESTextureCacheRef textureCache();
  pellumo::GpuBufferMultiPool* gpuBufferPool() const { return gpu_buffer_pool_; }

  // The graph's Metal device; null while the system has none.
  std::shared_ptr<MTLDevice> mtlDevice();
  // A command queue of mtlDevice(); null while there is no device.
  std::shared_ptr<MTLCommandQueue> mtlCommandQueue();
  // A Metal texture cache for mtlDevice() (not retained for the caller); NULL, after the
  // assertion, when it cannot be made.
  CVMetalTextureCacheRef mtlTextureCache();

  // Use initWithContext.
  PellumoGraphGPUData(pellumo::GlContext* gl_context, pellumo::GpuBufferMultiPool* pool)
      : gpu_buffer_pool_(pool), gl_context_(gl_context) {}

 private:
  std::shared_ptr<MTLDevice> MtlDeviceLocked();

  pellumo::GpuBufferMultiPool* const gpu_buffer_pool_;
  pellumo::GlContext* const gl_context_;
  std::mutex mutex_;
  CVOpenGLESTextureCacheRef texture_cache_ = nullptr;
  std::shared_ptr<MTLDevice> mtl_device_;
  std::shared_ptr<MTLCommandQueue> mtl_command_queue_;
  CVMetalTextureCacheRef mtl_texture_cache_ = nullptr;
};

#endif  // GPU_PELLUMO_GRAPH_GPU_DATA_H_
