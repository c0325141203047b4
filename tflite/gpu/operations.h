// The operations of the GPU graph: their type names and attribute records. A node's
// Operation holds the type name (ToString of an OperationType, or a custom operation's
// name) and the matching attributes record in its std::any. Weights are float32, in the
// layouts noted at each record; they are copied out of the model file, so the graph does not
// refer to the file's bytes.

#ifndef TFLITE_GPU_OPERATIONS_H_
#define TFLITE_GPU_OPERATIONS_H_

#include <string>
#include <vector>

#include "tflite/gpu/shape.h"

namespace tflite {
namespace gpu {

enum class OperationType {
  UNKNOWN = 0,
  ADD,
  CONCAT,
  CONVOLUTION_2D,
  CONVOLUTION_TRANSPOSED,
  DEPTHWISE_CONVOLUTION,
  DIV,
  FULLY_CONNECTED,
  MAXIMUM,
  MINIMUM,
  MUL,
  PAD,
  POOLING_2D,
  PRELU,
  RELU,
  RESHAPE,
  RESIZE,
  SIGMOID,
  SLICE,
  SOFTMAX,
  SUB,
  TANH,
};

std::string ToString(OperationType type);
// UNKNOWN for a name that is none of the above.
OperationType OperationTypeFromString(const std::string& name);

enum class Axis { UNKNOWN = 0, CHANNELS = 1, HEIGHT = 4, WIDTH = 5, BATCH = 7 };

// Padding before and after, per dimension.
template <typename ShapeT>
struct PaddingAttributes {
  ShapeT prepended;
  ShapeT appended;
};

// Weights of a convolution: shape (o, h, w, i) with data in that order.
struct ConvWeights {
  int32_t o = 0, h = 0, w = 0, i = 0;
  std::vector<float> data;
};

struct Convolution2DAttributes {
  HW strides{1, 1};
  HW dilations{1, 1};
  PaddingAttributes<HW> padding;
  ConvWeights weights;
  std::vector<float> bias;  // one per output channel, or empty
};

// Weights (o = channel multiplier, h, w, i = input channels).
struct DepthwiseConvolution2DAttributes : Convolution2DAttributes {};

struct ConvolutionTransposedAttributes {
  HW stride{1, 1};
  PaddingAttributes<HW> padding;
  ConvWeights weights;  // (o, h, w, i)
  std::vector<float> bias;
};

enum class PoolingType { MAX, AVERAGE };

struct Pooling2DAttributes {
  PoolingType type = PoolingType::MAX;
  HW kernel;
  HW strides{1, 1};
  PaddingAttributes<HW> padding;
  bool output_indices = false;
};

// Weights (o = units, i = depth), row per unit.
struct FullyConnectedAttributes {
  ConvWeights weights;
  std::vector<float> bias;
};

// Clipped, leaky rectifier: min(max(x, alpha * x), clip) with clip 0 meaning none.
struct ReLUAttributes {
  float clip = 0;
  float alpha = 0;
};

// Element-wise with a second operand: none (two runtime inputs), a scalar, one value per
// channel, or a full HWC tensor.
struct ElementwiseAttributes {
  enum class Kind { kRuntime, kScalar, kPerChannel, kTensor } kind = Kind::kRuntime;
  float scalar = 0;
  std::vector<float> values;
  HWC shape;  // for kTensor
};

struct ConcatAttributes {
  Axis axis = Axis::CHANNELS;
};

struct ReshapeAttributes {
  BHWC new_shape;
};

struct PadAttributes {
  BHWC prepended;
  BHWC appended;
};

// Alpha per channel (a vector of c values) or for every element (HWC).
struct PReLUAttributes {
  std::vector<float> alpha;
  HWC shape;
  bool per_channel = true;
};

struct Resize2DAttributes {
  HW new_shape;
  bool align_corners = false;
  bool half_pixel_centers = false;
};

struct SliceAttributes {
  BHWC starts;
  BHWC ends;
  BHWC strides{1, 1, 1, 1};
};

struct SoftmaxAttributes {
  Axis axis = Axis::CHANNELS;
};

}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_OPERATIONS_H_
