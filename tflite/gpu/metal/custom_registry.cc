#include "tflite/gpu/metal/custom_registry.h"

#include <algorithm>
#include <any>
#include <cstring>
#include <map>

#include "absl/strings/str_cat.h"
#include "platform/metal/library.h"
#include "tflite/gpu/metal/api.h"

namespace tflite {
namespace gpu {
namespace {

constexpr char kRoiName[] = "roi_to_transform_matrix";
constexpr char kStretchName[] = "stretch_time";

}  // namespace

std::string ToString(CustomOperationType type) {
  switch (type) {
    case CustomOperationType::ROI_TO_TRANSFORM_MATRIX:
      return kRoiName;
    case CustomOperationType::STRETCH_TIME:
      return kStretchName;
    default:
      return "unknown_custom_operation";
  }
}

CustomOperationType CustomOperationTypeFromString(const std::string& name) {
  // Built once, on first use from any thread, and kept for the process.
  static const auto* const kTypes = new std::map<std::string, CustomOperationType>{
      {kRoiName, CustomOperationType::ROI_TO_TRANSFORM_MATRIX},
      {kStretchName, CustomOperationType::STRETCH_TIME},
  };
  const auto it = kTypes->find(name);
  return it == kTypes->end() ? CustomOperationType::UNKNOWN : it->second;
}

namespace metal {
namespace {

using platform::metal::ArgumentTable;
using platform::metal::ComputeGrid;

constexpr char kRoiShader[] = R"(
#include <metal_stdlib>
using namespace metal;
struct uniforms {
  FLT4 output_size;
};
$0
kernel void ComputeFunction($1 uint3 gid[[thread_position_in_grid]]) {
  if (gid.x != 0 || gid.y != 0 || gid.z != 0) return;
  const FLT4 box = src_buffer[0];
  const float x_ratio = float(params.output_size.y) / float(box.z - box.x);
  const float y_ratio = float(params.output_size.x) / float(box.w - box.y);
  dst_buffer[0] = FLT4(1.0 / x_ratio, 0.0, 0.0, box.x);
  dst_buffer[1] = FLT4(0.0, 1.0 / y_ratio, 0.0, box.y);
  dst_buffer[2] = FLT4(0.0, 0.0, 1.0, 0.0);
  dst_buffer[3] = FLT4(0.0, 0.0, 0.0, 1.0);
}
)";

constexpr char kStretchShader[] = R"(
#include <metal_stdlib>
using namespace metal;
struct uniforms {
  int4 src_size;
  int4 dst_size;
  int4 axis_factor_shift;
};
$0
kernel void ComputeFunction($1 uint3 gid[[thread_position_in_grid]]) {
  if (int(gid.x) >= params.dst_size.x || int(gid.y) >= params.dst_size.y ||
      int(gid.z) * 4 >= params.dst_size.z) {
    return;
  }
  int2 src = int2(gid.xy);
  if (params.axis_factor_shift.x == 1) {
    src.y = (int(gid.y) + params.axis_factor_shift.z) / params.axis_factor_shift.y;
  } else {
    src.x = (int(gid.x) + params.axis_factor_shift.z) / params.axis_factor_shift.y;
  }
  const int src_index = (int(gid.z) * params.src_size.y + src.y) * params.src_size.x + src.x;
  FLT4 value = src_buffer[src_index];
  const int linear_index = (int(gid.z) * params.dst_size.y + int(gid.y)) * params.dst_size.x +
                           int(gid.x);
  $2
  dst_buffer[linear_index] = value;
}
)";

// The C++ forms of the two kernels, over NHWC floats: buffer 0 the input, 1 the output, 2 the
// uniforms.
const bool kKernelsRegistered = [] {
  platform::metal::RegisterShaderLibrary(
      kRoiShader, {platform::metal::KernelShader(
                      "ComputeFunction", [](const ComputeGrid&, const ArgumentTable& args) {
                        const float* box = static_cast<const float*>(args.buffer(0));
                        float* dst = static_cast<float*>(args.buffer(1));
                        const float* size = static_cast<const float*>(args.buffer(2));
                        const float x_ratio = size[1] / (box[2] - box[0]);
                        const float y_ratio = size[0] / (box[3] - box[1]);
                        const float rows[16] = {1 / x_ratio, 0, 0, box[0], 0, 1 / y_ratio, 0,
                                                box[1],      0, 0, 1, 0,      0, 0,           0,
                                                1};
                        std::memcpy(dst, rows, sizeof(rows));
                      })});
  platform::metal::RegisterShaderLibrary(
      kStretchShader,
      {platform::metal::KernelShader(
          "ComputeFunction", [](const ComputeGrid& grid, const ArgumentTable& args) {
            const float* src = static_cast<const float*>(args.buffer(0));
            float* dst = static_cast<float*>(args.buffer(1));
            const int32_t* u = static_cast<const int32_t*>(args.buffer(2));
            const int32_t* src_size = u;       // w, h, c, w * c
            const int32_t* dst_size = u + 4;   // w, h, c, w * c
            const int32_t* afs = u + 8;        // height axis, factor, start
            for (NSUInteger z = 0; z < grid.threads.depth; ++z) {
              for (NSUInteger y = 0; y < grid.threads.height; ++y) {
                for (NSUInteger x = 0; x < grid.threads.width; ++x) {
                  const int xi = static_cast<int>(x), yi = static_cast<int>(y);
                  const int zi = static_cast<int>(z);
                  if (xi >= dst_size[0] || yi >= dst_size[1] || 4 * zi >= dst_size[2]) continue;
                  int sx = xi, sy = yi;
                  if (afs[0] == 1) {
                    sy = (yi + afs[2]) / afs[1];
                  } else {
                    sx = (xi + afs[2]) / afs[1];
                  }
                  const int count = std::min(4, dst_size[2] - 4 * zi);
                  std::memcpy(dst + (static_cast<size_t>(yi) * dst_size[0] + xi) * dst_size[2] +
                                  4 * zi,
                              src + (static_cast<size_t>(sy) * src_size[0] + sx) * src_size[2] +
                                  4 * zi,
                              sizeof(float) * count);
                }
              }
            }
          })});
  return true;
}();

template <typename T>
std::vector<uint8_t> Bytes(const T& value) {
  std::vector<uint8_t> bytes(sizeof(T));
  std::memcpy(bytes.data(), &value, sizeof(T));
  return bytes;
}

ComputeTaskDescriptorPtr NewTask(NodeId id, ValueId input_id, ValueId output_id,
                                 const char* shader) {
  (void)kKernelsRegistered;
  auto task = std::make_shared<ComputeTaskDescriptor>();
  task->id = id;
  task->is_linkable = false;
  task->shader_source = shader;
  task->input_buffers = {{input_id, "device FLT4* const src_buffer"}};
  task->output_buffer.id = output_id;
  task->output_buffer.declaration = "device FLT4* dst_buffer";
  return task;
}

}  // namespace

std::vector<ComputeTaskDescriptorPtr> ROI(NodeId id, ValueId input_id, ValueId output_id,
                                          const RoIToTransformMatrixAttributes& attr) {
  ComputeTaskDescriptorPtr task = NewTask(id, input_id, output_id, kRoiShader);
  task->output_buffer.dimensions_function = [](const DimensionsMap&) {
    return BHWC(1, 1, 4, 4);
  };
  const float output_size[4] = {static_cast<float>(attr.output_size.h),
                                static_cast<float>(attr.output_size.w), 0, 0};
  task->uniform_buffers = {{"constant uniforms& params",
                            [bytes = Bytes(output_size)](const DimensionsMap&) { return bytes; }}};
  task->resize_function = [](const DimensionsMap&) {
    return std::make_pair(MTLSizeMake(1, 1, 1), MTLSizeMake(1, 1, 1));
  };
  return {task};
}

std::vector<ComputeTaskDescriptorPtr> StretchTime(NodeId id, ValueId input_id, ValueId output_id,
                                                  const StretchTimeAttributes& attr) {
  ComputeTaskDescriptorPtr task = NewTask(id, input_id, output_id, kStretchShader);
  const bool height = attr.axis == Axis::HEIGHT;
  task->output_buffer.dimensions_function = [input_id, attr, height](const DimensionsMap& dims) {
    BHWC shape = dims.at(input_id);
    (height ? shape.h : shape.w) = attr.end - attr.start;
    return shape;
  };
  task->uniform_buffers = {
      {"constant uniforms& params", [input_id, output_id, attr, height](const DimensionsMap& dims) {
         const BHWC& s = dims.at(input_id);
         const BHWC& d = dims.at(output_id);
         const int32_t uniforms[12] = {s.w, s.h, s.c, s.w * s.c, d.w, d.h, d.c, d.w * d.c,
                                       height ? 1 : 0, attr.factor, attr.start, 0};
         return Bytes(uniforms);
       }}};
  task->resize_function = [output_id](const DimensionsMap& dims) {
    const BHWC& d = dims.at(output_id);
    const MTLSize grid = MTLSizeMake(d.w, d.h, (d.c + 3) / 4);
    const MTLSize group = GetWorkGroupSizeForGrid(grid);
    const MTLSize groups =
        MTLSizeMake((grid.width + group.width - 1) / group.width,
                    (grid.height + group.height - 1) / group.height,
                    (grid.depth + group.depth - 1) / group.depth);
    return std::make_pair(group, groups);
  };
  return {task};
}

absl::Status RegisterCustomOps(const GraphFloat32& graph, const Node* node,
                               const std::vector<ValueId>& inputs,
                               const std::vector<ValueId>& outputs,
                               const RuntimeOptions& /*options*/,
                               std::vector<ComputeTaskDescriptorPtr>* tasks) {
  const CustomOperationType type = CustomOperationTypeFromString(node->operation.type);
  if (type == CustomOperationType::UNKNOWN) {
    return absl::UnimplementedError(absl::StrCat("Unsupported op: ", node->operation.type));
  }
  if (inputs.empty() || outputs.empty()) {
    return absl::InvalidArgumentError(
        absl::StrCat(node->operation.type, " needs an input and an output"));
  }
  if (type == CustomOperationType::STRETCH_TIME) {
    const auto* attr = std::any_cast<StretchTimeAttributes>(&node->operation.attributes);
    if (attr == nullptr) return absl::InvalidArgumentError("stretch_time lacks its attributes");
    const BHWC in = graph.GetValue(inputs[0])->tensor.shape;
    const int length = attr->axis == Axis::HEIGHT ? in.h : in.w;
    // The last output position, end - start - 1, reads (end - 1) / factor.
    if (attr->factor <= 0 || attr->start < 0 || attr->end <= attr->start ||
        (attr->end - 1) / attr->factor >= length) {
      return absl::InvalidArgumentError("stretch_time reads outside its input");
    }
    *tasks = StretchTime(node->id, inputs[0], outputs[0], *attr);
    return absl::OkStatus();
  }
  const auto* attr = std::any_cast<RoIToTransformMatrixAttributes>(&node->operation.attributes);
  if (attr == nullptr) {
    return absl::InvalidArgumentError("roi_to_transform_matrix lacks its attributes");
  }
  if (graph.GetValue(inputs[0])->tensor.shape.DimensionsProduct() < 4) {
    return absl::InvalidArgumentError("roi_to_transform_matrix needs a box of four values");
  }
  *tasks = ROI(node->id, inputs[0], outputs[0], *attr);
  return absl::OkStatus();
}

}  // namespace metal
}  // namespace gpu
}  // namespace tflite
