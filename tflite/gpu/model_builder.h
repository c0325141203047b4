// Builds the GPU graph from TensorFlow Lite nodes, as the conversion delegate's kernels do.
//
// GetOpsToReplace claims every node of the execution plan: the GPU graph runs whole models,
// so a node it cannot express must fail the conversion (BuildModel says which and why)
// instead of being left behind on a CPU this runtime does not have.
//
// BuildModel adds one subset's nodes to the graph: a value per non-constant tensor (its
// TFLite index as the reference), constant tensors copied into the operations' attributes,
// and fused activations as separate nodes. Tensor dimensions map to BHWC by rank: [c] is
// (1, 1, 1, c), [b, c] is (b, 1, 1, c), [h, w, c] is (1, h, w, c), [b, h, w, c] as it is.
// An operation it has no GPU form for fails with UNIMPLEMENTED "Unsupported op: " and the
// operator's name; this includes the custom operators "MaxPoolingWithArgmax2D",
// "MaxUnpooling2D" and "Convolution2DTransposeBias", which the CPU stand-in has no task for.

#ifndef TFLITE_GPU_MODEL_BUILDER_H_
#define TFLITE_GPU_MODEL_BUILDER_H_

#include "base/status.h"
#include "tflite/common.h"
#include "tflite/gpu/model.h"

namespace tflite {
namespace gpu {

// The nodes to delegate; the caller frees the array with TfLiteIntArrayFree.
TfLiteIntArray* GetOpsToReplace(TfLiteContext* context);

absl::Status BuildModel(TfLiteContext* context, const TfLiteDelegateParams* delegate_params,
                        GraphFloat32* graph);

// The BHWC shape of TFLite dimensions; INVALID_ARGUMENT for rank 0 or above 4.
absl::Status ExtractTensorShape(const TfLiteTensor& tensor, BHWC* shape);

}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_MODEL_BUILDER_H_
