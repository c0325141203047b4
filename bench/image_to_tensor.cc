// The CPU image-to-tensor kernels on a 640x480 frame: the whole frame resized into a
// 128x128 detector input, and a turned 192x192 crop as a landmark model takes it. The
// Halide runtime uses every core.

#include <cstdint>
#include <vector>

#include "benchmark/benchmark.h"
#include "face_ml/image_to_tensor.h"

namespace {

using research::sorvanti::api::CpuRGBFrame;

// A float32 tensor [1, side, side, 3] over its own memory.
struct Tensor {
  std::vector<float> data;
  TfLiteTensor view;
  explicit Tensor(int side) : data(size_t(side) * side * 3) {
    view.type = kTfLiteFloat32;
    view.dims = TfLiteIntArrayFromVector({1, side, side, 3});
    view.data.f = data.data();
    view.bytes = data.size() * sizeof(float);
  }
  ~Tensor() { TfLiteIntArrayFree(view.dims); }
};

std::vector<uint8_t> Pixels(int width, int height) {
  std::vector<uint8_t> pixels(size_t(width) * height * 3);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 2654435761u >> 24);
  return pixels;
}

void BM_ResizeToTensor(benchmark::State& state) {
  const std::vector<uint8_t> pixels = Pixels(640, 480);
  const CpuRGBFrame frame{pixels.data(), 480, 640, 640 * 3, 0};
  Tensor tensor(128);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        research::sorvanti::api::internal::ResizeToTensor(frame, 2.0f / 255, -1.0f, &tensor.view));
  }
}
BENCHMARK(BM_ResizeToTensor)->UseRealTime();

void BM_ExtractRotatedRectToTensor(benchmark::State& state) {
  const std::vector<uint8_t> pixels = Pixels(640, 480);
  const CpuRGBFrame frame{pixels.data(), 480, 640, 640 * 3, 0};
  Tensor tensor(192);
  const research::sorvanti::api::utils::RotatedRect rect{320, 240, 260, 260, 0.3f};
  for (auto _ : state) {
    benchmark::DoNotOptimize(research::sorvanti::api::internal::ExtractRotatedRectToTensor(
        frame, 1.0f / 255, 0.0f, rect, &tensor.view));
  }
}
BENCHMARK(BM_ExtractRotatedRectToTensor)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
