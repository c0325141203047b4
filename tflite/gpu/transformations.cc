#include "tflite/gpu/transformations.h"

#include <any>

#include "tflite/gpu/operations.h"

namespace tflite {
namespace gpu {
namespace {

bool IsGraphOutput(const GraphFloat32& graph, ValueId value) {
  return graph.FindConsumers(value).empty();
}

class RemoveIdentityReshape : public NodeTransformation {
 public:
  TransformResult ApplyToNode(Node* node, GraphFloat32* graph) override {
    if (node->operation.type != ToString(OperationType::RESHAPE)) return {};
    const auto in = graph->FindInputs(node->id), out = graph->FindOutputs(node->id);
    if (in.size() != 1 || out.size() != 1 || in[0]->tensor.shape != out[0]->tensor.shape ||
        IsGraphOutput(*graph, out[0]->id)) {
      return {};
    }
    const absl::Status s = graph->RemoveSimpleNodeKeepInput(node->id);
    if (!s.ok()) return {TransformStatus::INVALID, std::string(s.message())};
    return {TransformStatus::APPLIED, ""};
  }
};

class MergePaddingWithConvolution : public NodeTransformation {
 public:
  TransformResult ApplyToNode(Node* node, GraphFloat32* graph) override {
    if (node->operation.type != ToString(OperationType::PAD)) return {};
    const auto* pad = std::any_cast<PadAttributes>(&node->operation.attributes);
    if (pad == nullptr) return {TransformStatus::INVALID, "A pad node without attributes"};
    if (pad->prepended.b != 0 || pad->prepended.c != 0 || pad->appended.b != 0 ||
        pad->appended.c != 0) {
      return {};
    }
    const auto out = graph->FindOutputs(node->id);
    if (out.size() != 1) return {};
    const auto consumers = graph->FindConsumers(out[0]->id);
    if (consumers.size() != 1) return {};
    Node* conv = consumers[0];
    Convolution2DAttributes* attr = nullptr;
    if (conv->operation.type == ToString(OperationType::CONVOLUTION_2D)) {
      attr = std::any_cast<Convolution2DAttributes>(&conv->operation.attributes);
    } else if (conv->operation.type == ToString(OperationType::DEPTHWISE_CONVOLUTION)) {
      attr = std::any_cast<DepthwiseConvolution2DAttributes>(&conv->operation.attributes);
    }
    if (attr == nullptr) return {};
    attr->padding.prepended.h += pad->prepended.h;
    attr->padding.prepended.w += pad->prepended.w;
    attr->padding.appended.h += pad->appended.h;
    attr->padding.appended.w += pad->appended.w;
    const absl::Status s = graph->RemoveSimpleNodeKeepInput(node->id);
    if (!s.ok()) return {TransformStatus::INVALID, std::string(s.message())};
    return {TransformStatus::APPLIED, ""};
  }
};

}  // namespace

bool ModelTransformer::Apply(const std::string& name, NodeTransformation* transformation) {
  reporter_->DeclareTransformation(name);
  for (Node* node : graph_->nodes()) {
    if (graph_->GetNode(node->id) == nullptr) continue;  // removed by an earlier step
    const TransformResult result = transformation->ApplyToNode(node, graph_);
    if (result.status == TransformStatus::INVALID) {
      reporter_->InvalidTransformation(name, node->id, result.message);
      return false;
    }
    if (result.status == TransformStatus::APPLIED) {
      reporter_->AppliedTransformation(name, node->id);
    }
  }
  return true;
}

bool ApplyGeneralTransformations(ModelTransformer* transformer) {
  RemoveIdentityReshape remove_reshape;
  MergePaddingWithConvolution merge_padding;
  return transformer->Apply("remove_identity_reshape", &remove_reshape) &&
         transformer->Apply("merge_padding_with_convolution", &merge_padding);
}

}  // namespace gpu
}  // namespace tflite
