// One compute task of a compiled model: what it reads, what it writes, and how it computes.
//
// A task is either a Metal kernel (shader_source holds a kernel named ComputeFunction whose
// C++ form is registered with the device's shader registry, see platform/metal/library.h) or
// C++ code (cpu_kernel). Kernels of either kind see every tensor as dense floats in NHWC
// order: the working layout of the compiled model. Input buffer i is bound at index i, the
// output after the inputs, the uniform buffers after that.

#ifndef TFLITE_GPU_METAL_COMPUTE_TASK_DESCRIPTOR_H_
#define TFLITE_GPU_METAL_COMPUTE_TASK_DESCRIPTOR_H_

#include <pthreadpool.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "absl/types/span.h"
#include "base/status.h"
#include "base/statusor.h"
#include "platform/metal/types.h"
#include "tflite/gpu/model.h"

namespace tflite {
namespace gpu {
namespace metal {

using DimensionsMap = std::map<ValueId, BHWC>;

// Kernels may read this many bytes past the end of a buffer they read (vector loads of the
// last elements); working buffers and constant operands carry that much slack.
inline constexpr size_t kKernelReadSlack = 16;

// The work of a C++ task. Made once the shapes are known; Setup binds the buffers once, and
// Run then computes as often as the model runs.
class CpuKernel {
 public:
  virtual ~CpuKernel() = default;
  // Dense NHWC floats of the shapes the kernel was made for.
  virtual absl::Status Setup(absl::Span<const float* const> inputs, float* output) = 0;
  virtual void Run() = 0;

  // With half-precision storage, what the kernel does about rounding to halves itself, so the
  // inference context leaves it out:
  // - it can round the values it reads, so its inputs may hold floats that were never rounded;
  //   the context then says which do (all of them until it does) before the first Run;
  virtual bool CanRoundInputs() const { return false; }
  virtual void SetUnroundedInputs(const std::vector<bool>& /*unrounded*/) {}
  // - what it stores is halves already (when its inputs are): it rounds its results, or only
  //   moves or selects values.
  virtual bool StoresHalves() const { return false; }
};

using CpuKernelFactory = std::function<util::StatusOr<std::unique_ptr<CpuKernel>>(
    const std::vector<BHWC>& input_shapes, const BHWC& output_shape, pthreadpool_t threadpool)>;

struct ComputeTaskDescriptor {
  struct InputBufferDescriptor {
    ValueId id = 0;
    std::string declaration;
  };
  struct OutputBufferDescriptor {
    ValueId id = 0;
    std::string declaration;
    std::function<BHWC(const DimensionsMap& buffers)> dimensions_function;
  };
  struct UniformBufferDescriptor {
    std::string declaration;
    std::function<std::vector<uint8_t>(const DimensionsMap& buffers)> data_function;
  };
  // Threads per group, then groups, for a shader task.
  using ResizeFunction = std::function<std::pair<MTLSize, MTLSize>(const DimensionsMap& buffers)>;

  NodeId id = 0;
  bool is_linkable = false;
  std::string shader_source;
  std::vector<InputBufferDescriptor> input_buffers;
  OutputBufferDescriptor output_buffer;
  std::vector<UniformBufferDescriptor> uniform_buffers;
  ResizeFunction resize_function;
  CpuKernelFactory cpu_kernel;
  // The output is the first input's data unchanged (a reshape): the two share a buffer and
  // nothing runs.
  bool aliases_input = false;
};

using ComputeTaskDescriptorPtr = std::shared_ptr<ComputeTaskDescriptor>;
using CompiledModel = std::vector<ComputeTaskDescriptorPtr>;

}  // namespace metal
}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_METAL_COMPUTE_TASK_DESCRIPTOR_H_
