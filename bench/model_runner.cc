// Per-inference time of the realistic-size face models of tools/face_models (the detector at
// 128x128 and the face mesh at 192x192, convolution stacks of about 30-45 MFLOP) through the
// Metal model runner -- the rotated crop of a 640x480 frame into the input, the compiled
// model, the outputs read back as floats -- against the same model files built directly as
// XNNPACK operators on float buffers, one thread each. After the runs the ratios are printed.

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/xnnpack_reference_network.h"
#include "benchmark/benchmark.h"
#include "face_ml/metal_resources.h"
#include "face_ml/metal_runner.h"
#include "face_ml/sub_rect_extractor_metal.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/corevideo/pixel_format.h"
#include "tflite/model.h"
#include "tflite/testing/reference_evaluator.h"
#include "tools/face_models/face_detector_model.h"
#include "tools/face_models/landmark_models.h"

namespace {

using research::sorvanti::api::internal::MetalCommandBuffer;
using research::sorvanti::api::internal::MetalRunner;
using research::sorvanti::api::internal::MetalTextureCache;
using research::sorvanti::api::internal::SubRectExtractorMetal;
using research::sorvanti::flow::metal::MetalBuffer;
using research::sorvanti::flow::metal::MetalTexture;

const std::vector<uint8_t>& ModelFile(int which) {
  static const std::vector<uint8_t> detector = tools::face_models::MakeFaceDetectorModel(true);
  static const std::vector<uint8_t> mesh = tools::face_models::MakeFaceMeshModel(true);
  return which == 0 ? detector : mesh;
}
const char* ModelName(int which) { return which == 0 ? "detector" : "face mesh"; }
int InputSize(int which) {
  return which == 0 ? tools::face_models::kFaceDetectorInputSize
                    : tools::face_models::kFaceMeshInputSize;
}

std::map<std::string, double>& Times() {
  static std::map<std::string, double> times;
  return times;
}

struct RunnerSetup {
  explicit RunnerSetup(const std::vector<uint8_t>& model_file) : file(model_file) {
    device = MTLCreateSystemDefaultDevice();
    queue = device->newCommandQueue();
    runner = std::move(MetalRunner::Make(device, absl::nullopt,
                                         *tflite::VerifiedModel(file.data(), file.size()))
                           .value());
    extractor = std::move(SubRectExtractorMetal::Make(device).value());
    cache.emplace(std::move(MetalTextureCache::Make(device).value()));
    CVPixelBufferCreate(kCFAllocatorDefault, 640, 480, kCVPixelFormatType_32BGRA, nullptr, &frame);
    CVPixelBufferLockBaseAddress(frame, 0);
    auto* pixels = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(frame));
    for (size_t i = 0; i < CVPixelBufferGetDataSize(frame); ++i) pixels[i] = uint8_t(i * 2654435761u >> 24);
    CVPixelBufferUnlockBaseAddress(frame, 0);
  }
  ~RunnerSetup() { CVPixelBufferRelease(frame); }

  std::vector<uint8_t> file;
  std::shared_ptr<MTLDevice> device;
  std::shared_ptr<MTLCommandQueue> queue;
  std::unique_ptr<MetalRunner> runner;
  std::unique_ptr<SubRectExtractorMetal> extractor;
  std::optional<MetalTextureCache> cache;
  CVPixelBufferRef frame = nullptr;
};

double Mflop(int which) {
  return 2.0 * tflite::testing::CountMultiplyAdds(ModelFile(which)).value() / 1e6;
}

// Crop + inference + output conversion, as a front end runs a model.
void BM_Runner(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const int size = InputSize(which);
  RunnerSetup s(ModelFile(which));
  MetalBuffer input = s.runner->GetInputs()[0].GetBuffer();
  const research::sorvanti::api::utils::RotatedRect roi{320, 240, 300, 300, 0.3f};
  float sink = 0;
  for (auto _ : state) {
    auto texture = MetalTexture::Make(s.cache->cache(), s.frame, 0, 640, 480).value();
    auto commands = MetalCommandBuffer::Make(s.queue).value();
    s.extractor->Execute(&commands, texture, tflite::gpu::HW(size, size), roi, false,
                         2.0f, -1.0f, &input)
        .IgnoreError();
    s.runner->Run(&commands).IgnoreError();
    commands.CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);
    for (const auto& output : s.runner->GetOutputs()) {
      output.ReadDataAs<float>([&](absl::Span<const float> v) {
              sink += v[0];
              return absl::OkStatus();
            })
          .IgnoreError();
    }
  }
  benchmark::DoNotOptimize(sink);
  state.SetLabel(ModelName(which));
  state.counters["MFLOP"] = Mflop(which);
}

// The compiled model alone: input conversion, tasks, output conversion.
void BM_RunnerModelOnly(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  RunnerSetup s(ModelFile(which));
  for (auto _ : state) {
    auto commands = MetalCommandBuffer::Make(s.queue).value();
    s.runner->Run(&commands).IgnoreError();
    commands.CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);
  }
  state.SetLabel(ModelName(which));
}

void BM_Xnnpack(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  quillmere_bench::XnnpackReferenceNetwork x(ModelFile(which));
  for (auto _ : state) x.Run();
  benchmark::DoNotOptimize(x.First());
  state.SetLabel(ModelName(which));
  state.counters["MFLOP"] = Mflop(which);
}

BENCHMARK(BM_Runner)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RunnerModelOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Xnnpack)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Keeps each benchmark's CPU time (all of it on the calling thread; steadier than wall time on
// a busy machine) for the ratios printed at the end: the median when runs are repeated, else
// the one run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Iteration || median) {
        Times()[run.run_name.str()] = run.GetAdjustedCPUTime();
      }
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (int which : {0, 1}) {
    const std::string arg = "/" + std::to_string(which);
    const auto& t = Times();
    const auto xnn = t.find("BM_Xnnpack" + arg);
    if (xnn == t.end()) continue;
    for (const char* name : {"BM_Runner", "BM_RunnerModelOnly"}) {
      const auto it = t.find(name + arg);
      if (it == t.end()) continue;
      std::printf("%s %s / direct XNNPACK: %.2fx\n", ModelName(which), name,
                  it->second / xnn->second);
    }
  }
  benchmark::Shutdown();
  return 0;
}
