// A compiled model bound to the device: its tasks' kernels, pipeline states and working
// buffers, encoded into a compute pass for every run.
//
//   TFLInferenceContext context;
//   RETURN_IF_ERROR(context.compileModelWithDevice(device, tasks, output_ids, options));
//   RETURN_IF_ERROR(context.setInputDimensions(input_dimensions, &output_dimensions, tasks));
//   auto encoder = command_buffer->computeCommandEncoder();
//   RETURN_IF_ERROR(context.encodeWithEncoder(encoder.get(), io_buffers));
//   encoder->endEncoding();
//
// The model's inputs and outputs live in the caller's buffers (a value id each), as binary16
// tensors in the PHWC4 layout. Inside, every value has a working buffer of dense NHWC floats,
// made once by setInputDimensions; with FP16 storage each task's results are rounded to the
// nearest binary16 (ties to even) as they are stored, so the model computes what it would with
// half-float buffers. Kernels that round for themselves say so (CpuKernel::CanRoundInputs and
// StoresHalves): a value whose readers all can round what they read, or that only leaves the
// model (converted to halves on the way out), is not rounded in a pass of its own, and its
// readers are told to round it. A run converts the inputs in, runs the tasks in order and
// converts the outputs out, all when the command buffer is committed. Nothing is allocated per
// run except the command buffer's own records.
//
// One run at a time: a second encode must wait until the previous command buffer completed.

#ifndef TFLITE_GPU_METAL_INFERENCE_CONTEXT_H_
#define TFLITE_GPU_METAL_INFERENCE_CONTEXT_H_

#include <pthreadpool.h>

#include <map>
#include <memory>
#include <vector>

#include "base/status.h"
#include "platform/metal/device.h"
#include "tflite/gpu/metal/compute_task_descriptor.h"
#include "tflite/gpu/metal/runtime_options.h"

namespace tflite {
namespace gpu {
namespace metal {

class TFLInferenceContext {
 public:
  TFLInferenceContext() = default;
  ~TFLInferenceContext();
  TFLInferenceContext(const TFLInferenceContext&) = delete;
  TFLInferenceContext& operator=(const TFLInferenceContext&) = delete;

  // Makes the pipeline states of the shader tasks and the kernels' thread pool.
  absl::Status compileModelWithDevice(std::shared_ptr<MTLDevice> device,
                                      const CompiledModel& tasks,
                                      const std::vector<ValueId>& output_ids,
                                      const RuntimeOptions& options);

  // Fixes the input sizes: computes every value's shape, makes the working buffers and the
  // kernels, and gives the output shapes. Called once.
  absl::Status setInputDimensions(const DimensionsMap& input_dimensions,
                                  DimensionsMap* output_dimensions, const CompiledModel& tasks);

  // Encodes one run. `buffers` holds a buffer for every input and output id, each at least as
  // long as its PHWC4 tensor; a missing or short one is an error and nothing is encoded.
  absl::Status encodeWithEncoder(MTLComputeCommandEncoder* encoder,
                                 const std::map<ValueId, std::shared_ptr<MTLBuffer>>& buffers);

 private:
  struct Task {
    ComputeTaskDescriptorPtr descriptor;
    std::shared_ptr<MTLComputePipelineState> pipeline;  // shader tasks
    std::unique_ptr<CpuKernel> kernel;                  // C++ tasks
    std::vector<uint8_t> uniforms;
    std::pair<MTLSize, MTLSize> groups;  // threads per group, groups
    float* output = nullptr;
    size_t output_size = 0;
    bool round_output = false;  // the context rounds the output to halves after the task
  };
  struct Binding {
    ValueId id;
    BHWC shape;
    float* working = nullptr;
    uint16_t* halves = nullptr;  // set by each encode
  };

  // With FP16 storage: which tasks' outputs the context rounds, and which inputs the kernels
  // that can round what they read get unrounded.
  void PlanRounding();
  void RunCpuTasks(size_t begin, size_t end);
  void RoundOutput(const Task& task);

  std::shared_ptr<MTLDevice> device_;
  RuntimeOptions options_;
  std::vector<ValueId> output_ids_;
  std::vector<Task> tasks_;
  pthreadpool_t threadpool_ = nullptr;
  std::map<ValueId, std::shared_ptr<MTLBuffer>> working_;
  DimensionsMap dimensions_;
  std::vector<Binding> inputs_;
  std::vector<Binding> outputs_;
  bool dimensions_set_ = false;
};

}  // namespace metal
}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_METAL_INFERENCE_CONTEXT_H_
