// The custom operations of the compiled model, asked before the built-in ones for every node:
// "roi_to_transform_matrix" and "stretch_time". For any other type name RegisterCustomOps
// answers UNIMPLEMENTED "Unsupported op: <name>", which tells Compile to use its own tasks.
//
// Both are Metal kernels (a shader source with a ComputeFunction kernel whose C++ form is
// registered with the device's shader registry) working on the model's NHWC float buffers:
//   - roi_to_transform_matrix reads a box (x0, y0, x1, y1) and writes the 4 x 4 matrix, four
//     rows of four, that maps output-crop coordinates of the attributes' size back into the
//     input: rows (1/xr, 0, 0, x0), (0, 1/yr, 0, y0), (0, 0, 1, 0), (0, 0, 0, 1) with
//     xr = width / (x1 − x0) and yr = height / (y1 − y0);
//   - stretch_time stretches the input along the height (axis HEIGHT) or the width (any other
//     axis) by nearest neighbour: output position p along the axis reads input position
//     (p + start) / factor, for p in [0, end − start).
// Names are matched exactly, letter case included.

#ifndef TFLITE_GPU_METAL_CUSTOM_REGISTRY_H_
#define TFLITE_GPU_METAL_CUSTOM_REGISTRY_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "tflite/gpu/metal/compute_task_descriptor.h"
#include "tflite/gpu/metal/runtime_options.h"
#include "tflite/gpu/model.h"
#include "tflite/gpu/operations.h"

namespace tflite {
namespace gpu {

enum class CustomOperationType : int32_t {
  UNKNOWN = 0,
  ROI_TO_TRANSFORM_MATRIX = 1,
  STRETCH_TIME = 2,
};

// "roi_to_transform_matrix", "stretch_time", or "unknown_custom_operation" for other values.
std::string ToString(CustomOperationType type);
// The type whose name equals `name` exactly, else UNKNOWN.
CustomOperationType CustomOperationTypeFromString(const std::string& name);

struct RoIToTransformMatrixAttributes {
  HW output_size;
};

struct StretchTimeAttributes {
  Axis axis = Axis::UNKNOWN;
  int32_t factor = 1;
  int32_t start = 0;
  int32_t end = 0;  // exclusive, in the stretched domain
};

namespace metal {

// On success `tasks` holds the node's tasks. A custom node whose attributes are not its type's
// record, or whose stretch would read past its input, fails with INVALID_ARGUMENT.
absl::Status RegisterCustomOps(const GraphFloat32& graph, const Node* node,
                               const std::vector<ValueId>& inputs,
                               const std::vector<ValueId>& outputs, const RuntimeOptions& options,
                               std::vector<ComputeTaskDescriptorPtr>* tasks);

std::vector<ComputeTaskDescriptorPtr> ROI(NodeId id, ValueId input_id, ValueId output_id,
                                          const RoIToTransformMatrixAttributes& attr);
std::vector<ComputeTaskDescriptorPtr> StretchTime(NodeId id, ValueId input_id, ValueId output_id,
                                                  const StretchTimeAttributes& attr);

}  // namespace metal
}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_METAL_CUSTOM_REGISTRY_H_
