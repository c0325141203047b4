// Test helper: runs one operation of a GPU graph through Compile and the inference context,
// with its inputs and output in PHWC4 half buffers as a runner holds them.

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

// The status of the first step that failed, and the output (NHWC floats) when none did.
struct Outcome {
  absl::Status status;
  Tensor output;
};

inline Outcome RunOperation(const Operation& op, const std::vector<BHWC>& input_shapes,
                 const std::vector<Tensor>& inputs, const BHWC& output_shape,
                 RuntimeOptions options = {RuntimeOptions::Precision::FP16,
                                           RuntimeOptions::Precision::FP16, 1}) {
  GraphFloat32 graph;
  Node* node = graph.NewNode();
  node->operation = op;
  std::vector<ValueId> input_ids;
  DimensionsMap input_dims;
  for (const BHWC& s : input_shapes) {
    Value* v = graph.NewValue();
    v->tensor.shape = s;
    EXPECT_OK(graph.AddConsumer(node->id, v->id));
    input_ids.push_back(v->id);
    input_dims[v->id] = s;
  }
  Value* out = graph.NewValue();
  out->tensor.shape = output_shape;
  EXPECT_OK(graph.SetProducer(node->id, out->id));

  Outcome run;
  CompiledModel compiled, optimized;
  run.status = Compile(graph, options, &compiled);
  if (!run.status.ok()) return run;
  run.status = ValidateOptimizeModel(input_ids, {out->id}, compiled, &optimized);
  if (!run.status.ok()) return run;
  auto device = MTLCreateSystemDefaultDevice();
  TFLInferenceContext context;
  run.status = context.compileModelWithDevice(device, optimized, {out->id}, options);
  if (!run.status.ok()) return run;
  DimensionsMap output_dims;
  run.status = context.setInputDimensions(input_dims, &output_dims, optimized);
  if (!run.status.ok()) return run;
  EXPECT_EQ(output_dims.at(out->id), output_shape);

  std::map<ValueId, std::shared_ptr<MTLBuffer>> buffers;
  for (size_t i = 0; i < input_ids.size(); ++i) {
    auto buffer = device->newBufferWithLength(GetElementsSizeForPHWC4(input_shapes[i]) * 2, 0);
    NHWCFloatsToPHWC4Halves(inputs[i].data(), input_shapes[i],
                            static_cast<uint16_t*>(buffer->contents()));
    buffers[input_ids[i]] = buffer;
  }
  auto output_buffer = device->newBufferWithLength(GetElementsSizeForPHWC4(output_shape) * 2, 0);
  buffers[out->id] = output_buffer;
  auto commands = device->newCommandQueue()->commandBuffer();
  auto encoder = commands->computeCommandEncoder();
  run.status = context.encodeWithEncoder(encoder.get(), buffers);
  encoder->endEncoding();
  commands->commit();
  commands->waitUntilCompleted();
  run.output.resize(output_shape.DimensionsProduct());
  PHWC4HalvesToNHWCFloats(static_cast<const uint16_t*>(output_buffer->contents()), output_shape,
                          run.output.data());
  return run;
}

}  // namespace testing_util
}  // namespace metal
}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_METAL_TESTING_UTIL_H_
