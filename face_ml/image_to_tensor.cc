#include "face_ml/image_to_tensor.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "HalideRuntime.h"
#include "base/logging.h"
#include "face_ml/image_kernels.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

// The dimensions [1, height, width, channels] of a tensor the kernels can fill, or nullopt
// (and an ERROR line) when it is not one: wrong type or rank, memory missing or shorter than
// its dimensions, or rows longer than the output description's 32-bit stride holds.
std::optional<std::array<int32_t, 4>> FillableDims(const TfLiteTensor* tensor) {
  if (tensor == nullptr) {
    LOG(ERROR) << "no tensor";
    return std::nullopt;
  }
  if (tensor->type != kTfLiteFloat32 || tensor->dims == nullptr || tensor->dims->size != 4) {
    LOG(ERROR) << "the tensor is not a four-dimensional float32 tensor";
    return std::nullopt;
  }
  std::array<int32_t, 4> dims;
  int64_t values = 1;
  for (int i = 0; i < 4; ++i) {
    dims[i] = tensor->dims->data[i];
    if (dims[i] < 0) {
      LOG(ERROR) << "negative tensor dimension " << dims[i];
      return std::nullopt;
    }
    // Saturates instead of overflowing; anything this large is refused below anyway.
    values = std::min<int64_t>(values * dims[i], int64_t{1} << 40);
  }
  if (tensor->data.f == nullptr || tensor->bytes / sizeof(float) < static_cast<uint64_t>(values)) {
    LOG(ERROR) << "the tensor's memory does not hold its " << values << " values";
    return std::nullopt;
  }
  if (int64_t{dims[2]} * dims[3] > std::numeric_limits<int32_t>::max()) {
    LOG(ERROR) << "tensor rows too long: " << dims[2] << " x " << dims[3];
    return std::nullopt;
  }
  return dims;
}

// Descriptions over the caller's memory; nothing is copied. The kernels check them.
struct Buffers {
  halide_dimension_t input_dims[3];
  halide_dimension_t output_dims[3];
  halide_buffer_t input = {};
  halide_buffer_t output = {};

  Buffers(const CpuRGBFrame& frame, const std::array<int32_t, 4>& dims, float* data) {
    input_dims[0] = {0, frame.width, 3, 0};
    input_dims[1] = {0, frame.height, frame.stride, 0};
    input_dims[2] = {0, 3, 1, 0};
    input.host = const_cast<uint8_t*>(frame.data);
    input.type = halide_type_t(halide_type_uint, 8);
    input.dimensions = 3;
    input.dim = input_dims;

    const int32_t height = dims[1];
    const int32_t width = dims[2];
    const int32_t channels = dims[3];
    output_dims[0] = {0, width, channels, 0};
    output_dims[1] = {0, height, width * channels, 0};
    output_dims[2] = {0, channels, 1, 0};
    output.host = reinterpret_cast<uint8_t*>(data);
    output.type = halide_type_t(halide_type_float, 32);
    output.dimensions = 3;
    output.dim = output_dims;
  }
};

}  // namespace

bool ResizeToTensor(const CpuRGBFrame& frame, float weight, float bias, TfLiteTensor* tensor) {
  if (frame.rotation % 90 != 0) return false;
  if (frame.rotation == 0) {
    const std::optional<std::array<int32_t, 4>> dims = FillableDims(tensor);
    if (!dims) return false;
    Buffers buffers(frame, *dims, tensor->data.f);
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
                                const utils::RotatedRect& rect, TfLiteTensor* tensor) {
  const std::optional<std::array<int32_t, 4>> dims = FillableDims(tensor);
  if (!dims) return false;
  Buffers buffers(frame, *dims, tensor->data.f);
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
