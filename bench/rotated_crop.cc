// The rotated crop alone, as the model runners use it: a 300x300 rectangle turned by 0.3 rad
// out of a 640x480 BGRA camera frame, resampled into a half-float tensor buffer of the
// detector's (128x128) and the face mesh's (192x192) input size. Besides the time per crop it
// reports the time per output pixel.

#include <memory>
#include <optional>

#include "benchmark/benchmark.h"
#include "face_ml/metal_resources.h"
#include "face_ml/sub_rect_extractor_metal.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/corevideo/pixel_format.h"

namespace {

using research::sorvanti::api::internal::MetalCommandBuffer;
using research::sorvanti::api::internal::MetalTextureCache;
using research::sorvanti::api::internal::SubRectExtractorMetal;
using research::sorvanti::flow::metal::MetalBuffer;
using research::sorvanti::flow::metal::MetalTexture;

void BM_RotatedCrop(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  const std::shared_ptr<MTLDevice> device = MTLCreateSystemDefaultDevice();
  const auto queue = device->newCommandQueue();
  const auto extractor = std::move(SubRectExtractorMetal::Make(device).value());
  std::optional<MetalTextureCache> cache;
  cache.emplace(std::move(MetalTextureCache::Make(device).value()));
  CVPixelBufferRef frame = nullptr;
  CVPixelBufferCreate(kCFAllocatorDefault, 640, 480, kCVPixelFormatType_32BGRA, nullptr, &frame);
  CVPixelBufferLockBaseAddress(frame, 0);
  auto* pixels = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(frame));
  for (size_t i = 0; i < CVPixelBufferGetDataSize(frame); ++i) pixels[i] = uint8_t(i * 2654435761u >> 24);
  CVPixelBufferUnlockBaseAddress(frame, 0);
  MetalBuffer output = MetalBuffer::Make(device, static_cast<size_t>(size) * size * 8).value();
  const research::sorvanti::api::utils::RotatedRect roi{320, 240, 300, 300, 0.3f};
  for (auto _ : state) {
    auto texture = MetalTexture::Make(cache->cache(), frame, 0, 640, 480).value();
    auto commands = MetalCommandBuffer::Make(queue).value();
    extractor->Execute(&commands, texture, tflite::gpu::HW(size, size), roi, false, 2.0f, -1.0f, &output)
        .IgnoreError();
    commands.CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);
  }
  benchmark::DoNotOptimize(output.buffer()->contents());
  CVPixelBufferRelease(frame);
  state.counters["ns_per_pixel"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * size * size,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_RotatedCrop)->Arg(128)->Arg(192)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
