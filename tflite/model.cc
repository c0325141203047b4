#include "tflite/model.h"

#include <algorithm>

#include "flatbuffers/flatbuffers.h"

namespace tflite {

const Model* VerifiedModel(const void* data, size_t size, ErrorReporter* reporter) {
  if (data == nullptr || size == 0) {
    if (reporter != nullptr) reporter->Report("The model file is empty.");
    return nullptr;
  }
  flatbuffers::Verifier verifier(static_cast<const uint8_t*>(data), size);
  if (!VerifyModelBuffer(verifier)) {
    if (reporter != nullptr) {
      reporter->Report("The model file of %zu bytes is not a valid TensorFlow Lite flat buffer.",
                       size);
    }
    return nullptr;
  }
  return GetModel(data);
}

BuiltinOperator GetBuiltinCode(const OperatorCode& code) {
  return static_cast<BuiltinOperator>(
      std::max<int32_t>(code.builtin_code(), code.deprecated_builtin_code()));
}

std::unique_ptr<FlatBufferModel> FlatBufferModel::BuildFromBuffer(const char* data, size_t size,
                                                                  ErrorReporter* reporter) {
  if (reporter == nullptr) reporter = DefaultErrorReporter();
  const Model* model = VerifiedModel(data, size, reporter);
  if (model == nullptr) return nullptr;
  return std::unique_ptr<FlatBufferModel>(new FlatBufferModel(model, reporter, data, size));
}

std::unique_ptr<FlatBufferModel> FlatBufferModel::BuildFromModel(const Model* model,
                                                                 ErrorReporter* reporter) {
  if (reporter == nullptr) reporter = DefaultErrorReporter();
  if (model == nullptr) {
    reporter->Report("No model to build from.");
    return nullptr;
  }
  return std::unique_ptr<FlatBufferModel>(new FlatBufferModel(model, reporter, nullptr, 0));
}

}  // namespace tflite
