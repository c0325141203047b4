// Reads arbitrary bytes as a TensorFlow Lite model file and, when it verifies, compiles it
// for the Metal device and runs it once on a zero input, reading every output back as
// floats. Models whose inputs are small run at their own sizes; larger ones at a small size
// with the model's channel count, so that each run stays short. Any crash, hang, leak or
// sanitizer report is a fault; refusing the model is expected.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/logging.h"
#include "face_ml/metal_resources.h"
#include "face_ml/metal_runner.h"
#include "platform/metal/device.h"
#include "tflite/model.h"

namespace {

namespace internal = research::sorvanti::api::internal;

// Inputs up to this many pixels run at the model's own size.
constexpr int64_t kMaxOwnPixels = 192 * 192;
// The side and channel count of the reduced size.
constexpr int kSmallSide = 16;
constexpr int kMaxChannels = 16;

// The sizes to run `model` at: none (the model's own) when every input is small and four
// dimensional, otherwise a small square per input with the model's channel count.
absl::optional<std::vector<tflite::gpu::HWC>> InputSizes(const tflite::Model& model) {
  if (model.subgraphs() == nullptr || model.subgraphs()->size() != 1) return absl::nullopt;
  const tflite::SubGraph& subgraph = *model.subgraphs()->Get(0);
  if (subgraph.inputs() == nullptr || subgraph.tensors() == nullptr) return absl::nullopt;
  std::vector<tflite::gpu::HWC> small;
  bool all_small = true;
  for (int32_t index : *subgraph.inputs()) {
    if (index < 0 || static_cast<uint32_t>(index) >= subgraph.tensors()->size()) {
      return absl::nullopt;  // refused by the conversion
    }
    const auto* shape = subgraph.tensors()->Get(index)->shape();
    if (shape == nullptr || shape->size() != 4) return absl::nullopt;
    const int64_t h = shape->Get(1), w = shape->Get(2), c = shape->Get(3);
    if (h <= 0 || w <= 0 || c <= 0 || h * w > kMaxOwnPixels || c > kMaxChannels) {
      all_small = false;
    }
    small.emplace_back(kSmallSide, kSmallSide,
                       static_cast<int32_t>(std::clamp<int64_t>(c, 1, kMaxChannels)));
  }
  if (all_small) return absl::nullopt;
  return small;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Refusals are logged; keep the fuzzer's output readable.
  absl::SetFlag(&FLAGS_minloglevel, 3);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Flat buffers are read in place: a copy has the alignment of a loaded file and exactly
  // `size` bytes, for the sanitizers.
  const std::vector<uint8_t> bytes(data, data + size);
  const tflite::Model* model = tflite::VerifiedModel(bytes.data(), bytes.size());
  if (model == nullptr) return 0;
  static const std::shared_ptr<MTLDevice> device = MTLCreateSystemDefaultDevice();
  static const std::shared_ptr<MTLCommandQueue> queue = device->newCommandQueue();
  auto runner = internal::MetalRunner::Make(device, InputSizes(*model), *model);
  if (!runner.ok()) return 0;
  auto commands = internal::MetalCommandBuffer::Make(queue);
  if (!commands.ok()) return 0;
  if (!(*runner)->Run(&*commands).ok()) return 0;
  commands->CommitAndWait(internal::MetalCommandBuffer::kWaitUntilCompleted);
  for (const auto& output : (*runner)->GetOutputs()) {
    (void)output.ReadDataAs<float>([](absl::Span<const float>) { return absl::OkStatus(); });
  }
  return 0;
}
