// Ahead-of-time generators of the two CPU image kernels that fill a float tensor from an
// interleaved 8-bit RGB image: a resize of the whole image and a rotated crop. Every output
// value is bias + weight x sample, where the sample is a bilinear interpolation done
// entirely in 8-bit integer arithmetic on 16.16 fixed-point positions, so that the values
// do not depend on the vector width or the thread count the kernel runs with.
//
// Built for the build machine only; the build runs it to emit objects and headers into the
// build tree (face_ml/image_*_halide.h).

#include "Halide.h"

namespace {

using Halide::Expr;
using Halide::Func;
using Halide::Var;

// t / 255 rounded to an 8-bit value, for t in [0, 255 x 255].
Expr Div255(Expr t) {
  Expr r = t + 128;
  return (r + (r >> 8)) >> 8;
}

// Linear interpolation between two 8-bit samples with an 8-bit weight w of b.
Expr Lerp8(Expr a, Expr b, Expr w) {
  Expr a16 = Halide::cast<uint16_t>(a);
  Expr b16 = Halide::cast<uint16_t>(b);
  Expr w16 = Halide::cast<uint16_t>(w);
  return Halide::cast<uint8_t>(Div255(a16 * (255 - w16) + b16 * w16));
}

// A position in 16.16 fixed point split into its two neighbour indices clamped to
// [min, min + extent - 1] and the 8-bit weight of the second one.
struct Neighbours {
  Expr i0;
  Expr i1;
  Expr w;
};

Neighbours Split(Expr position, Expr min, Expr extent) {
  Expr i = position >> 16;  // rounds toward minus infinity
  Expr last = Halide::cast(position.type(), min + extent - 1);
  Expr first = Halide::cast(position.type(), min);
  Neighbours n;
  n.i0 = Halide::cast<int32_t>(Halide::clamp(i, first, last));
  n.i1 = Halide::cast<int32_t>(Halide::clamp(i + 1, first, last));
  n.w = Halide::cast<uint8_t>(Halide::cast<int32_t>(position & 0xffff) / 257);
  return n;
}

// round(v x scale) as a 64-bit integer, limited to the 32-bit range so that no conversion
// overflows whatever positions the caller asks for.
Expr ToFixed(Expr v, float scale = 65536.0f) {
  Expr scaled = Halide::round(v * scale);
  scaled = Halide::clamp(scaled, -2147483648.0f, 2147483520.0f);
  return Halide::cast<int64_t>(scaled);
}

// Removes the default unit-stride constraint of the innermost dimension.
template <typename B>
void AllowAnyStrides(B& buffer) {
  for (int d = 0; d < 3; ++d) buffer.dim(d).set_stride(Expr());
}

// Interleaved layout: x stride 3, channels 0..2 with stride 1.
template <typename B>
void RequireInterleavedRgb(B& buffer) {
  buffer.dim(0).set_stride(3);
  buffer.dim(2).set_stride(1);
  buffer.dim(2).set_bounds(0, 3);
}

class ImageResizeWeightedBiased : public Halide::Generator<ImageResizeWeightedBiased> {
 public:
  Input<Buffer<uint8_t>> input{"input", 3};
  Input<float> weight{"weight"};
  Input<float> bias{"bias"};
  Input<int32_t> dst_width{"dst_width"};
  Input<int32_t> dst_height{"dst_height"};
  Output<Buffer<float>> output{"output", 3};

  void generate() {
    // Per-axis positions: start + index x step, with step = round(in x 65536 / out)
    // (halves upward) and start = round((0.5 x in / out) x 65536 - 32768).
    auto axis = [](Expr index, Expr in_min, Expr in_extent, Expr out_extent) {
      Expr in64 = Halide::cast<int64_t>(in_extent);
      Expr out64 = Halide::cast<int64_t>(out_extent);
      Expr step = (in64 * 65536 * 2 + out64) / (out64 * 2);
      Expr start = ToFixed(0.5f * Halide::cast<float>(in_extent) /
                           Halide::cast<float>(out_extent) * 65536.0f - 32768.0f,
                           /*scale=*/1.0f);
      return Split(start + Halide::cast<int64_t>(index) * step, in_min, in_extent);
    };

    Neighbours xs = axis(x, input.dim(0).min(), input.dim(0).extent(), dst_width);
    Neighbours ys = axis(y, input.dim(1).min(), input.dim(1).extent(), dst_height);
    column(x) = {xs.i0, xs.i1, xs.w};
    row(y) = {ys.i0, ys.i1, ys.w};

    // The two source rows of every output row, interpolated along x.
    Expr x0 = column(x)[0], x1 = column(x)[1], wx = column(x)[2];
    Expr src_y = Halide::select(k == 0, row(y)[0], row(y)[1]);
    y_interpolated(x, y, k, c) =
        Lerp8(input(x0, src_y, c), input(x1, src_y, c), wx);

    Expr value = Lerp8(y_interpolated(x, y, 0, c), y_interpolated(x, y, 1, c), row(y)[2]);
    output(x, y, c) = bias + weight * Halide::cast<float>(value);
  }

