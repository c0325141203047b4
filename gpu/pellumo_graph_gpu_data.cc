#include "gpu/pellumo_graph_gpu_data.h"

#include "gpu/gl_context.h"
#include "platform/corefoundation/object.h"
#include "platform/foundation/assertion_handler.h"

std::shared_ptr<PellumoGraphGPUData> PellumoGraphGPUData::initWithContext(
    pellumo::GlContext* glContext, pellumo::GpuBufferMultiPool* multiPool) {
  return std::make_shared<PellumoGraphGPUData>(glContext, multiPool);
}

PellumoGraphGPUData::~PellumoGraphGPUData() {
  texture_cache_ = nullptr;
  if (mtl_texture_cache_ != nullptr) CFRelease(mtl_texture_cache_);
}

std::shared_ptr<EAGLContext> PellumoGraphGPUData::glContext() const {
  return gl_context_->platform_context();
}

CVOpenGLESTextureCacheRef PellumoGraphGPUData::textureCache() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (texture_cache_ == nullptr) texture_cache_ = gl_context_->texture_cache();
  return texture_cache_;
}

std::shared_ptr<MTLDevice> PellumoGraphGPUData::MtlDeviceLocked() {
  if (mtl_device_ == nullptr) mtl_device_ = MTLCreateSystemDefaultDevice();
  return mtl_device_;
}

std::shared_ptr<MTLDevice> PellumoGraphGPUData::mtlDevice() {
  std::lock_guard<std::mutex> lock(mutex_);
  return MtlDeviceLocked();
}

std::shared_ptr<MTLCommandQueue> PellumoGraphGPUData::mtlCommandQueue() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mtl_command_queue_ == nullptr) {
    std::shared_ptr<MTLDevice> device = MtlDeviceLocked();
    if (device != nullptr) mtl_command_queue_ = device->newCommandQueue();
  }
  return mtl_command_queue_;
}

CVMetalTextureCacheRef PellumoGraphGPUData::mtlTextureCache() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mtl_texture_cache_ == nullptr) {
    CVReturn err = CVMetalTextureCacheCreate(kCFAllocatorDefault, nullptr, MtlDeviceLocked(),
                                             nullptr, &mtl_texture_cache_);
    NSAssert(err == kCVReturnSuccess, "Error at CVMetalTextureCacheCreate %d", err);
  }
  return mtl_texture_cache_;
}
