// The C++ kernels of the compiled model's built-in operations. Convolution, depthwise
// convolution, pooling, fully connected, element-wise arithmetic, the activations, softmax,
// padding and bilinear resizing run on XNNPACK (f32); concatenation, slicing, tanh and the
// PReLU/ReLU forms XNNPACK lacks are our own loops. With half-precision storage the
// element-wise arithmetic and activations of the usual shapes are our own one-pass loops
// instead, which round as they read and store (XNNPACK's results, rounded, without the extra
// pass over memory that rounding after XNNPACK costs). Reshape needs no kernel: its output
// shares its input's buffer (see ComputeTaskDescriptor::aliases_input).
//
// A factory checks the shapes it is given against the operation before it makes anything, so
// a model whose declared shapes do not fit its operations fails to compile instead of writing
// past a buffer. XNNPACK operators are created (weights packed) by the factory and bound to
// their buffers once by Setup.

#ifndef TFLITE_GPU_METAL_CPU_KERNELS_H_
#define TFLITE_GPU_METAL_CPU_KERNELS_H_

#include <limits>

#include "base/statusor.h"
#include "tflite/gpu/metal/compute_task_descriptor.h"
#include "tflite/gpu/model.h"

namespace tflite {
namespace gpu {
namespace metal {

// Clamping of a kernel's results, where a following ReLU was folded into it.
struct OutputBounds {
  float min = -std::numeric_limits<float>::infinity();
  float max = std::numeric_limits<float>::infinity();
};

// The kernel factory of a built-in operation; UNIMPLEMENTED "Unsupported op: <type>" for a
// type without one, INVALID_ARGUMENT for attributes of the wrong record. With
// `half_storage`, element-wise operations and activations of the common shapes round what
// they read and store themselves, in the pass that computes them (see half_elementwise.h).
util::StatusOr<CpuKernelFactory> MakeCpuKernelFactory(const Operation& operation,
                                                      OutputBounds bounds, bool half_storage);

// Whether MakeCpuKernelFactory can fold output bounds into the operation.
bool AcceptsOutputBounds(const std::string& operation_type);

// The output bounds of a ReLU that can be folded into the operation before it: one without a
// leaky slope.
bool FoldableRelu(const Operation& operation, OutputBounds* bounds);

}  // namespace metal
}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_METAL_CPU_KERNELS_H_
