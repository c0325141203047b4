#include "face_ml/image_kernels.h"

#include <cmath>
#include <string>
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

// The metadata of the build that runs here, under the kernel's own name rather than the
// build's (which carries the target suffix).
const halide_filter_metadata_t* Renamed(const halide_filter_metadata_t* build, const char* name) {
  auto* renamed = new halide_filter_metadata_t(*build);  // lives for the process
  renamed->name = name;
  return renamed;
}

// One older buffer description turned into the current one for an argument of `type`
// with three dimensions, as the kernels take. Reports through the runtime's error handler.
class UpgradedBuffer {
 public:
  int Upgrade(const char* name, const buffer_t* old, halide_type_t type) {
    if (old == nullptr) {
      halide_error(nullptr, (std::string("Buffer argument ") + name + " is NULL").c_str());
      return halide_error_code_buffer_argument_is_null;
    }
    if (old->dev != 0) {
      halide_error(nullptr, (std::string("Buffer ") + name + " has device memory").c_str());
      return halide_error_code_no_device_interface;
    }
    if (old->host != nullptr && old->elem_size != type.bytes()) {
      halide_error(nullptr, (std::string("Buffer ") + name + " has element size " +
                             std::to_string(old->elem_size) + " where " +
                             std::to_string(type.bytes()) + " is required")
                                .c_str());
      return halide_error_code_bad_type;
    }
    for (int d = 0; d < kDimensions; ++d) {
      dims_[d] = {old->min[d], old->extent[d], old->stride[d], 0};
    }
    buffer_.host = old->host;
    buffer_.type = type;
    buffer_.dimensions = kDimensions;
    buffer_.dim = dims_;
    buffer_.set_host_dirty(old->host_dirty);
    return 0;
  }

  // Writes back what the kernel may have changed: the sizes (a bounds query fills them in)
  // and the dirty flags.
  void Downgrade(buffer_t* old) const {
    for (int d = 0; d < kDimensions; ++d) {
      old->min[d] = dims_[d].min;
      old->extent[d] = dims_[d].extent;
      old->stride[d] = dims_[d].stride;
    }
    old->elem_size = buffer_.type.bytes();
    old->host_dirty = buffer_.host_dirty();
    old->dev_dirty = buffer_.device_dirty();
  }

  halide_buffer_t* get() { return &buffer_; }

 private:
  static constexpr int kDimensions = 3;
  halide_dimension_t dims_[kDimensions] = {};
  halide_buffer_t buffer_ = {};
};

const halide_type_t kUint8(halide_type_uint, 8);
const halide_type_t kFloat32(halide_type_float, 32);

// Runs `kernel` over the upgraded input and output and writes both back.
template <typename Kernel>
int RunOverOldBuffers(buffer_t* input, buffer_t* output, Kernel kernel) {
  UseAvx2();  // settles the runtime's error handler before a conversion reports
  UpgradedBuffer in, out;
  if (int error = in.Upgrade("input", input, kUint8)) return error;
  if (int error = out.Upgrade("output", output, kFloat32)) return error;
  const int result = kernel(in.get(), out.get());
  if (result == 0) {
    in.Downgrade(input);
    out.Downgrade(output);
  }
  return result;
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

int ImageResizeWeightedBiasedHalide_old_buffer_t(buffer_t* input, float weight, float bias,
                                                 int32_t dst_width, int32_t dst_height,
                                                 buffer_t* output) {
  return RunOverOldBuffers(input, output, [&](halide_buffer_t* in, halide_buffer_t* out) {
    return ImageResizeWeightedBiasedHalide(in, weight, bias, dst_width, dst_height, out);
  });
}

const halide_filter_metadata_t* ImageResizeWeightedBiasedHalide_metadata() {
  static const halide_filter_metadata_t* const metadata =
      Renamed(UseAvx2() ? ImageResizeWeightedBiasedHalide_avx2_metadata()
                        : ImageResizeWeightedBiasedHalide_sse41_metadata(),
              "ImageResizeWeightedBiasedHalide");
  return metadata;
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

int ImageRotationCropWeightedBiasedHalide_old_buffer_t(
    buffer_t* input, float weight, float bias, float rot_center_x, float rot_center_y,
    float rot_radians, float roi_y_min, float roi_y_max, float roi_x_min, float roi_x_max,
    int32_t dst_width, int32_t dst_height, buffer_t* output) {
  return RunOverOldBuffers(input, output, [&](halide_buffer_t* in, halide_buffer_t* out) {
    return ImageRotationCropWeightedBiasedHalide(in, weight, bias, rot_center_x, rot_center_y,
                                                 rot_radians, roi_y_min, roi_y_max, roi_x_min,
                                                 roi_x_max, dst_width, dst_height, out);
  });
}

const halide_filter_metadata_t* ImageRotationCropWeightedBiasedHalide_metadata() {
  static const halide_filter_metadata_t* const metadata =
      Renamed(UseAvx2() ? ImageRotationCropWeightedBiasedHalide_avx2_metadata()
                        : ImageRotationCropWeightedBiasedHalide_sse41_metadata(),
              "ImageRotationCropWeightedBiasedHalide");
  return metadata;
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
