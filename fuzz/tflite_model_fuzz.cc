// Reads arbitrary bytes as a TensorFlow Lite model file and takes whatever verifies down the
// road a face model takes before it runs: the interpreter is built with the face models'
// operators, its shapes are inferred at the file's sizes and at a fixed input size, and the
// model is converted into the GPU graph with the general transformations. Any crash, hang,
// leak or sanitizer report is a fault; refusing the bytes is expected.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "face_ml/tflite_conversion.h"
#include "tflite/error_reporter.h"
#include "tflite/gpu/model.h"
#include "tflite/model.h"

namespace {

class SilentReporter : public tflite::ErrorReporter {
 public:
  using ErrorReporter::Report;
  int Report(const char*, va_list) override { return 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SilentReporter reporter;
  const std::vector<char> bytes(data, data + size);  // exactly `size` bytes, for the sanitizers
  auto model = tflite::FlatBufferModel::BuildFromBuffer(bytes.data(), bytes.size(), &reporter);
  if (model == nullptr) return 0;
  {
    tflite::gpu::GraphFloat32 graph;
    (void)research::sorvanti::ConvertTfliteToModelWithTransforms(*model, &graph);
  }
  {
    tflite::gpu::GraphFloat32 graph;
    (void)research::sorvanti::ConvertTfliteToModelWithTransformsSetInputSizes(
        *model, {tflite::gpu::HWC(16, 16, 3)}, &graph);
  }
  return 0;
}
