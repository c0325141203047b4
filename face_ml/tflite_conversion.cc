#include "face_ml/tflite_conversion.h"

#include <cstdlib>
#include <memory>
#include <string>

#include "tflite/common.h"
#include "tflite/gpu/model_builder.h"
#include "tflite/gpu/transformations.h"
#include "tflite/interpreter.h"

namespace research {
namespace sorvanti {
namespace {

// The CPU placeholder of the GPU-only pooling operator.
void* MaxPoolingWithArgmaxInit(TfLiteContext*, const char*, size_t) {
  return std::calloc(1, 16);
}
void MaxPoolingWithArgmaxFree(TfLiteContext*, void* buffer) { std::free(buffer); }
TfLiteStatus MaxPoolingWithArgmaxPrepare(TfLiteContext*, TfLiteNode*) { return kTfLiteOk; }
TfLiteStatus MaxPoolingWithArgmaxInvoke(TfLiteContext* context, TfLiteNode*) {
  context->ReportError(context, "MaxPoolingWithArgmax2D is only available on the GPU.");
  return kTfLiteError;
}

// The delegate kernel: init builds the GPU graph of one node subset and returns a token,
// prepare succeeds only when there is one.
void* DelegateKernelInit(TfLiteContext* context, const char* buffer, size_t) {
  const auto* params = reinterpret_cast<const TfLiteDelegateParams*>(buffer);
  auto* graph = static_cast<tflite::gpu::GraphFloat32*>(params->delegate->data_);
  const absl::Status status = tflite::gpu::BuildModel(context, params, graph);
  if (!status.ok()) {
    context->ReportError(context, "Failed to convert a model: %s",
                         std::string(status.message()).c_str());
    return nullptr;
  }
  return new char(1);
}
void DelegateKernelFree(TfLiteContext*, void* buffer) { delete static_cast<char*>(buffer); }
TfLiteStatus DelegateKernelPrepare(TfLiteContext*, TfLiteNode* node) {
  return node->user_data != nullptr ? kTfLiteOk : kTfLiteError;
}

TfLiteStatus DelegatePrepare(TfLiteContext* context, TfLiteDelegate* delegate) {
  TfLiteRegistration registration;
  registration.init = DelegateKernelInit;
  registration.free = DelegateKernelFree;
  registration.prepare = DelegateKernelPrepare;
  TfLiteIntArray* ops = tflite::gpu::GetOpsToReplace(context);
  const TfLiteStatus status =
      context->ReplaceNodeSubsetsWithDelegateKernels(context, registration, ops, delegate);
  TfLiteIntArrayFree(ops);
  return status;
}

absl::Status ConvertTfliteToModelImpl(const tflite::FlatBufferModel& model,
                                      const std::vector<tflite::gpu::HWC>* input_sizes,
                                      tflite::gpu::GraphFloat32* graph) {
  const OpResolver resolver;
  std::unique_ptr<tflite::Interpreter> interpreter;
  if (tflite::InterpreterBuilder(model, resolver)(&interpreter) != kTfLiteOk ||
      interpreter == nullptr) {
    return absl::InternalError("Unable to prepare TfLite interpreter.");
  }
  if (input_sizes != nullptr) {
    if (input_sizes->size() != interpreter->inputs().size()) {
      return absl::InvalidArgumentError("Number of inputs does not match expected");
    }
    for (size_t i = 0; i < input_sizes->size(); ++i) {
      const tflite::gpu::HWC& size = (*input_sizes)[i];
      if (interpreter->ResizeInputTensor(interpreter->inputs()[i],
                                         {1, size.h, size.w, size.c}) != kTfLiteOk) {
        return absl::InternalError("Can't resize input");
      }
    }
  }
  interpreter->UseNNAPI(false);
  TfLiteDelegate delegate;
  delegate.data_ = graph;
  delegate.Prepare = DelegatePrepare;
  delegate.flags = 0;
  if (interpreter->ModifyGraphWithDelegate(&delegate) != kTfLiteOk) {
    return absl::InternalError("Conversion from TfLite model failed.");
  }
  return absl::OkStatus();
}

absl::Status ConvertTfliteToModelWithTransformsImpl(
    const tflite::FlatBufferModel& model, const std::vector<tflite::gpu::HWC>* input_sizes,
    tflite::gpu::GraphFloat32* graph) {
  const absl::Status status = ConvertTfliteToModelImpl(model, input_sizes, graph);
  if (!status.ok()) return status;
  tflite::gpu::NullTransformationReporter reporter;
  tflite::gpu::ModelTransformer transformer(graph, &reporter);
  if (!tflite::gpu::ApplyGeneralTransformations(&transformer)) {
    return absl::InternalError("Graph general transformations failed");
  }
  return absl::OkStatus();
}

}  // namespace

OpResolver::OpResolver() {
  TfLiteRegistration argmax;
  argmax.init = MaxPoolingWithArgmaxInit;
  argmax.free = MaxPoolingWithArgmaxFree;
  argmax.prepare = MaxPoolingWithArgmaxPrepare;
  argmax.invoke = MaxPoolingWithArgmaxInvoke;
  AddCustom("MaxPoolingWithArgmax2D", &argmax, 1, 1);
  const TfLiteRegistration empty;
  AddCustom("MaxUnpooling2D", &empty, 1, 1);
  AddCustom("Convolution2DTransposeBias", &empty, 1, 1);
}

absl::Status ConvertTfliteToModel(const tflite::FlatBufferModel& model,
                                  tflite::gpu::GraphFloat32* graph) {
  return ConvertTfliteToModelImpl(model, nullptr, graph);
}

absl::Status ConvertTfliteToModelSetInputSizes(const tflite::FlatBufferModel& model,
                                               const std::vector<tflite::gpu::HWC>& input_sizes,
                                               tflite::gpu::GraphFloat32* graph) {
  return ConvertTfliteToModelImpl(model, &input_sizes, graph);
}

absl::Status ConvertTfliteToModelWithTransforms(const tflite::FlatBufferModel& model,
                                                tflite::gpu::GraphFloat32* graph) {
  return ConvertTfliteToModelWithTransformsImpl(model, nullptr, graph);
}

absl::Status ConvertTfliteToModelWithTransformsSetInputSizes(
    const tflite::FlatBufferModel& model, const std::vector<tflite::gpu::HWC>& input_sizes,
    tflite::gpu::GraphFloat32* graph) {
  return ConvertTfliteToModelWithTransformsImpl(model, &input_sizes, graph);
}

}  // namespace sorvanti
}  // namespace research
