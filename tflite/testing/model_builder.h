// Writes TensorFlow Lite model files for tests and generators. The model is described in
// plain records that stay public until Finish(), so a test can make exactly the fault it needs
// (an index out of range, a missing options table, a second subgraph) before serialising.
//
//   tflite::testing::ModelBuilder b;
//   int in = b.AddTensor({1, 8, 8, 3}, "input");
//   int out = b.AddTensor({1, 8, 8, 3}, "output");
//   b.AddOperator(tflite::BuiltinOperator_RELU, {in}, {out});
//   b.SetInputs({in});
//   b.SetOutputs({out});
//   std::vector<uint8_t> file = b.Finish();
//
// Both built-in code fields of an operator code are written, as the format's readers expect.

#ifndef TFLITE_TESTING_MODEL_BUILDER_H_
#define TFLITE_TESTING_MODEL_BUILDER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "flatbuffers/flatbuffers.h"
#include "tflite/schema_generated.h"

namespace tflite {
namespace testing {

class ModelBuilder {
 public:
  // Writes an options table into the builder being finished.
  using OptionsWriter = std::function<flatbuffers::Offset<void>(flatbuffers::FlatBufferBuilder&)>;

  struct OpCode {
    BuiltinOperator code = BuiltinOperator_ADD;
    std::string custom_code;  // for BuiltinOperator_CUSTOM
    int version = 1;
  };
  struct TensorRecord {
    std::vector<int32_t> shape;
    TensorType type = TensorType_FLOAT32;
    uint32_t buffer = 0;
    std::string name;
  };
  struct OperatorRecord {
    uint32_t opcode_index = 0;
    std::vector<int32_t> inputs;
    std::vector<int32_t> outputs;
    BuiltinOptions options_type = BuiltinOptions_NONE;
    OptionsWriter options;
    std::vector<uint8_t> custom_options;
  };
  struct SubgraphRecord {
    std::vector<TensorRecord> tensors;
    std::vector<int32_t> inputs;
    std::vector<int32_t> outputs;
    std::vector<OperatorRecord> operators;
    std::string name;
  };

  // Starts with one empty subgraph and buffer 0, the empty buffer of tensors without data.
  ModelBuilder();

  // A buffer of raw bytes; returns its index.
  uint32_t AddBuffer(std::vector<uint8_t> data);
  // A tensor of the current (last) subgraph; returns its index.
  int AddTensor(std::vector<int32_t> shape, std::string name = "",
                TensorType type = TensorType_FLOAT32, uint32_t buffer = 0);
  // A float32 tensor with constant data in a buffer of its own.
  int AddConstTensor(std::vector<int32_t> shape, const std::vector<float>& values,
                     std::string name = "");
  // An int32 tensor with constant data (shapes, paddings, slice bounds).
  int AddConstIntTensor(std::vector<int32_t> shape, const std::vector<int32_t>& values,
                        std::string name = "");
  // An operator code (reused when the same code and name are already present); returns its index.
  uint32_t AddOpCode(BuiltinOperator code, const std::string& custom_code = "", int version = 1);
  // A built-in operator of the current subgraph, with its options; returns its index.
  int AddOperator(BuiltinOperator code, std::vector<int32_t> inputs,
                  std::vector<int32_t> outputs, BuiltinOptions options_type = BuiltinOptions_NONE,
                  OptionsWriter options = nullptr);
  // A custom operator of the current subgraph; returns its index.
  int AddCustomOperator(const std::string& name, std::vector<int32_t> inputs,
                        std::vector<int32_t> outputs, std::vector<uint8_t> custom_options = {});
  void SetInputs(std::vector<int32_t> inputs) { subgraphs.back().inputs = std::move(inputs); }
  void SetOutputs(std::vector<int32_t> outputs) { subgraphs.back().outputs = std::move(outputs); }
  // Starts another subgraph; the Add calls go to it from now on.
  void AddSubgraph() { subgraphs.emplace_back(); }
  // Stores `data` in a buffer and names it in the model's metadata-buffer list, and in a
  // metadata entry called `name`.
  void AddMetadata(const std::string& name, std::vector<uint8_t> data);

  // The model file.
  std::vector<uint8_t> Finish() const;

  std::vector<OpCode> opcodes;
  std::vector<SubgraphRecord> subgraphs;
  std::vector<std::vector<uint8_t>> buffers;
  std::vector<int32_t> metadata_buffer;
  std::vector<std::pair<std::string, uint32_t>> metadata;
  uint32_t version = 3;
};

// Options writers for the common operators.
ModelBuilder::OptionsWriter Conv2D(Padding padding, int stride_w, int stride_h,
                                   ActivationFunctionType activation = ActivationFunctionType_NONE);
ModelBuilder::OptionsWriter DepthwiseConv2D(
    Padding padding, int stride_w, int stride_h, int depth_multiplier,
    ActivationFunctionType activation = ActivationFunctionType_NONE);
ModelBuilder::OptionsWriter Pool2D(Padding padding, int stride_w, int stride_h, int filter_w,
                                   int filter_h);
ModelBuilder::OptionsWriter Reshape(std::vector<int32_t> new_shape);
ModelBuilder::OptionsWriter Concatenation(int axis);
ModelBuilder::OptionsWriter Add(ActivationFunctionType activation = ActivationFunctionType_NONE);
ModelBuilder::OptionsWriter Mul(ActivationFunctionType activation = ActivationFunctionType_NONE);
ModelBuilder::OptionsWriter FullyConnected(
    ActivationFunctionType activation = ActivationFunctionType_NONE);
ModelBuilder::OptionsWriter Pad();
ModelBuilder::OptionsWriter LeakyRelu(float alpha);

}  // namespace testing
}  // namespace tflite

#endif  // TFLITE_TESTING_MODEL_BUILDER_H_
