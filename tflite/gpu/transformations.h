// Graph rewrites of the GPU graph. A ModelTransformer applies named node transformations
// over a graph and tells a reporter what happened; ApplyGeneralTransformations runs the set
// every converted model goes through:
//   - "remove_identity_reshape": a reshape whose output shape equals its input's goes away;
//   - "merge_padding_with_convolution": a zero PAD of height and width only, read by nothing
//     but one convolution (plain or depthwise), becomes that convolution's padding.
// Transformations keep graph outputs: the runner finds them by their TFLite tensors.
//
//   NullTransformationReporter reporter;
//   ModelTransformer transformer(&graph, &reporter);
//   if (!ApplyGeneralTransformations(&transformer)) ...  // the graph is broken

#ifndef TFLITE_GPU_TRANSFORMATIONS_H_
#define TFLITE_GPU_TRANSFORMATIONS_H_

#include <string>

#include "tflite/gpu/model.h"

namespace tflite {
namespace gpu {

class TransformationReporter {
 public:
  virtual ~TransformationReporter() = default;
  virtual void DeclareTransformation(const std::string& name) = 0;
  virtual void AppliedTransformation(const std::string& name, NodeId node) = 0;
  virtual void InvalidTransformation(const std::string& name, NodeId node,
                                     const std::string& message) = 0;
};

class NullTransformationReporter : public TransformationReporter {
 public:
  void DeclareTransformation(const std::string&) override {}
  void AppliedTransformation(const std::string&, NodeId) override {}
  void InvalidTransformation(const std::string&, NodeId, const std::string&) override {}
};

enum class TransformStatus { SKIPPED, APPLIED, INVALID };

struct TransformResult {
  TransformStatus status = TransformStatus::SKIPPED;
  std::string message;
};

class NodeTransformation {
 public:
  virtual ~NodeTransformation() = default;
  virtual TransformResult ApplyToNode(Node* node, GraphFloat32* graph) = 0;
};

class ModelTransformer {
 public:
  ModelTransformer(GraphFloat32* graph, TransformationReporter* reporter)
      : graph_(graph), reporter_(reporter) {}

  // Applies the transformation to every node present when it starts (and still present when
  // reached); false when it reports the graph invalid.
  bool Apply(const std::string& name, NodeTransformation* transformation);

  GraphFloat32* graph() { return graph_; }

 private:
  GraphFloat32* graph_;
  TransformationReporter* reporter_;
};

bool ApplyGeneralTransformations(ModelTransformer* transformer);

}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_TRANSFORMATIONS_H_
