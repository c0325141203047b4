#include "tflite/testing/model_builder.h"

#include <algorithm>
#include <cstring>

namespace tflite {
namespace testing {

ModelBuilder::ModelBuilder() {
  subgraphs.emplace_back();
  buffers.emplace_back();
}

uint32_t ModelBuilder::AddBuffer(std::vector<uint8_t> data) {
  buffers.push_back(std::move(data));
  return static_cast<uint32_t>(buffers.size() - 1);
}

int ModelBuilder::AddTensor(std::vector<int32_t> shape, std::string name, TensorType type,
                            uint32_t buffer) {
  auto& tensors = subgraphs.back().tensors;
  tensors.push_back({std::move(shape), type, buffer, std::move(name)});
  return static_cast<int>(tensors.size() - 1);
}

int ModelBuilder::AddConstTensor(std::vector<int32_t> shape, const std::vector<float>& values,
                                 std::string name) {
  std::vector<uint8_t> bytes(values.size() * sizeof(float));
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return AddTensor(std::move(shape), std::move(name), TensorType_FLOAT32,
                   AddBuffer(std::move(bytes)));
}

int ModelBuilder::AddConstIntTensor(std::vector<int32_t> shape,
                                    const std::vector<int32_t>& values, std::string name) {
  std::vector<uint8_t> bytes(values.size() * sizeof(int32_t));
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return AddTensor(std::move(shape), std::move(name), TensorType_INT32,
                   AddBuffer(std::move(bytes)));
}

uint32_t ModelBuilder::AddOpCode(BuiltinOperator code, const std::string& custom_code,
                                 int version) {
  for (size_t i = 0; i < opcodes.size(); ++i) {
    if (opcodes[i].code == code && opcodes[i].custom_code == custom_code &&
        opcodes[i].version == version) {
      return static_cast<uint32_t>(i);
    }
  }
  opcodes.push_back({code, custom_code, version});
  return static_cast<uint32_t>(opcodes.size() - 1);
}

int ModelBuilder::AddOperator(BuiltinOperator code, std::vector<int32_t> inputs,
                              std::vector<int32_t> outputs, BuiltinOptions options_type,
                              OptionsWriter options) {
  auto& ops = subgraphs.back().operators;
  ops.push_back({AddOpCode(code), std::move(inputs), std::move(outputs), options_type,
                 std::move(options), {}});
  return static_cast<int>(ops.size() - 1);
}

int ModelBuilder::AddCustomOperator(const std::string& name, std::vector<int32_t> inputs,
                                    std::vector<int32_t> outputs,
                                    std::vector<uint8_t> custom_options) {
  auto& ops = subgraphs.back().operators;
  ops.push_back({AddOpCode(BuiltinOperator_CUSTOM, name), std::move(inputs), std::move(outputs),
                 BuiltinOptions_NONE, nullptr, std::move(custom_options)});
  return static_cast<int>(ops.size() - 1);
}

void ModelBuilder::AddMetadata(const std::string& name, std::vector<uint8_t> data) {
  const uint32_t index = AddBuffer(std::move(data));
  metadata_buffer.push_back(static_cast<int32_t>(index));
  metadata.emplace_back(name, index);
}

std::vector<uint8_t> ModelBuilder::Finish() const {
  flatbuffers::FlatBufferBuilder fbb;

  std::vector<flatbuffers::Offset<OperatorCode>> codes;
  for (const OpCode& c : opcodes) {
    const int8_t deprecated = static_cast<int8_t>(
        std::min<int32_t>(c.code, BuiltinOperator_PLACEHOLDER_FOR_GREATER_OP_CODES));
    codes.push_back(CreateOperatorCode(
        fbb, deprecated, c.custom_code.empty() ? 0 : fbb.CreateString(c.custom_code), c.version,
        c.code));
  }

  std::vector<flatbuffers::Offset<SubGraph>> graphs;
  for (const SubgraphRecord& g : subgraphs) {
    std::vector<flatbuffers::Offset<Tensor>> tensors;
    for (const TensorRecord& t : g.tensors) {
      tensors.push_back(CreateTensor(fbb, fbb.CreateVector(t.shape), t.type, t.buffer,
                                     fbb.CreateString(t.name)));
    }
    std::vector<flatbuffers::Offset<Operator>> ops;
    for (const OperatorRecord& op : g.operators) {
      const flatbuffers::Offset<void> options = op.options ? op.options(fbb) : 0;
      const auto custom =
          op.custom_options.empty() ? 0 : fbb.CreateVector(op.custom_options);
      ops.push_back(CreateOperator(fbb, op.opcode_index, fbb.CreateVector(op.inputs),
                                   fbb.CreateVector(op.outputs),
                                   op.options ? op.options_type : BuiltinOptions_NONE, options,
                                   custom));
    }
    graphs.push_back(CreateSubGraph(fbb, fbb.CreateVector(tensors), fbb.CreateVector(g.inputs),
                                    fbb.CreateVector(g.outputs), fbb.CreateVector(ops),
                                    g.name.empty() ? 0 : fbb.CreateString(g.name)));
  }

  std::vector<flatbuffers::Offset<Buffer>> bufs;
  for (const std::vector<uint8_t>& b : buffers) {
    flatbuffers::Offset<flatbuffers::Vector<uint8_t>> data = 0;
    if (!b.empty()) {
      fbb.ForceVectorAlignment(b.size(), sizeof(uint8_t), 16);
      data = fbb.CreateVector(b);
    }
    bufs.push_back(CreateBuffer(fbb, data));
  }

  std::vector<flatbuffers::Offset<Metadata>> meta;
  for (const auto& [name, buffer] : metadata) {
    meta.push_back(CreateMetadata(fbb, fbb.CreateString(name), buffer));
  }

  const auto model = CreateModel(
      fbb, version, fbb.CreateVector(codes), fbb.CreateVector(graphs), 0, fbb.CreateVector(bufs),
      metadata_buffer.empty() ? 0 : fbb.CreateVector(metadata_buffer),
      meta.empty() ? 0 : fbb.CreateVector(meta));
  FinishModelBuffer(fbb, model);
  return std::vector<uint8_t>(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
}

ModelBuilder::OptionsWriter Conv2D(Padding padding, int stride_w, int stride_h,
                                   ActivationFunctionType activation) {
  return [=](flatbuffers::FlatBufferBuilder& fbb) {
    return CreateConv2DOptions(fbb, padding, stride_w, stride_h, activation).Union();
  };
}

ModelBuilder::OptionsWriter DepthwiseConv2D(Padding padding, int stride_w, int stride_h,
                                            int depth_multiplier,
                                            ActivationFunctionType activation) {
  return [=](flatbuffers::FlatBufferBuilder& fbb) {
    return CreateDepthwiseConv2DOptions(fbb, padding, stride_w, stride_h, depth_multiplier,
                                        activation)
        .Union();
  };
}

ModelBuilder::OptionsWriter Pool2D(Padding padding, int stride_w, int stride_h, int filter_w,
                                   int filter_h) {
  return [=](flatbuffers::FlatBufferBuilder& fbb) {
    return CreatePool2DOptions(fbb, padding, stride_w, stride_h, filter_w, filter_h).Union();
  };
}

ModelBuilder::OptionsWriter Reshape(std::vector<int32_t> new_shape) {
  return [new_shape = std::move(new_shape)](flatbuffers::FlatBufferBuilder& fbb) {
    return CreateReshapeOptions(fbb, fbb.CreateVector(new_shape)).Union();
  };
}

ModelBuilder::OptionsWriter Concatenation(int axis) {
  return [=](flatbuffers::FlatBufferBuilder& fbb) {
    return CreateConcatenationOptions(fbb, axis).Union();
  };
}

ModelBuilder::OptionsWriter Add(ActivationFunctionType activation) {
  return [=](flatbuffers::FlatBufferBuilder& fbb) {
    return CreateAddOptions(fbb, activation).Union();
  };
}

ModelBuilder::OptionsWriter Mul(ActivationFunctionType activation) {
  return [=](flatbuffers::FlatBufferBuilder& fbb) {
    return CreateMulOptions(fbb, activation).Union();
  };
}

ModelBuilder::OptionsWriter FullyConnected(ActivationFunctionType activation) {
  return [=](flatbuffers::FlatBufferBuilder& fbb) {
    return CreateFullyConnectedOptions(fbb, activation).Union();
  };
}

ModelBuilder::OptionsWriter Pad() {
  return [](flatbuffers::FlatBufferBuilder& fbb) { return CreatePadOptions(fbb).Union(); };
}

ModelBuilder::OptionsWriter LeakyRelu(float alpha) {
  return [=](flatbuffers::FlatBufferBuilder& fbb) {
    return CreateLeakyReluOptions(fbb, alpha).Union();
  };
}

}  // namespace testing
}  // namespace tflite
