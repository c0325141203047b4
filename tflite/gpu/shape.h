// Tensor shapes of the GPU graph: strongly typed by layout, so a BHWC shape cannot be mixed
// up with an HWC one. BHWC is batch, height, width, channels; HWC and HW are the per-image
// sizes the runner takes. The text form, used in messages, is "{b, h, w, c}".

#ifndef TFLITE_GPU_SHAPE_H_
#define TFLITE_GPU_SHAPE_H_

#include <cstdint>
#include <string>

namespace tflite {
namespace gpu {

enum class Layout { HW, HWC, BHWC };

template <Layout L>
struct StrongShape;

template <>
struct StrongShape<Layout::HW> {
  StrongShape() = default;
  StrongShape(int32_t h, int32_t w) : h(h), w(w) {}
  int32_t h = 0;
  int32_t w = 0;
  int64_t DimensionsProduct() const { return int64_t{h} * w; }
  bool operator==(const StrongShape&) const = default;
};

template <>
struct StrongShape<Layout::HWC> {
  StrongShape() = default;
  StrongShape(int32_t h, int32_t w, int32_t c) : h(h), w(w), c(c) {}
  int32_t h = 0;
  int32_t w = 0;
  int32_t c = 0;
  int64_t DimensionsProduct() const { return int64_t{h} * w * c; }
  bool operator==(const StrongShape&) const = default;
};

template <>
struct StrongShape<Layout::BHWC> {
  StrongShape() = default;
  StrongShape(int32_t b, int32_t h, int32_t w, int32_t c) : b(b), h(h), w(w), c(c) {}
  int32_t b = 0;
  int32_t h = 0;
  int32_t w = 0;
  int32_t c = 0;
  int64_t DimensionsProduct() const { return int64_t{b} * h * w * c; }
  bool operator==(const StrongShape&) const = default;
};

using HW = StrongShape<Layout::HW>;
using HWC = StrongShape<Layout::HWC>;
using BHWC = StrongShape<Layout::BHWC>;

std::string ToString(const HW& shape);
std::string ToString(const HWC& shape);
std::string ToString(const BHWC& shape);

// Elements of a BHWC tensor in the PHWC4 layout: channels padded to whole slices of 4.
int64_t GetElementsSizeForPHWC4(const BHWC& shape);

}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_SHAPE_H_
