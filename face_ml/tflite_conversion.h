// Converts a TensorFlow Lite model into the GPU backend's graph, the first step of compiling
// a face model for the GPU. The conversion builds an interpreter for the model (with the
// custom operators of the face models registered), optionally fixes its input sizes, and lets
// a delegate claim the model's nodes; the delegate's kernels build the GPU graph. The
// interpreter is never run.
//
//   tflite::gpu::GraphFloat32 graph;
//   RETURN_IF_ERROR(ConvertTfliteToModelWithTransformsSetInputSizes(
//       *model, {tflite::gpu::HWC(192, 192, 3)}, &graph));
//
// Errors: INTERNAL "Unable to prepare TfLite interpreter." (the model does not build),
// INVALID_ARGUMENT "Number of inputs does not match expected", INTERNAL "Can't resize input",
// INTERNAL "Conversion from TfLite model failed." (the reason, "Failed to convert a model: "
// and the GPU layer's message, went to the model's error reporter), and INTERNAL "Graph
// general transformations failed". After an error the graph may be partly filled.

#ifndef FACE_ML_TFLITE_CONVERSION_H_
#define FACE_ML_TFLITE_CONVERSION_H_

#include <vector>

#include "base/status.h"
#include "tflite/gpu/model.h"
#include "tflite/model.h"
#include "tflite/op_resolver.h"

namespace research {
namespace sorvanti {

// The built-in operators plus the face models' custom ones, "MaxPoolingWithArgmax2D",
// "MaxUnpooling2D" and "Convolution2DTransposeBias" (version 1). Their CPU registrations only
// let an interpreter be built; the first one's invoke fails with "MaxPoolingWithArgmax2D is
// only available on the GPU.".
class OpResolver : public tflite::ops::builtin::BuiltinOpResolver {
 public:
  OpResolver();
};

absl::Status ConvertTfliteToModel(const tflite::FlatBufferModel& model,
                                  tflite::gpu::GraphFloat32* graph);
absl::Status ConvertTfliteToModelSetInputSizes(const tflite::FlatBufferModel& model,
                                               const std::vector<tflite::gpu::HWC>& input_sizes,
                                               tflite::gpu::GraphFloat32* graph);
absl::Status ConvertTfliteToModelWithTransforms(const tflite::FlatBufferModel& model,
                                                tflite::gpu::GraphFloat32* graph);
absl::Status ConvertTfliteToModelWithTransformsSetInputSizes(
    const tflite::FlatBufferModel& model, const std::vector<tflite::gpu::HWC>& input_sizes,
    tflite::gpu::GraphFloat32* graph);

}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_TFLITE_CONVERSION_H_
