// One model tensor in a Metal buffer, in the GPU backend's PHWC4 layout: channels in slices of
// four, element (n, y, x, k) at (((n · slices + k / 4) · h + y) · w + x) · 4 + k % 4, the
// padding channels of the last slice meaningless. The buffer is 2 bytes an element, rounded up
// to whole pages. Copies share the buffer.
//
//   ASSIGN_OR_RETURN(auto tensor, MetalBufferTensorPHWC4<uint16_t>::Make(device, shape));
//   RETURN_IF_ERROR(tensor.ReadDataAs<float>([&](absl::Span<const float> values) {
//     ... values.size() is the buffer length / 2: padding channels and page padding included
//     return absl::OkStatus();
//   }));

#ifndef FACE_ML_METAL_BUFFER_TENSOR_H_
#define FACE_ML_METAL_BUFFER_TENSOR_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>

#include "absl/types/span.h"
#include "base/status.h"
#include "base/status_macros.h"
#include "base/statusor.h"
#include "face_ml/metal_resources.h"
#include "tflite/gpu/metal/half_conversion.h"
#include "tflite/gpu/shape.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

// T is the element storage: uint16_t holds raw binary16 values.
template <typename T>
class MetalBufferTensorPHWC4 {
  static_assert(std::is_same_v<T, uint16_t>, "elements are stored as binary16");

 public:
  // Allocates a buffer for `shape`; its contents are not initialised.
  static util::StatusOr<MetalBufferTensorPHWC4> Make(const std::shared_ptr<MTLDevice>& device,
                                                      const tflite::gpu::BHWC& shape) {
    const size_t size =
        static_cast<size_t>(tflite::gpu::GetElementsSizeForPHWC4(shape)) * sizeof(T);
    ASSIGN_OR_RETURN(flow::metal::MetalBuffer buffer, flow::metal::MetalBuffer::Make(device, size));
    return MetalBufferTensorPHWC4(std::move(buffer), shape);
  }

  const tflite::gpu::BHWC& GetShape() const { return shape_; }
  const flow::metal::MetalBuffer& GetBuffer() const { return buffer_; }

  // Converts the whole buffer to floats in one pass (exact widening) and hands them to
  // `callback`, whose status it returns. The span is valid only during the call.
  template <typename U>
  absl::Status ReadDataAs(const std::function<absl::Status(absl::Span<const U>)>& callback) const {
    static_assert(std::is_same_v<U, float>, "halves are read as floats");
    const size_t count = buffer_.buffer()->length() / sizeof(T);
    // Every value is written by the conversion: no need to clear them first.
    const std::unique_ptr<float[]> values = std::make_unique_for_overwrite<float[]>(count);
    tflite::gpu::metal::HalvesToFloats(static_cast<const uint16_t*>(buffer_.buffer()->contents()),
                                       count, values.get());
    return callback(absl::Span<const float>(values.get(), count));
  }

 private:
  MetalBufferTensorPHWC4(flow::metal::MetalBuffer buffer, const tflite::gpu::BHWC& shape)
      : buffer_(std::move(buffer)), shape_(shape) {}

  flow::metal::MetalBuffer buffer_;
  tflite::gpu::BHWC shape_;
};

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_METAL_BUFFER_TENSOR_H_
