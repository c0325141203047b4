#include "tflite/gpu/metal/api.h"

#include <set>

#include "absl/strings/str_cat.h"
#include "base/status_macros.h"
#include "tflite/gpu/metal/cpu_kernels.h"
#include "tflite/gpu/metal/custom_registry.h"
#include "tflite/gpu/operations.h"

namespace tflite {
namespace gpu {
namespace metal {
namespace {

bool IsGraphOutput(const GraphFloat32& graph, ValueId id) {
  return graph.FindConsumers(id).empty();
}

// The ReLU node that alone reads `node`'s only output and can be folded into it, or null.
Node* FoldableConsumer(const GraphFloat32& graph, const Node& node, OutputBounds* bounds) {
  if (!AcceptsOutputBounds(node.operation.type)) return nullptr;
  const std::vector<Value*> outputs = graph.FindOutputs(node.id);
  if (outputs.size() != 1 || IsGraphOutput(graph, outputs[0]->id)) return nullptr;
  const std::vector<Node*> consumers = graph.FindConsumers(outputs[0]->id);
  if (consumers.size() != 1 || graph.FindInputs(consumers[0]->id).size() != 1) return nullptr;
  return FoldableRelu(consumers[0]->operation, bounds) ? consumers[0] : nullptr;
}

}  // namespace

absl::Status Compile(const GraphFloat32& graph, const RuntimeOptions& options,
                     CompiledModel* compiled_model) {
  RET_CHECK(compiled_model != nullptr);
  compiled_model->clear();
  std::set<NodeId> folded;
  for (Node* node : graph.nodes()) {
    if (folded.count(node->id) > 0) continue;
    const std::vector<Value*> inputs = graph.FindInputs(node->id);
    const std::vector<Value*> outputs = graph.FindOutputs(node->id);
    std::vector<ValueId> input_ids, output_ids;
    for (Value* v : inputs) input_ids.push_back(v->id);
    for (Value* v : outputs) output_ids.push_back(v->id);
    if (inputs.empty() || outputs.size() != 1) {
      return absl::UnimplementedError(absl::StrCat(
          "Node ", node->id, " (", node->operation.type, ") must have inputs and one output"));
    }

    std::vector<ComputeTaskDescriptorPtr> custom;
    const absl::Status registered =
        RegisterCustomOps(graph, node, input_ids, output_ids, options, &custom);
    if (registered.ok()) {
      compiled_model->insert(compiled_model->end(), custom.begin(), custom.end());
      continue;
    }
    if (!absl::IsUnimplemented(registered)) return registered;

    auto task = std::make_shared<ComputeTaskDescriptor>();
    task->id = node->id;
    for (ValueId id : input_ids) task->input_buffers.push_back({id, "device FLT4* const"});
    ValueId output_id = output_ids[0];
    OutputBounds bounds;
    if (Node* relu = FoldableConsumer(graph, *node, &bounds); relu != nullptr) {
      folded.insert(relu->id);
      output_id = graph.FindOutputs(relu->id)[0]->id;
    }
    const BHWC output_shape = graph.GetValue(output_id)->tensor.shape;
    task->output_buffer = {output_id, "device FLT4*",
                           [output_shape](const DimensionsMap&) { return output_shape; }};
    if (OperationTypeFromString(node->operation.type) == OperationType::RESHAPE) {
      if (inputs.size() != 1 ||
          inputs[0]->tensor.shape.DimensionsProduct() != output_shape.DimensionsProduct()) {
        return absl::InvalidArgumentError(
            absl::StrCat("Reshape of ", ToString(inputs[0]->tensor.shape), " to ",
                         ToString(output_shape), " changes the number of elements"));
      }
      task->aliases_input = true;
    } else {
      ASSIGN_OR_RETURN(task->cpu_kernel,
                       MakeCpuKernelFactory(node->operation, bounds,
                                            options.storage_precision ==
                                                RuntimeOptions::Precision::FP16));
    }
    compiled_model->push_back(std::move(task));
  }
  return absl::OkStatus();
}

absl::Status ValidateOptimizeModel(const std::vector<ValueId>& input_buffers,
                                   const std::vector<ValueId>& output_buffers,
                                   const CompiledModel& input_vector, CompiledModel* output) {
  RET_CHECK(output != nullptr);
  std::set<ValueId> ready(input_buffers.begin(), input_buffers.end());
  for (const ComputeTaskDescriptorPtr& task : input_vector) {
    for (const auto& input : task->input_buffers) {
      if (ready.count(input.id) == 0) {
        return absl::InvalidArgumentError(absl::StrCat("Task ", task->id, " reads value ",
                                                       input.id, " before anything writes it"));
      }
    }
    if (!ready.insert(task->output_buffer.id).second) {
      return absl::InvalidArgumentError(
          absl::StrCat("Value ", task->output_buffer.id, " is written twice"));
    }
  }
  for (ValueId id : output_buffers) {
    if (ready.count(id) == 0) {
      return absl::InvalidArgumentError(absl::StrCat("Output ", id, " is never written"));
    }
  }
  *output = input_vector;
  return absl::OkStatus();
}

MTLSize GetWorkGroupSizeForGrid(const MTLSize& grid) {
  auto fit = [](NSUInteger extent, NSUInteger most) {
    NSUInteger size = 1;
    while (size < most && size < extent) size *= 2;
    return size;
  };
  return MTLSizeMake(fit(grid.width, 8), fit(grid.height, 4), 1);
}

}  // namespace metal
}  // namespace gpu
}  // namespace tflite
