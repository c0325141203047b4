// Element-wise arithmetic for half-precision storage, in one pass: the values read from an
// input tensor that may not be halves yet are rounded to the nearest binary16, the operation
// runs in float, the result is clamped and rounded to the nearest binary16 (ties to even) as
// it is stored. Constant operands are weights and stay float.
//
// Rounding on the way in lets the task that produces an input leave it unrounded when every
// reader rounds it anyway; rounding on the way out is what storing a half would do. Both ride
// along in the pass the arithmetic makes over memory, where a separate rounding pass would cost
// as much again; rounding what is a half already would not be free, hence the choice of which
// inputs to round. The operations and their order of clamping follow XNNPACK's f32 kernels, so
// the results are those of XNNPACK's operator followed by rounding. AVX2 and F16C where the
// processor has them, plain loops otherwise.

#ifndef TFLITE_GPU_METAL_HALF_ELEMENTWISE_H_
#define TFLITE_GPU_METAL_HALF_ELEMENTWISE_H_

#include <cstddef>
#include <limits>
#include <vector>

namespace tflite {
namespace gpu {
namespace metal {

enum class HalfElementwiseOp {
  kAdd,
  kSub,
  kMul,
  kDiv,
  kMaximum,
  kMinimum,
  kScaleNegative,  // x < 0 (sign bit set) ? x * second : x; PReLU and leaky ReLU
  kClamp,          // x, clamped by the bounds alone
};

// How the second operand lines up with the output, which is `rows` rows of `channels` values.
enum class SecondOperand {
  kNone,        // kClamp
  kScalar,      // one value for everything
  kPerChannel,  // `channels` values, the same for every row
  kPerElement,  // as many values as the output
};

struct HalfElementwise {
  HalfElementwiseOp op = HalfElementwiseOp::kClamp;
  SecondOperand second = SecondOperand::kNone;
  // The second operand is fixed (a weight, not rounded): these values, else the second input.
  bool constant_second = false;
  std::vector<float> constant;
  // Which inputs to round as they are read (inputs that may hold values other than halves).
  bool round_first = true;
  bool round_second = true;
  float min = -std::numeric_limits<float>::infinity();
  float max = std::numeric_limits<float>::infinity();
  size_t rows = 0;
  size_t channels = 0;

  // Once the fields are set: lays the constant operand out for Run (per-channel constants are
  // repeated to a whole number of vectors).
  void Prepare();

  // `second` is read only for a runtime second operand; all buffers are dense floats.
  void Run(const float* first, const float* second, float* output) const;
};

}  // namespace metal
}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_METAL_HALF_ELEMENTWISE_H_
