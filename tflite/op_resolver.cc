#include "tflite/op_resolver.h"

namespace tflite {

const TfLiteRegistration* MutableOpResolver::FindOp(BuiltinOperator op, int version) const {
  const auto it = builtins_.find({op, version});
  return it == builtins_.end() ? nullptr : &it->second;
}

const TfLiteRegistration* MutableOpResolver::FindOp(const char* op, int version) const {
  if (op == nullptr) return nullptr;
  const auto it = customs_.find({std::string(op), version});
  return it == customs_.end() ? nullptr : &it->second;
}

void MutableOpResolver::AddBuiltin(BuiltinOperator op, const TfLiteRegistration* registration,
                                   int min_version, int max_version) {
  for (int version = min_version; version <= max_version; ++version) {
    TfLiteRegistration r = *registration;
    r.builtin_code = op;
    r.custom_name = nullptr;
    r.version = version;
    builtins_[{op, version}] = r;
  }
}

void MutableOpResolver::AddCustom(const char* name, const TfLiteRegistration* registration,
                                  int min_version, int max_version) {
  for (int version = min_version; version <= max_version; ++version) {
    TfLiteRegistration r = *registration;
    r.builtin_code = BuiltinOperator_CUSTOM;
    r.version = version;
    auto [it, inserted] = customs_.insert_or_assign({std::string(name), version}, r);
    // The name lives in the map's key.
    it->second.custom_name = it->first.first.c_str();
  }
}

}  // namespace tflite
