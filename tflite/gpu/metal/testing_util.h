// Test helpers: run a GPU graph, or one operation, through Compile and the inference context,
// with the inputs and outputs in PHWC4 half buffers as a runner holds them.

#ifndef TFLITE_GPU_METAL_TESTING_UTIL_H_
#define TFLITE_GPU_METAL_TESTING_UTIL_H_

#include <map>
#include <memory>
#include <vector>

#include "base/status_test_util.h"
#include "gtest/gtest.h"
#include "platform/metal/device.h"
#include "tflite/gpu/metal/api.h"
#include "tflite/gpu/metal/half_conversion.h"
#include "tflite/gpu/metal/inference_context.h"

namespace tflite {
namespace gpu {
namespace metal {
namespace testing_util {

using Tensor = std::vector<float>;

// The status of the first step that failed, and the outputs (NHWC floats) when none did.
struct GraphOutcome {
  absl::Status status;
  std::vector<Tensor> outputs;
};

// Runs a whole graph: `inputs` holds the data of the graph's inputs in their order.
inline GraphOutcome RunGraph(const GraphFloat32& graph, const std::vector<Tensor>& inputs,
                             RuntimeOptions options = {RuntimeOptions::Precision::FP16,
                                                       RuntimeOptions::Precision::FP16, 1}) {
  std::vector<ValueId> input_ids, output_ids;
  DimensionsMap input_dims;
  for (const Value* v : graph.inputs()) {
    input_ids.push_back(v->id);
    input_dims[v->id] = v->tensor.shape;
  }
  for (const Value* v : graph.outputs()) output_ids.push_back(v->id);
  EXPECT_EQ(inputs.size(), input_ids.size());

  GraphOutcome run;
  CompiledModel compiled, optimized;
  run.status = Compile(graph, options, &compiled);
  if (!run.status.ok()) return run;
  run.status = ValidateOptimizeModel(input_ids, output_ids, compiled, &optimized);
  if (!run.status.ok()) return run;
  auto device = MTLCreateSystemDefaultDevice();
  TFLInferenceContext context;
  run.status = context.compileModelWithDevice(device, optimized, output_ids, options);
  if (!run.status.ok()) return run;
  DimensionsMap output_dims;
  run.status = context.setInputDimensions(input_dims, &output_dims, optimized);
  if (!run.status.ok()) return run;

  std::map<ValueId, std::shared_ptr<MTLBuffer>> buffers;
  for (size_t i = 0; i < input_ids.size(); ++i) {
    const BHWC& shape = input_dims[input_ids[i]];
    auto buffer = device->newBufferWithLength(GetElementsSizeForPHWC4(shape) * 2, 0);
    NHWCFloatsToPHWC4Halves(inputs[i].data(), shape, static_cast<uint16_t*>(buffer->contents()));
    buffers[input_ids[i]] = buffer;
  }
  for (ValueId id : output_ids) {
    buffers[id] = device->newBufferWithLength(GetElementsSizeForPHWC4(output_dims.at(id)) * 2, 0);
  }
  auto commands = device->newCommandQueue()->commandBuffer();
  auto encoder = commands->computeCommandEncoder();
  run.status = context.encodeWithEncoder(encoder.get(), buffers);
  encoder->endEncoding();
  commands->commit();
  commands->waitUntilCompleted();
  for (ValueId id : output_ids) {
    const BHWC& shape = output_dims.at(id);
    Tensor& output = run.outputs.emplace_back(shape.DimensionsProduct());
    PHWC4HalvesToNHWCFloats(static_cast<const uint16_t*>(buffers[id]->contents()), shape,
                            output.data());
  }
  return run;
}

// The status of the first step that failed, and the output (NHWC floats) when none did.
struct Outcome {
  absl::Status status;
  Tensor output;
};

// Runs a graph of the one operation.
inline Outcome RunOperation(const Operation& op, const std::vector<BHWC>& input_shapes,
                 const std::vector<Tensor>& inputs, const BHWC& output_shape,
                 RuntimeOptions options = {RuntimeOptions::Precision::FP16,
                                           RuntimeOptions::Precision::FP16, 1}) {
  GraphFloat32 graph;
  Node* node = graph.NewNode();
  node->operation = op;
  for (const BHWC& s : input_shapes) {
    Value* v = graph.NewValue();
    v->tensor.shape = s;
    EXPECT_OK(graph.AddConsumer(node->id, v->id));
  }
  Value* out = graph.NewValue();
  out->tensor.shape = output_shape;
  EXPECT_OK(graph.SetProducer(node->id, out->id));
  GraphOutcome run = RunGraph(graph, inputs, options);
  if (!run.status.ok()) return {run.status, {}};
  return {run.status, std::move(run.outputs[0])};
}

}  // namespace testing_util
}  // namespace metal
}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_METAL_TESTING_UTIL_H_