  void schedule() {
    AllowAnyStrides(input);
    AllowAnyStrides(output);
    Var yo("yo"), yi("yi");
    column.compute_root();
    row.compute_root();
    output.split(y, yo, yi, 16, Halide::TailStrategy::GuardWithIf)
        .parallel(yo)
        .vectorize(x, 8, Halide::TailStrategy::GuardWithIf);
    y_interpolated.compute_at(output, yo)
        .bound(k, 0, 2)
        .unroll(k)
        .vectorize(x, 8, Halide::TailStrategy::GuardWithIf);
  }

 private:
  Var x{"x"}, y{"y"}, c{"c"}, k{"k"};
  Func column{"column"}, row{"row"};
  Func y_interpolated{"y_interpolated"};
};

class ImageRotationCropWeightedBiased
    : public Halide::Generator<ImageRotationCropWeightedBiased> {
 public:
  Input<Buffer<uint8_t>> input{"input", 3};
  Input<float> weight{"weight"};
  Input<float> bias{"bias"};
  Input<float> rot_center_x{"rot_center_x"};
  Input<float> rot_center_y{"rot_center_y"};
  Input<float> rot_radians{"rot_radians"};
  Input<float> roi_y_min{"roi_y_min"};
  Input<float> roi_y_max{"roi_y_max"};
  Input<float> roi_x_min{"roi_x_min"};
  Input<float> roi_x_max{"roi_x_max"};
  Input<int32_t> dst_width{"dst_width"};
  Input<int32_t> dst_height{"dst_height"};
  Output<Buffer<float>> output{"output", 3};

  void generate() {
    // Output pixel (x, y) samples the region point (u, v) turned by rot_radians about the
    // centre; the position of pixel (0, 0) and the per-column and per-row increments are
    // each rounded to 16.16 fixed point and accumulated in integers.
    Expr step_u = (roi_x_max - roi_x_min) / Halide::cast<float>(dst_width);
    Expr step_v = (roi_y_max - roi_y_min) / Halide::cast<float>(dst_height);
    Expr du = roi_x_min + 0.5f * step_u - rot_center_x;
    Expr dv = roi_y_min + 0.5f * step_v - rot_center_y;
    Expr cos_t = Halide::cos(rot_radians);
    Expr sin_t = Halide::sin(rot_radians);
    Expr sx0 = ToFixed(rot_center_x + cos_t * du - sin_t * dv - 0.5f);
    Expr sy0 = ToFixed(rot_center_y + sin_t * du + cos_t * dv - 0.5f);
    Expr sx_dx = ToFixed(cos_t * step_u), sx_dy = ToFixed(-sin_t * step_v);
    Expr sy_dx = ToFixed(sin_t * step_u), sy_dy = ToFixed(cos_t * step_v);

    Expr x64 = Halide::cast<int64_t>(x), y64 = Halide::cast<int64_t>(y);
    Neighbours xs = Split(sx0 + x64 * sx_dx + y64 * sx_dy, input.dim(0).min(),
                          input.dim(0).extent());
    Neighbours ys = Split(sy0 + x64 * sy_dx + y64 * sy_dy, input.dim(1).min(),
                          input.dim(1).extent());
    Expr r0 = Lerp8(input(xs.i0, ys.i0, c), input(xs.i1, ys.i0, c), xs.w);
    Expr r1 = Lerp8(input(xs.i0, ys.i1, c), input(xs.i1, ys.i1, c), xs.w);
    output(x, y, c) = bias + weight * Halide::cast<float>(Lerp8(r0, r1, ys.w));
  }

  void schedule() {
    RequireInterleavedRgb(input);
    RequireInterleavedRgb(output);
    output.reorder(c, x, y)
        .unroll(c)
        .vectorize(x, 4, Halide::TailStrategy::GuardWithIf)
        .parallel(y);
  }

 private:
  Var x{"x"}, y{"y"}, c{"c"};
};

}  // namespace

HALIDE_REGISTER_GENERATOR(ImageResizeWeightedBiased, image_resize_weighted_biased)
HALIDE_REGISTER_GENERATOR(ImageRotationCropWeightedBiased, image_rotation_crop_weighted_biased)
