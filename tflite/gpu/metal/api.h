// The "Metal compile" of a GPU graph: one compute task per operation, in the graph's order,
// which an inference context (inference_context.h) then binds to buffers and encodes.
//
//   CompiledModel compiled, optimized;
//   RETURN_IF_ERROR(Compile(graph, options, &compiled));
//   RETURN_IF_ERROR(ValidateOptimizeModel(input_ids, output_ids, compiled, &optimized));
//
// Every node is first offered to the custom-operation registry (custom_registry.h); an
// UNIMPLEMENTED answer means it is one of the built-in operations of cpu_kernels.h. A ReLU
// without a leaky slope that alone reads a convolution, fully connected, pooling or
// arithmetic result is folded into that task's output bounds, as a GPU backend links it into
// the kernel. A node no task exists for fails with UNIMPLEMENTED "Unsupported op: <type>".

#ifndef TFLITE_GPU_METAL_API_H_
#define TFLITE_GPU_METAL_API_H_

#include <vector>

#include "base/status.h"
#include "tflite/gpu/metal/compute_task_descriptor.h"
#include "tflite/gpu/metal/runtime_options.h"
#include "tflite/gpu/model.h"

namespace tflite {
namespace gpu {
namespace metal {

absl::Status Compile(const GraphFloat32& graph, const RuntimeOptions& options,
                     CompiledModel* compiled_model);

// Checks that every task reads only model inputs or earlier tasks' outputs and that every
// output is produced, and gives the tasks in running order.
absl::Status ValidateOptimizeModel(const std::vector<ValueId>& input_buffers,
                                   const std::vector<ValueId>& output_buffers,
                                   const CompiledModel& input_vector,
                                   CompiledModel* output);

// Threads per group for a grid of (x, y, z) threads: the powers of two up to 8 x 4 x 1 that
// the grid fills.
MTLSize GetWorkGroupSizeForGrid(const MTLSize& grid);

}  // namespace metal
}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_METAL_API_H_
