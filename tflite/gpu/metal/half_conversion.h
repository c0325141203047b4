// Bulk conversions between binary16 and float32, and between the PHWC4 half-float layout of
// the runner's tensor buffers and the dense NHWC floats kernels work on. They use the
// processor's F16C instructions where it has them and give the same results as
// platform::metal::HalfToFloat / FloatToHalf (exact widening; rounding to nearest even), with
// one exception: where F16C is used, widening a signalling NaN half quiets it (sets the quiet
// bit, 0x00400000 of the float, and keeps the payload), as the instruction does, while
// HalfToFloat keeps it signalling. This holds for every element whatever the count, and
// narrowing quiets NaNs on both paths. Tensors computed here never hold signalling NaNs.
//
// PHWC4: channels in slices of four; element (n, y, x, k) is at
// (((n · slices + k / 4) · h + y) · w + x) · 4 + k % 4. Padding channels are written as 0.

#ifndef TFLITE_GPU_METAL_HALF_CONVERSION_H_
#define TFLITE_GPU_METAL_HALF_CONVERSION_H_

#include <cstddef>
#include <cstdint>

#include "tflite/gpu/shape.h"

namespace tflite {
namespace gpu {
namespace metal {

void HalvesToFloats(const uint16_t* halves, size_t count, float* floats);
void FloatsToHalves(const float* floats, size_t count, uint16_t* halves);
// Rounds each value to the nearest binary16 in place: what storing it as a half keeps.
void RoundToHalfPrecision(float* values, size_t count);
// The same for one value.
float RoundToHalf(float value);

void PHWC4HalvesToNHWCFloats(const uint16_t* phwc4, const BHWC& shape, float* nhwc);
void NHWCFloatsToPHWC4Halves(const float* nhwc, const BHWC& shape, uint16_t* phwc4);

}  // namespace metal
}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_METAL_HALF_CONVERSION_H_
