#include "face_ml/metal_runner.h"

#include <map>
#include <utility>

#include "base/status_macros.h"
#include "face_ml/tflite_conversion.h"
#include "tflite/error_reporter.h"
#include "tflite/gpu/metal/api.h"
#include "tflite/gpu/metal/inference_context.h"
#include "tflite/gpu/metal/runtime_options.h"
#include "tflite/gpu/model.h"
#include "tflite/gpu/transformations.h"
#include "tflite/model.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

using Tensor = MetalBufferTensorPHWC4<uint16_t>;
using BufferMap = std::map<tflite::gpu::ValueId, std::shared_ptr<MTLBuffer>>;

// Tensors for the graph values of the given TFLite tensor indices, in the indices' order.
util::StatusOr<std::vector<Tensor>> CreateBuffersFromTensorRefs(
    const std::shared_ptr<MTLDevice>& device, const std::vector<tflite::gpu::Value*>& flow_tensors,
    const flatbuffers::Vector<int32_t>* indices, BufferMap* buffers) {
  std::vector<int32_t> tflite_tensor_indices;
  if (indices != nullptr) tflite_tensor_indices.assign(indices->begin(), indices->end());
  RET_CHECK_EQ(flow_tensors.size(), tflite_tensor_indices.size());
  std::map<int64_t, tflite::gpu::Value*> tensor_idx_to_value;
  for (tflite::gpu::Value* value : flow_tensors) tensor_idx_to_value[value->tensor.ref] = value;
  std::vector<Tensor> tensors;
  for (int32_t index : tflite_tensor_indices) {
    const auto value_it = tensor_idx_to_value.find(index);
    RET_CHECK_NE(value_it, tensor_idx_to_value.end()) << index;
    ASSIGN_OR_RETURN(Tensor tensor, Tensor::Make(device, value_it->second->tensor.shape));
    (*buffers)[value_it->second->id] = tensor.GetBuffer().buffer();
    tensors.push_back(std::move(tensor));
  }
  return tensors;
}

class MetalRunnerVorn : public MetalRunner {
 public:
  MetalRunnerVorn(std::vector<Tensor> inputs, std::vector<Tensor> outputs,
                  const tflite::gpu::metal::RuntimeOptions& options,
                  std::shared_ptr<MTLDevice> device, BufferMap buffers)
      : inputs_(std::move(inputs)),
        outputs_(std::move(outputs)),
        options_(options),
        device_(std::move(device)),
        buffers_(std::move(buffers)) {}

  absl::Status Compile(const tflite::gpu::GraphFloat32& graph) {
    std::vector<tflite::gpu::ValueId> input_ids, output_ids;
    tflite::gpu::metal::DimensionsMap input_dimensions, output_dimensions;
    for (const tflite::gpu::Value* value : graph.inputs()) {
      input_ids.push_back(value->id);
      input_dimensions[value->id] = value->tensor.shape;
    }
    for (const tflite::gpu::Value* value : graph.outputs()) output_ids.push_back(value->id);
    tflite::gpu::metal::CompiledModel compiled_model, optimized_model;
    RETURN_IF_ERROR(tflite::gpu::metal::Compile(graph, options_, &compiled_model));
    RETURN_IF_ERROR(tflite::gpu::metal::ValidateOptimizeModel(input_ids, output_ids,
                                                              compiled_model, &optimized_model));
    RETURN_IF_ERROR(
        context_.compileModelWithDevice(device_, optimized_model, output_ids, options_));
    return context_.setInputDimensions(input_dimensions, &output_dimensions, optimized_model);
  }

  absl::Status Run(MetalCommandBuffer* command_buffer) override {
    RET_CHECK(command_buffer != nullptr);
    auto encoder = command_buffer->command_buffer()->computeCommandEncoder();
    const absl::Status encoded = context_.encodeWithEncoder(encoder.get(), buffers_);
    encoder->endEncoding();
    return encoded;
  }

  const std::vector<Tensor>& GetInputs() const override { return inputs_; }
  const std::vector<Tensor>& GetOutputs() const override { return outputs_; }

 private:
  std::vector<Tensor> inputs_;
  std::vector<Tensor> outputs_;
  tflite::gpu::metal::RuntimeOptions options_;
  std::shared_ptr<MTLDevice> device_;
  tflite::gpu::metal::TFLInferenceContext context_;
  BufferMap buffers_;
};

}  // namespace

util::StatusOr<std::unique_ptr<MetalRunner>> MetalRunner::Make(
    const std::shared_ptr<MTLDevice>& device,
    const absl::optional<std::vector<tflite::gpu::HWC>>& input_sizes,
    const tflite::Model& model) {
  std::unique_ptr<tflite::FlatBufferModel> flat_buffer_model =
      tflite::FlatBufferModel::BuildFromModel(&model, tflite::DefaultErrorReporter());
  RET_CHECK(flat_buffer_model != nullptr);

  tflite::gpu::GraphFloat32 graph;
  if (input_sizes.has_value()) {
    RETURN_IF_ERROR(
        ConvertTfliteToModelWithTransformsSetInputSizes(*flat_buffer_model, *input_sizes, &graph));
  } else {
    RETURN_IF_ERROR(ConvertTfliteToModelWithTransforms(*flat_buffer_model, &graph));
  }
  tflite::gpu::NullTransformationReporter reporter;
  tflite::gpu::ModelTransformer transformer(&graph, &reporter);
  if (!tflite::gpu::ApplyGeneralTransformations(&transformer)) {
    return absl::InternalError("Graph general transformations failed");
  }
  RET_CHECK(model.subgraphs() != nullptr && model.subgraphs()->size() == 1);
  const tflite::SubGraph& subgraph = *model.subgraphs()->Get(0);

  BufferMap buffers;
  ASSIGN_OR_RETURN(std::vector<Tensor> inputs,
                   CreateBuffersFromTensorRefs(device, graph.inputs(), subgraph.inputs(), &buffers));
  ASSIGN_OR_RETURN(
      std::vector<Tensor> outputs,
      CreateBuffersFromTensorRefs(device, graph.outputs(), subgraph.outputs(), &buffers));

  tflite::gpu::metal::RuntimeOptions options;
  options.storage_precision = tflite::gpu::metal::RuntimeOptions::Precision::FP16;
  options.accumulator_precision = tflite::gpu::metal::RuntimeOptions::Precision::FP16;
  auto runner = std::make_unique<MetalRunnerVorn>(std::move(inputs), std::move(outputs), options,
                                                  device, std::move(buffers));
  RETURN_IF_ERROR(runner->Compile(graph));
  return std::unique_ptr<MetalRunner>(std::move(runner));
}

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
