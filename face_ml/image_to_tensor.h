// Fills a model's float input tensor from an 8-bit RGB frame on the CPU: the whole frame
// resized to the tensor, or a rotated crop of it. Every sample is mapped to
// bias + weight x value, so one call serves models that want [0, 255] (weight 1, bias 0),
// [0, 1] (1/255, 0) or [-1, 1] (2/255, -1). See face_ml/image_kernels.h for the sampling.
//
// The tensor is the runtime's own record (tflite/common.h): type kTfLiteFloat32, dimensions
// [1, height, width, channels] (channels last), and `bytes` of memory at `data.f`.
//
//   CpuRGBFrame frame{pixels, 480, 640, 640 * 3, 0};
//   std::vector<float> data(1 * 128 * 128 * 3);
//   TfLiteTensor tensor;
//   tensor.type = kTfLiteFloat32;
//   tensor.dims = TfLiteIntArrayFromVector({1, 128, 128, 3});  // TfLiteIntArrayFree it after
//   tensor.data.f = data.data();
//   tensor.bytes = data.size() * sizeof(float);
//   bool ok = internal::ResizeToTensor(frame, 2.0f / 255, -1.0f, &tensor);

#ifndef FACE_ML_IMAGE_TO_TENSOR_H_
#define FACE_ML_IMAGE_TO_TENSOR_H_

#include <cstdint>

#include "face_ml/types.h"
#include "tflite/common.h"

namespace research {
namespace sorvanti {
namespace api {

// An interleaved RGB frame in caller memory (3 bytes a pixel), borrowed.
struct CpuRGBFrame {
  const uint8_t* data = nullptr;
  int32_t height = 0;
  int32_t width = 0;
  int32_t stride = 0;    // bytes from one row to the next
  int32_t rotation = 0;  // degrees
};

namespace internal {

// The frame turned upright by its rotation, resized into the tensor. A rotation that is not
// a multiple of 90 degrees returns false and writes nothing; so do a tensor that is not a
// four-dimensional float32 tensor with memory for all its values, and a failing kernel (a
// channel count other than 3, for example).
bool ResizeToTensor(const CpuRGBFrame& frame, float weight, float bias, TfLiteTensor* tensor);

// The frame region `rect` (centre, size before rotation, rotation in radians) resized into
// the tensor. The tensor must have 3 channels.
bool ExtractRotatedRectToTensor(const CpuRGBFrame& frame, float weight, float bias,
                                const utils::RotatedRect& rect, TfLiteTensor* tensor);

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_IMAGE_TO_TENSOR_H_
