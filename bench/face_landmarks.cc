// The landmarks node in a graph on 640x480 camera frames with the realistic-size face models,
// the whole process held to one core: frames per second and per-frame latency (a frame is sent,
// and the next one only after its face list came out), and the share of each frame spent in
// the model runners (crop, model and read-back), timed on their own on the same frames, as the
// ratio of the medians.
//
// Two detection strategies: tracking, where the face detector runs only on the first frame and
// the landmark model once a frame, and detection on every frame.


#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/single_core.h"
#include "benchmark/benchmark.h"
#include "face_ml/face_utils.h"
#include "face_ml/landmarks_detector_calculator.pb.h"
#include "face_ml/landmarks_detector_metal.h"
#include "face_ml/metadata_loader.h"
#include "face_ml/zelkor_face_detector_metal.h"
#include "gpu/gpu_buffer.h"
#include "graph/calculator_graph.h"
#include "graph/packet.h"
#include "graph_config/calculator.pb.h"
#include "platform/metal/device.h"
#include "tests/face_landmarks_graph.h"
#include "tflite/model.h"
#include "tools/face_models/face_layout.h"
#include "tools/face_models/model_files.h"

namespace {

using quillmere_bench::Median;
using quillmere_bench::PinToOneCore;

namespace api = research::sorvanti::api;
using pellumo::GpuBuffer;
using pellumo::sorvanti::LandmarksDetectorCalculatorOptions;
using tools::face_models::FacePatch;
using tools::face_models::FacePatchOfHeight;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kFrames = 16;  // frames in the cycle sent over and over

std::string ModelPath(const char* file) {
  return std::string(QM_FACE_BENCHMARK_MODELS_DIR) + "/" + file;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A dark frame with the face-like patch, which drifts a few pixels from frame to frame.
GpuBuffer MakeFrame(int index) {
  const FacePatch patch = FacePatchOfHeight(300 + 3 * index, 240 - index, 200);
  return quillmere_testing::MakeFacePatchFrame(kWidth, kHeight, &patch);
}

const std::vector<GpuBuffer>& Frames() {
  static const auto* frames = [] {
    auto* f = new std::vector<GpuBuffer>;
    for (int i = 0; i < kFrames; ++i) f->push_back(MakeFrame(i));
    return f;
  }();
  return *frames;
}

api::MetalRGBABufferFrame FrameRecord(const GpuBuffer& buffer) {
  api::MetalRGBABufferFrame frame;
  frame.width = buffer.width();
  frame.height = buffer.height();
  frame.pixel_buffer = buffer.pixel_buffer();
  return frame;
}

// Median seconds of `run`, called `runs` times after one warm-up call.
template <typename F>
double MedianSeconds(int runs, F run) {
  run();
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    run();
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  return Median(std::move(times));
}

// Median seconds of one landmark-runner pass on a crop around the patch.
double LandmarkRunnerSeconds() {
  const std::string model = ReadFile(ModelPath(tools::face_models::kRealisticFaceMeshFile));
  const tflite::Model* table = tflite::VerifiedModel(model.data(), model.size());
  const auto* metadata = api::LoadMetadata<api::fb::ContoursMetadata>(table, "COMD");
  api::MetalRGBABufferFrame frame = FrameRecord(Frames()[0]);
  auto runner = api::internal::MakeRunnerFromFb(MTLCreateSystemDefaultDevice(), table, metadata,
                                                false, &frame);
  if (!runner.ok()) return 0;
  std::vector<api::Landmark> landmarks;
  bool has_face = false;
  const api::utils::RotatedRect roi{300, 240, 150, 200, 0};
  return MedianSeconds(100, [&] { (*runner)->Run(roi, &landmarks, &has_face); });
}

// Median seconds of one face-detector runner pass on the whole frame.
double DetectorRunnerSeconds() {
  const std::string model = ReadFile(ModelPath(tools::face_models::kRealisticFaceDetectorFile));
  api::MetalRGBABufferFrame frame = FrameRecord(Frames()[0]);
  auto runner = api::internal::MakeZelkorFaceInferenceRunnerMetal(
      MTLCreateSystemDefaultDevice(), &frame, tflite::VerifiedModel(model.data(), model.size()));
  if (!runner.ok() || !(*runner)->ResizeInputTensor(128, 128)) return 0;
  absl::Span<const float> boxes, scores;
  const api::utils::RotatedRect whole{320, 240, 640, 480, 0};
  return MedianSeconds(100, [&] { (*runner)->Run(whole, &boxes, &scores); });
}

void BM_LandmarksNode(benchmark::State& state) {
  const bool detect_every_frame = state.range(0) != 0;
  LandmarksDetectorCalculatorOptions options;
  options.set_face_detector_model_path(ModelPath(tools::face_models::kRealisticFaceDetectorFile));
  options.set_landmarks_model_path(ModelPath(tools::face_models::kRealisticFaceMeshFile));
  if (detect_every_frame) {
    options.set_face_detection_strategy(
        pellumo::sorvanti::RUN_ALWAYS_AND_COMBINE_WITH_PREVIOUS_RESULTS);
  }
  const pellumo::CalculatorGraphConfig config = quillmere_testing::LandmarksNodeGraph(options);

  kaldren::CalculatorGraph graph;
  std::mutex mutex;
  std::condition_variable done;
  int64_t outputs = 0;
  size_t faces_seen = 0;
  if (!graph.Initialize(config).ok() ||
      !graph
           .ObserveOutputStream("faces",
                                [&](const kaldren::Packet& p) {
                                  std::lock_guard<std::mutex> lock(mutex);
                                  faces_seen +=
                                      p.Get<std::vector<pellumo::sorvanti::Face>>().size();
                                  ++outputs;
                                  done.notify_all();
                                  return absl::OkStatus();
                                })
           .ok() ||
      !graph.StartRun({}).ok()) {
    state.SkipWithError("the graph does not start");
    return;
  }

  int64_t sent = 0;
  auto send_and_wait = [&] {
    const GpuBuffer& frame = Frames()[sent % kFrames];
    const auto start = Clock::now();
    graph
        .AddPacketToInputStream("input_video", kaldren::MakePacket<GpuBuffer>(frame).At(
                                                   kaldren::Timestamp(sent * 33333)))
        .IgnoreError();
    ++sent;
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return outputs == sent; });
    return std::chrono::duration<double>(Clock::now() - start).count();
  };
  send_and_wait();  // the first frame also compiles the face detector for its tensor size
  std::vector<double> frame_times;
  for (auto _ : state) {
    frame_times.push_back(send_and_wait());
    state.SetIterationTime(frame_times.back());
  }
  graph.CloseAllInputStreams().IgnoreError();
  graph.WaitUntilDone().IgnoreError();

  // Medians on both sides, so that other load on the machine skews neither.
  const double frame_seconds = Median(frame_times);
  const double networks =
      LandmarkRunnerSeconds() + (detect_every_frame ? DetectorRunnerSeconds() : 0);
  state.counters["median_frame_ms"] = frame_seconds * 1e3;
  state.counters["fps"] = 1.0 / frame_seconds;
  state.counters["network_share"] = networks / frame_seconds;
  state.counters["faces_per_frame"] = static_cast<double>(faces_seen) / static_cast<double>(sent);
  state.counters["network_ms"] = networks * 1e3;
}
BENCHMARK(BM_LandmarksNode)
    ->ArgName("detect_every_frame")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
  PinToOneCore();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
