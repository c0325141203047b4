// A TensorFlow Lite model in memory. FlatBufferModel wraps the root `tflite::Model` table of a
// model file whose bytes the caller keeps alive; it copies nothing.
//
//   std::unique_ptr<tflite::FlatBufferModel> model =
//       tflite::FlatBufferModel::BuildFromBuffer(bytes.data(), bytes.size());
//   if (model == nullptr) ...  // not a model file; the reason went to the error reporter
//
// Model files come from outside the process, so BuildFromBuffer runs the flat-buffer verifier
// over the whole file (identifier "TFL3" included) before anything reads it: a short or
// malformed file gives a null model and one report, never a crash. BuildFromModel takes a
// root table that the caller has already taken from verified bytes (VerifiedModel below);
// the structural rules that the verifier cannot know (indices in range, data sizes) are
// checked by the InterpreterBuilder.

#ifndef TFLITE_MODEL_H_
#define TFLITE_MODEL_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "tflite/error_reporter.h"
#include "tflite/schema_generated.h"

namespace tflite {

// The root table of `size` bytes at `data` when they verify as a model file, else null (and
// one message to `reporter` when it is not null).
const Model* VerifiedModel(const void* data, size_t size, ErrorReporter* reporter = nullptr);

// The built-in code of an operator code table. Files of the format's first versions carry
// only the byte field, newer ones both; the larger of the two is the code.
BuiltinOperator GetBuiltinCode(const OperatorCode& code);

class FlatBufferModel {
 public:
  // Null when the bytes are not a model file; the reason goes to `reporter`.
  static std::unique_ptr<FlatBufferModel> BuildFromBuffer(
      const char* data, size_t size, ErrorReporter* reporter = DefaultErrorReporter());
  // Null when `model` is null. `model` must be the root of a verified model file.
  static std::unique_ptr<FlatBufferModel> BuildFromModel(
      const Model* model, ErrorReporter* reporter = DefaultErrorReporter());

  const Model* GetModel() const { return model_; }
  ErrorReporter* error_reporter() const { return reporter_; }
  // The verified bytes, when the model was built from a buffer; null otherwise.
  const char* data() const { return data_; }
  size_t size() const { return size_; }

  FlatBufferModel(const FlatBufferModel&) = delete;
  FlatBufferModel& operator=(const FlatBufferModel&) = delete;

 private:
  FlatBufferModel(const Model* model, ErrorReporter* reporter, const char* data, size_t size)
      : model_(model), reporter_(reporter), data_(data), size_(size) {}

  const Model* model_;
  ErrorReporter* reporter_;
  const char* data_;
  size_t size_;
};

}  // namespace tflite

#endif  // TFLITE_MODEL_H_
