// How a compiled model stores and accumulates its values, and how many threads its CPU
// kernels use.

#ifndef TFLITE_GPU_METAL_RUNTIME_OPTIONS_H_
#define TFLITE_GPU_METAL_RUNTIME_OPTIONS_H_

namespace tflite {
namespace gpu {
namespace metal {

struct RuntimeOptions {
  enum class Precision { FP16, FP32 };
  // FP16 rounds every stored value to the nearest binary16 (ties to even); FP32 keeps floats.
  Precision storage_precision = Precision::FP32;
  // The CPU kernels accumulate in 32-bit floats whatever this says.
  Precision accumulator_precision = Precision::FP32;
  // Threads of the kernels' thread pool; 1 runs them on the committing thread.
  int num_threads = 1;
};

}  // namespace metal
}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_METAL_RUNTIME_OPTIONS_H_
