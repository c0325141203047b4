#include "tflite/gpu/operations.h"

namespace tflite {
namespace gpu {
namespace {

struct NamedType {
  OperationType type;
  const char* name;
};

constexpr NamedType kNames[] = {
    {OperationType::ADD, "add"},
    {OperationType::CONCAT, "concat"},
    {OperationType::CONVOLUTION_2D, "convolution_2d"},
    {OperationType::CONVOLUTION_TRANSPOSED, "convolution_transposed"},
    {OperationType::DEPTHWISE_CONVOLUTION, "depthwise_convolution"},
    {OperationType::DIV, "div"},
    {OperationType::FULLY_CONNECTED, "fully_connected"},
    {OperationType::MAXIMUM, "maximum"},
    {OperationType::MINIMUM, "minimum"},
    {OperationType::MUL, "mul"},
    {OperationType::PAD, "pad"},
    {OperationType::POOLING_2D, "pooling_2d"},
    {OperationType::PRELU, "prelu"},
    {OperationType::RELU, "relu"},
    {OperationType::RESHAPE, "reshape"},
    {OperationType::RESIZE, "resize"},
    {OperationType::SIGMOID, "sigmoid"},
    {OperationType::SLICE, "slice"},
    {OperationType::SOFTMAX, "softmax"},
    {OperationType::SUB, "sub"},
    {OperationType::TANH, "tanh"},
};

}  // namespace

std::string ToString(OperationType type) {
  for (const NamedType& n : kNames) {
    if (n.type == type) return n.name;
  }
  return "unknown_operation";
}

OperationType OperationTypeFromString(const std::string& name) {
  for (const NamedType& n : kNames) {
    if (name == n.name) return n.type;
  }
  return OperationType::UNKNOWN;
}

}  // namespace gpu
}  // namespace tflite
