#include "face_ml/image_kernels.h"

#include <cmath>
#include <thread>

#include "base/cpu_features.h"
#include "base/logging.h"
#include "face_ml/image_resize_weighted_biased_halide_avx2.h"
#include "face_ml/image_resize_weighted_biased_halide_sse41.h"
#include "face_ml/image_rotation_crop_weighted_biased_halide_avx2.h"
#include "face_ml/image_rotation_crop_weighted_biased_halide_sse41.h"

namespace {

void LogHalideError(void* /*user_context*/, const char* message) {
  LOG(ERROR) << "Halide: " << message;
}

// Whether this processor runs the AVX2 builds. The first call also settles the runtime
// before any kernel runs: its thread count (which it would otherwise take from the
// environment) and its error handler (which would otherwise print to stderr).
bool UseAvx2() {
  static const bool avx2 = [] {
    const unsigned cores = std::thread::hardware_concurrency();
    halide_set_num_threads(cores == 0 ? 1 : static_cast<int>(cores));
    halide_set_error_handler(&LogHalideError);
    return base::CpuHasAvx2FmaF16c();
  }();
  return avx2;
}

}  // namespace

extern "C" {

int ImageResizeWeightedBiasedHalide(halide_buffer_t* input, float weight, float bias,
                                    int32_t dst_width, int32_t dst_height,
                                    halide_buffer_t* output) {
  return (UseAvx2() ? ImageResizeWeightedBiasedHalide_avx2 : ImageResizeWeightedBiasedHalide_sse41)(
      input, weight, bias, dst_width, dst_height, output);
}

int ImageResizeWeightedBiasedHalide_argv(void** args) {
  return UseAvx2() ? ImageResizeWeightedBiasedHalide_avx2_argv(args)
                   : ImageResizeWeightedBiasedHalide_sse41_argv(args);
}

const halide_filter_metadata_t* ImageResizeWeightedBiasedHalide_metadata() {
  return UseAvx2() ? ImageResizeWeightedBiasedHalide_avx2_metadata()
                   : ImageResizeWeightedBiasedHalide_sse41_metadata();
}

int ImageRotationCropWeightedBiasedHalide(halide_buffer_t* input, float weight, float bias,
                                          float rot_center_x, float rot_center_y,
                                          float rot_radians, float roi_y_min, float roi_y_max,
                                          float roi_x_min, float roi_x_max, int32_t dst_width,
                                          int32_t dst_height, halide_buffer_t* output) {
  return (UseAvx2() ? ImageRotationCropWeightedBiasedHalide_avx2
                    : ImageRotationCropWeightedBiasedHalide_sse41)(
      input, weight, bias, rot_center_x, rot_center_y, rot_radians, roi_y_min, roi_y_max,
      roi_x_min, roi_x_max, dst_width, dst_height, output);
}

int ImageRotationCropWeightedBiasedHalide_argv(void** args) {
  return UseAvx2() ? ImageRotationCropWeightedBiasedHalide_avx2_argv(args)
                   : ImageRotationCropWeightedBiasedHalide_sse41_argv(args);
}

const halide_filter_metadata_t* ImageRotationCropWeightedBiasedHalide_metadata() {
  return UseAvx2() ? ImageRotationCropWeightedBiasedHalide_avx2_metadata()
                   : ImageRotationCropWeightedBiasedHalide_sse41_metadata();
}

}  // extern "C"

namespace research {
namespace sorvanti {
namespace {

// The destination size is the output's own size; a missing output is the kernel's to refuse.
int Extent(const halide_buffer_t* buffer, int dim) {
  return buffer != nullptr && buffer->dimensions > dim ? buffer->dim[dim].extent : 0;
}

// A buffer without memory would put the kernel in bounds-query mode: it would rewrite the
// descriptions and report success without writing a value. Refuse it instead.
bool HasMemory(const halide_buffer_t* input, const halide_buffer_t* output, const char* kernel) {
  if (input != nullptr && input->host == nullptr && input->device == 0) {
    LOG(ERROR) << kernel << ": the input buffer has no memory";
    return false;
  }
  if (output != nullptr && output->host == nullptr && output->device == 0) {
    LOG(ERROR) << kernel << ": the output buffer has no memory";
    return false;
  }
  return true;
}

}  // namespace

bool ImageResizeWeightedBiased(halide_buffer_t* input, float weight, float bias,
                               halide_buffer_t* output) {
  if (!HasMemory(input, output, "ImageResizeWeightedBiased")) return false;
  return ImageResizeWeightedBiasedHalide(input, weight, bias, Extent(output, 0),
                                         Extent(output, 1), output) ==
         0;
}

bool ImageRotationWeightedBiased(halide_buffer_t* input, float weight, float bias,
                                 float rot_center_x, float rot_center_y, float rot_radians,
                                 float roi_y_min, float roi_y_max, float roi_x_min,
                                 float roi_x_max, halide_buffer_t* output) {
  if (!HasMemory(input, output, "ImageRotationWeightedBiased")) return false;
  for (float v : {rot_center_x, rot_center_y, rot_radians, roi_y_min, roi_y_max, roi_x_min,
                  roi_x_max}) {
    if (!std::isfinite(v)) {
      LOG(ERROR) << "ImageRotationWeightedBiased: non-finite crop geometry";
      return false;
    }
  }
  return ImageRotationCropWeightedBiasedHalide(input, weight, bias, rot_center_x, rot_center_y,
                                               rot_radians, roi_y_min, roi_y_max, roi_x_min,
                                               roi_x_max, Extent(output, 0), Extent(output, 1),
                                               output) == 0;
}

}  // namespace sorvanti
}  // namespace research
