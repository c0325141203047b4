#include "face_ml/image_to_tensor.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "HalideRuntime.h"
#include "base/logging.h"
#include "face_ml/image_kernels.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

// Descriptions over the caller's memory; nothing is copied. The kernels check them.
struct Buffers {
  halide_dimension_t input_dims[3];
  halide_dimension_t output_dims[3];
  halide_buffer_t input = {};
  halide_buffer_t output = {};

  Buffers(const CpuRGBFrame& frame, FloatTensor* tensor) {
    input_dims[0] = {0, frame.width, 3, 0};
    input_dims[1] = {0, frame.height, frame.stride, 0};
    input_dims[2] = {0, 3, 1, 0};
    input.host = const_cast<uint8_t*>(frame.data);
    input.type = halide_type_t(halide_type_uint, 8);
    input.dimensions = 3;
    input.dim = input_dims;

    const int32_t height = tensor->dims[1];
    const int32_t width = tensor->dims[2];
    const int32_t channels = tensor->dims[3];
    output_dims[0] = {0, width, channels, 0};
    output_dims[1] = {0, height, width * channels, 0};
    output_dims[2] = {0, channels, 1, 0};
    output.host = reinterpret_cast<uint8_t*>(tensor->data);
    output.type = halide_type_t(halide_type_float, 32);
    output.dimensions = 3;
    output.dim = output_dims;
  }
};

// The output description holds the row stride (width x channels) in 32 bits.
bool Describable(const FloatTensor* tensor) {
  if (tensor == nullptr) {
    LOG(ERROR) << "no tensor";
    return false;
  }
  const int64_t row = int64_t{tensor->dims[2]} * tensor->dims[3];
  if (row > std::numeric_limits<int32_t>::max() || row < std::numeric_limits<int32_t>::min()) {
    LOG(ERROR) << "tensor rows too long: " << tensor->dims[2] << " x " << tensor->dims[3];
    return false;
  }
  return true;
}

}  // namespace

bool ResizeToTensor(const CpuRGBFrame& frame, float weight, float bias, FloatTensor* tensor) {
  if (frame.rotation % 90 != 0) return false;
  if (frame.rotation == 0) {
    if (!Describable(tensor)) return false;
    Buffers buffers(frame, tensor);
    return ImageResizeWeightedBiased(&buffers.input, weight, bias, &buffers.output);
  }
  const float theta = static_cast<float>(-frame.rotation * M_PI / 180.0);
  const float w = static_cast<float>(frame.width);
  const float h = static_cast<float>(frame.height);
  utils::RotatedRect rect;
  rect.center_x = static_cast<float>(frame.width / 2);
  rect.center_y = static_cast<float>(frame.height / 2);
  rect.width = std::abs(std::cos(theta) * w - std::sin(theta) * h);
  rect.height = std::abs(std::sin(theta) * w + std::cos(theta) * h);
  rect.rotation = theta;
  return ExtractRotatedRectToTensor(frame, weight, bias, rect, tensor);
}

bool ExtractRotatedRectToTensor(const CpuRGBFrame& frame, float weight, float bias,
                                const utils::RotatedRect& rect, FloatTensor* tensor) {
  if (!Describable(tensor)) return false;
  Buffers buffers(frame, tensor);
  const float half_width = rect.width / 2;
  const float half_height = rect.height / 2;
  return ImageRotationWeightedBiased(
      &buffers.input, weight, bias, rect.center_x, rect.center_y, rect.rotation,
      rect.center_y - half_height, rect.center_y + half_height, rect.center_x - half_width,
      rect.center_x + half_width, &buffers.output);
}

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
