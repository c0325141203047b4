// Operator resolvers: from an operator code of a model file (a built-in code or a custom
// name, with the operator's version) to the kernel registration that prepares it.
//
//   tflite::ops::builtin::BuiltinOpResolver resolver;      // every built-in kernel here
//   resolver.AddCustom("MyOp", &my_registration, 1, 1);    // plus custom ones
//
// A registration is found only for a version inside the range it was added with.

#ifndef TFLITE_OP_RESOLVER_H_
#define TFLITE_OP_RESOLVER_H_

#include <map>
#include <string>
#include <utility>

#include "tflite/common.h"
#include "tflite/schema_generated.h"

namespace tflite {

class OpResolver {
 public:
  virtual ~OpResolver() = default;
  // Null when there is none for the code and version.
  virtual const TfLiteRegistration* FindOp(BuiltinOperator op, int version) const = 0;
  virtual const TfLiteRegistration* FindOp(const char* op, int version) const = 0;
};

class MutableOpResolver : public OpResolver {
 public:
  const TfLiteRegistration* FindOp(BuiltinOperator op, int version) const override;
  const TfLiteRegistration* FindOp(const char* op, int version) const override;

  // Registers versions min_version to max_version; a later registration of the same code and
  // version replaces the earlier one.
  void AddBuiltin(BuiltinOperator op, const TfLiteRegistration* registration,
                  int min_version = 1, int max_version = 1);
  void AddCustom(const char* name, const TfLiteRegistration* registration, int min_version = 1,
                 int max_version = 1);

 private:
  std::map<std::pair<BuiltinOperator, int>, TfLiteRegistration> builtins_;
  std::map<std::pair<std::string, int>, TfLiteRegistration> customs_;
};

namespace ops {
namespace builtin {

// The built-in operators whose shapes this runtime infers (the operators of the face
// models): element-wise arithmetic and activations, convolutions, pooling, fully connected,
// concatenation, reshape, padding, resizing, slicing, transposed convolution, softmax and
// dequantisation of half-float constants.
class BuiltinOpResolver : public MutableOpResolver {
 public:
  BuiltinOpResolver();
};

}  // namespace builtin
}  // namespace ops
}  // namespace tflite

#endif  // TFLITE_OP_RESOLVER_H_
