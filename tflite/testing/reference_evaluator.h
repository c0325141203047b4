// A plain float evaluator of model files: straightforward loops over NHWC tensors, one
// operator at a time, no kernel library. It is the yardstick that faster runtimes are compared
// with, and the way generators and tests see what a model computes.
//
//   tflite::testing::FloatTensor input{{1, 128, 128, 3}, pixels};
//   util::StatusOr<std::vector<tflite::testing::FloatTensor>> outputs =
//       tflite::testing::EvaluateModel(model_file, {input});
//
// Only the first subgraph runs. Supported operators: CONV_2D, DEPTHWISE_CONV_2D, MAX_POOL_2D,
// AVERAGE_POOL_2D, FULLY_CONNECTED, ADD, MUL, RELU, LEAKY_RELU, PRELU, LOGISTIC, PAD, RESHAPE and
// CONCATENATION, float32 only, with the fused activations NONE, RELU, RELU_N1_TO_1, RELU6
// and TANH. Shapes are the ones the file declares; an operator whose computed output shape
// differs from its declared one is an error, as is any other operator, type or malformed file.

#ifndef TFLITE_TESTING_REFERENCE_EVALUATOR_H_
#define TFLITE_TESTING_REFERENCE_EVALUATOR_H_

#include <cstdint>
#include <vector>

#include "absl/types/span.h"
#include "base/statusor.h"

namespace tflite {
namespace testing {

// A dense float tensor; data in row-major order of `shape` (NHWC for images).
struct FloatTensor {
  std::vector<int32_t> shape;
  std::vector<float> data;
};

struct EvaluationOptions {
  // Rounds the inputs and every operator's output to the nearest binary16 value (ties to
  // even; beyond the largest half, infinity), as a runtime that stores its tensors in half
  // precision does. Arithmetic and weights stay float.
  bool half_storage = false;
};

// Runs the model on `inputs` (one per model input, in order, each with the declared shape)
// and returns the model outputs in order. The model file is verified first.
util::StatusOr<std::vector<FloatTensor>> EvaluateModel(absl::Span<const uint8_t> model_file,
                                                       const std::vector<FloatTensor>& inputs,
                                                       const EvaluationOptions& options = {});

// The binary16 value nearest to `value`, as a float (ties to even, infinity beyond the
// largest half, NaN kept).
float RoundToHalf(float value);

// Multiply-adds of one evaluation of the model's convolutions and fully connected layers;
// the usual measure of a network's size (one multiply-add = two FLOP).
util::StatusOr<int64_t> CountMultiplyAdds(absl::Span<const uint8_t> model_file);

}  // namespace testing
}  // namespace tflite

#endif  // TFLITE_TESTING_REFERENCE_EVALUATOR_H_
