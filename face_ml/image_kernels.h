// Bilinear CPU image kernels over Halide buffer descriptions: an interleaved 8-bit RGB input
// (x, y, c) is sampled into a float output (x, y, c) as bias + weight x sample. The output
// buffer's x and y extents are the destination size. Sampling positions are 16.16 fixed
// point and interpolation is 8-bit integer arithmetic; neighbours beyond the input's border
// repeat its edge pixels.
//
// The kernels run their rows on the Halide runtime's thread pool and return when all rows
// are written. Errors (wrong element type, dimension count or layout, buffers too small)
// make them return false; the runtime's text goes to the log at ERROR. A buffer without
// memory (null host) is refused rather than answered as a bounds query.
//
//   halide_buffer_t in = ..., out = ...;  // uint8 and float32, three dimensions each
//   if (!research::sorvanti::ImageResizeWeightedBiased(&in, 2.0f / 255, -1.0f, &out)) ...

#ifndef FACE_ML_IMAGE_KERNELS_H_
#define FACE_ML_IMAGE_KERNELS_H_

#include <cstdint>

#include "HalideRuntime.h"

// The kernels themselves, for callers that drive them directly. Each returns 0 on success
// and a Halide runtime error code otherwise; it runs the AVX2 build where the processor has
// AVX2, FMA and F16C, the SSE4.1 build elsewhere. The _argv forms take pointers to the
// arguments in call order; _metadata describes the kernel under the name declared here
// (whichever build runs), its arguments (names, kinds, dimensions, types) and the target of
// the build that runs here. The _old_buffer_t forms take the runtime's older buffer
// description (below): each converts its buffers, runs the kernel and writes the resulting
// sizes and dirty flags back, so a buffer without memory is a bounds query there as it was in
// that form.
extern "C" {

// The runtime's older buffer description: up to four dimensions, and the element size where
// the current description has a type. The kernel's argument gives the type; a buffer with
// memory whose element size differs from it is refused. Device memory (`dev`) is not
// supported here: such a buffer is refused.
struct buffer_t {
  uint64_t dev;
  uint8_t* host;
  int32_t extent[4];
  int32_t stride[4];
  int32_t min[4];
  int32_t elem_size;
  bool host_dirty;
  bool dev_dirty;
};

int ImageResizeWeightedBiasedHalide(halide_buffer_t* input, float weight, float bias,
                                    int32_t dst_width, int32_t dst_height,
                                    halide_buffer_t* output);
int ImageResizeWeightedBiasedHalide_old_buffer_t(buffer_t* input, float weight, float bias,
                                                 int32_t dst_width, int32_t dst_height,
                                                 buffer_t* output);
int ImageResizeWeightedBiasedHalide_argv(void** args);
const halide_filter_metadata_t* ImageResizeWeightedBiasedHalide_metadata();

int ImageRotationCropWeightedBiasedHalide(halide_buffer_t* input, float weight, float bias,
                                          float rot_center_x, float rot_center_y,
                                          float rot_radians, float roi_y_min, float roi_y_max,
                                          float roi_x_min, float roi_x_max, int32_t dst_width,
                                          int32_t dst_height, halide_buffer_t* output);
int ImageRotationCropWeightedBiasedHalide_old_buffer_t(
    buffer_t* input, float weight, float bias, float rot_center_x, float rot_center_y,
    float rot_radians, float roi_y_min, float roi_y_max, float roi_x_min, float roi_x_max,
    int32_t dst_width, int32_t dst_height, buffer_t* output);
int ImageRotationCropWeightedBiasedHalide_argv(void** args);
const halide_filter_metadata_t* ImageRotationCropWeightedBiasedHalide_metadata();
}  // extern "C"

namespace research {
namespace sorvanti {

// Resizes the whole input to the whole output. Any strides.
bool ImageResizeWeightedBiased(halide_buffer_t* input, float weight, float bias,
                               halide_buffer_t* output);

// Fills the output with the region [roi_x_min, roi_x_max] x [roi_y_min, roi_y_max] of the
// input turned by rot_radians about (rot_center_x, rot_center_y). Input and output must be
// interleaved: x stride 3, channels 0..2 with stride 1. Non-finite geometry is refused.
bool ImageRotationWeightedBiased(halide_buffer_t* input, float weight, float bias,
                                 float rot_center_x, float rot_center_y, float rot_radians,
                                 float roi_y_min, float roi_y_max, float roi_x_min,
                                 float roi_x_max, halide_buffer_t* output);

}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_IMAGE_KERNELS_H_
