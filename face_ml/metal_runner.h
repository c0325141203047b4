// One TensorFlow Lite model compiled for the Metal device, with its inputs and outputs as
// binary16 PHWC4 tensors in Metal buffers. Built once from a model in memory; running it only
// encodes its compute work into the caller's command buffer.
//
//   ASSIGN_OR_RETURN(std::unique_ptr<MetalRunner> runner,
//                    MetalRunner::Make(device, std::vector<tflite::gpu::HWC>{{192, 192, 3}},
//                                      *tflite::VerifiedModel(bytes.data(), bytes.size())));
//   ASSIGN_OR_RETURN(MetalCommandBuffer commands, MetalCommandBuffer::Make(queue));
//   flow::metal::MetalBuffer input = runner->GetInputs()[0].GetBuffer();  // shares the buffer
//   RETURN_IF_ERROR(extractor->Execute(&commands, frame, tflite::gpu::HW(192, 192), roi,
//                                      false, 2.0f, -1.0f, &input));
//   RETURN_IF_ERROR(runner->Run(&commands));
//   commands.CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);
//   RETURN_IF_ERROR(runner->GetOutputs()[0].ReadDataAs<float>(...));
//
// Make converts the model (face_ml/tflite_conversion.h; its errors pass through unchanged),
// applies the general graph transformations once more, and compiles the graph with binary16
// storage. Its own failures are RET_CHECK errors:
//   "flat_buffer_model != nullptr"
//   "model.subgraphs() != nullptr && model.subgraphs()->size() == 1"
//   "(flow_tensors.size())==(tflite_tensor_indices.size())"  the model's input or output list
//       and the graph's disagree in length
//   "(value_it)!=(tensor_idx_to_value.end())" + the index     a listed tensor has no graph value
// and INTERNAL "Graph general transformations failed"; an operation the device cannot run
// fails with UNIMPLEMENTED "Unsupported op: <type>". GetInputs() and GetOutputs() follow the
// input and output lists of the model file. The runner keeps no reference to the model.
//
// A runner is used by one thread at a time, and each command buffer it was encoded into must
// complete before the next Run is encoded or the outputs are read.

#ifndef FACE_ML_METAL_RUNNER_H_
#define FACE_ML_METAL_RUNNER_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "absl/types/optional.h"
#include "base/status.h"
#include "base/statusor.h"
#include "face_ml/metal_buffer_tensor.h"
#include "face_ml/metal_resources.h"
#include "tflite/gpu/shape.h"
#include "tflite/schema_generated.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

class MetalRunner {
 public:
  // `input_sizes`, one (height, width, channels) a model input, replace the sizes stored in
  // the model.
  static util::StatusOr<std::unique_ptr<MetalRunner>> Make(
      const std::shared_ptr<MTLDevice>& device,
      const absl::optional<std::vector<tflite::gpu::HWC>>& input_sizes,
      const tflite::Model& model);

  virtual ~MetalRunner() = default;
  // Encodes the model into `command_buffer`; nothing is committed.
  virtual absl::Status Run(MetalCommandBuffer* command_buffer) = 0;
  virtual const std::vector<MetalBufferTensorPHWC4<uint16_t>>& GetInputs() const = 0;
  virtual const std::vector<MetalBufferTensorPHWC4<uint16_t>>& GetOutputs() const = 0;
};

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_METAL_RUNNER_H_
