// pellumo::GpuBuffer: the payload of GPU image streams, a handle on one pixel buffer.
//
//   pellumo::GpuBuffer frame(pixel_buffer);          // retains the buffer
//   graph.AddPacketToInputStream("input_video", kaldren::MakePacket<pellumo::GpuBuffer>(frame)
//                                                   .At(kaldren::Timestamp(t)));
//   frame.width(); frame.format();                   // GpuBufferFormat::kFormatBGRA, ...
//
// Copies share the pixel buffer (each holds one reference); the last one to go releases it.
// GL reads and renders into the buffer through a texture cache and Metal through a Metal
// texture cache, so no pixels are copied on the way.

#ifndef GPU_GPU_BUFFER_H_
#define GPU_GPU_BUFFER_H_

#include <utility>

#include "gpu/cf_holder.h"
#include "gpu/gpu_buffer_format.h"
#include "platform/corevideo/pixel_buffer.h"

namespace pellumo {

class GpuBuffer {
 public:
  GpuBuffer() = default;
  // Retains `pixel_buffer`.
  explicit GpuBuffer(CVPixelBufferRef pixel_buffer) : pixel_buffer_(pixel_buffer) {}
  // Takes over the holder's reference (buffers from pools).
  explicit GpuBuffer(CFHolder<CVPixelBufferRef> pixel_buffer)
      : pixel_buffer_(std::move(pixel_buffer)) {}

  // Not retained for the caller.
  CVPixelBufferRef pixel_buffer() const { return *pixel_buffer_; }
  int width() const { return static_cast<int>(CVPixelBufferGetWidth(*pixel_buffer_)); }
  int height() const { return static_cast<int>(CVPixelBufferGetHeight(*pixel_buffer_)); }
  GpuBufferFormat format() const {
    return GpuBufferFormatForCVPixelFormat(CVPixelBufferGetPixelFormatType(*pixel_buffer_));
  }

  explicit operator bool() const { return static_cast<bool>(pixel_buffer_); }

 private:
  CFHolder<CVPixelBufferRef> pixel_buffer_;
};

}  // namespace pellumo

#endif  // GPU_GPU_BUFFER_H_
