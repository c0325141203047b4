// The face graph of the resource bundle end to end, the whole process held to one core: camera
// frames of 640x480 with the face-like patch go in through the graph facade's sendPixelBuffer,
// and the clock stops when the delegate receives that frame's "face_transform" packet. The
// landmarks node reads the realistic-size models instead of the bundle's small ones. Frames are
// sent one at a time, so the per-frame latency is also the frame time, and frames per second is
// its inverse. Each frame's process CPU time is taken as well: with every thread on one core it
// is the work the frame costs, which other load on the machine does not inflate as it does the
// wall time.
//
// The same model files are also built directly as XNNPACK operators, and after every timed frame
// the networks the pipeline ran for it are run once raw, on the same core: in tracking mode (the
// graph's own setting) the detector runs on the first frame only, so each frame costs the
// landmark network; with detection on every frame it is the detector plus the landmark network.
// Measured interleaved, both see the same machine; at the end the pipeline's median frame time
// is divided by the median raw time, of wall times and of CPU times (with repetitions, the
// medians over the runs). BM_RawNetwork times each network on its own as well.

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/single_core.h"
#include "bench/xnnpack_reference_network.h"
#include "benchmark/benchmark.h"
#include "face_geometry/face_transform_calculator.pb.h"
#include "face_geometry/face_transform_records.h"
#include "face_geometry/space_parameters.h"
#include "face_ml/landmarks_detector_calculator.pb.h"
#include "gpu/gpu_buffer.h"
#include "gpu/pellumo_graph.h"
#include "graph/packet.h"
#include "graph_config/calculator.pb.h"
#include "tests/face_landmarks_graph.h"
#include "tools/face_models/face_layout.h"
#include "tools/face_models/model_files.h"

namespace {

using quillmere_bench::Median;
using quillmere_bench::PinToOneCore;

namespace ft = ::quorrel::face_transform;
using pellumo::GpuBuffer;
using pellumo::sorvanti::LandmarksDetectorCalculatorOptions;
using tools::face_models::FacePatch;
using tools::face_models::FacePatchOfHeight;
using Clock = std::chrono::steady_clock;
using Transforms = std::vector<absl::optional<ft::Transform>>;

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kFrames = 16;             // frames in the cycle sent over and over
constexpr int64_t kFrameInterval = 33333;  // microseconds, 30 frames per second

std::string ModelPath(const char* file) {
  return std::string(QM_FACE_BENCHMARK_MODELS_DIR) + "/" + file;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A dark frame with the face-like patch, which drifts a few pixels from frame to frame.
const std::vector<GpuBuffer>& Frames() {
  static const auto* frames = [] {
    auto* f = new std::vector<GpuBuffer>;
    for (int i = 0; i < kFrames; ++i) {
      const FacePatch patch = FacePatchOfHeight(300 + 3 * i, 240 - i, 200);
      f->push_back(quillmere_testing::MakeFacePatchFrame(kWidth, kHeight, &patch));
    }
    return f;
  }();
  return *frames;
}

// The bundle's face graph with the realistic-size models in the landmarks node. All paths are
// absolute, so no bundle lookup is involved.
pellumo::CalculatorGraphConfig FaceGraph(bool detect_every_frame) {
  pellumo::CalculatorGraphConfig config;
  std::ifstream in(QM_FACE_GRAPH_FILE, std::ios::binary);
  if (!config.ParseFromString(std::string(std::istreambuf_iterator<char>(in), {}))) return {};
  const std::string bundle = std::filesystem::path(QM_FACE_GRAPH_FILE).parent_path().string();
  for (auto& node : *config.mutable_node()) {
    auto* options = node.mutable_options();
    if (node.calculator() == "LandmarksDetectorCalculatorMetal") {
      auto* landmarks = options->MutableExtension(LandmarksDetectorCalculatorOptions::ext);
      landmarks->set_face_detector_model_path(
          ModelPath(tools::face_models::kRealisticFaceDetectorFile));
      landmarks->set_landmarks_model_path(ModelPath(tools::face_models::kRealisticFaceMeshFile));
      if (detect_every_frame) {
        landmarks->set_face_detection_strategy(
            pellumo::sorvanti::RUN_ALWAYS_AND_COMBINE_WITH_PREVIOUS_RESULTS);
      }
    } else if (node.calculator() == "QuorrelFaceTransformCalculator") {
      auto* transform = options->MutableExtension(pellumo::quorrel::FaceTransformCalculatorOptions::ext);
      transform->set_face_model_path(
          bundle + "/" + std::filesystem::path(transform->face_model_path()).filename().string());
    }
  }
  return config;
}

// Counts the "face_transform" packets and the faces in them.
class TransformCounter : public PellumoGraphDelegate {
 public:
  void pellumoGraph(PellumoGraph*, const kaldren::Packet& packet, const std::string&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++packets_;
    for (const auto& transform : packet.Get<Transforms>()) faces_ += transform.has_value();
    arrived_.notify_all();
  }
  // Waits until `count` packets have arrived, at most `limit`; false on time-out.
  bool WaitFor(int64_t count, std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, limit, [&] { return packets_ >= count; });
  }
  int64_t faces() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faces_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  int64_t packets_ = 0;
  int64_t faces_ = 0;
};

double ProcessCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

void BM_FacePipeline(benchmark::State& state) {
  const bool detect_every_frame = state.range(0) != 0;
  auto counter = std::make_shared<TransformCounter>();
  std::shared_ptr<PellumoGraph> graph = PellumoGraph::initWithGraphConfig(FaceGraph(detect_every_frame));
  graph->addFrameOutputStream("face_transform", KLDPacketTypeAnyPacket);
  graph->setDelegate(counter);
  std::shared_ptr<NSError> error;
  if (!graph->startWithError(&error)) {
    state.SkipWithError(("the face graph does not start: " + error->localizedDescription()).c_str());
    return;
  }

  const auto parameters = ft::CreateCameraFrameSpaceParameters(kWidth, kHeight).value();
  int64_t sent = 0;    // frames sent
  int64_t skipped = 0; // frames sent while the models were loading, which give no output
  double cpu_seconds = 0;  // of the last frame
  // Sends the side inputs of the next frame, then the frame; returns the seconds from
  // sendPixelBuffer to its packet, or a negative number when none came within `limit`.
  auto send_and_wait = [&](std::chrono::seconds limit) {
    const kaldren::Timestamp ts(sent * kFrameInterval);
    graph->sendPacket(kaldren::Adopt(new ft::SpaceParameters(absl::in_place_index<0>, parameters)).At(ts),
                      "quorrel_face_space_parameters", nullptr);
    graph->sendPacket(kaldren::MakePacket<int>(0).At(ts), "pre_rotation", nullptr);
    graph->sendPacket(kaldren::MakePacket<int>(1).At(ts), "sequence_id", nullptr);
    const CVPixelBufferRef frame = Frames()[sent % kFrames].pixel_buffer();
    const double cpu_start = ProcessCpuSeconds();
    const auto start = Clock::now();
    graph->sendPixelBuffer(frame, "input_frames", KLDPacketTypeGpuBuffer, ts);
    ++sent;
    if (!counter->WaitFor(sent - skipped, limit)) return -1.0;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    cpu_seconds = ProcessCpuSeconds() - cpu_start;
    return seconds;
  };
  // The models load in the background; until then a frame gives no packet. The first frame with
  // output also runs the detector, and the next one settles tracking.
  while (send_and_wait(std::chrono::seconds(1)) < 0) {
    if (++skipped > 100) {
      state.SkipWithError("no face transforms from the face graph");
      return;
    }
  }
  send_and_wait(std::chrono::seconds(30));
  const int64_t faces_before = counter->faces();
  const int64_t timed_from = sent;

  // What the pipeline runs per frame, raw.
  std::vector<std::unique_ptr<quillmere_bench::XnnpackReferenceNetwork>> raw;
  raw.push_back(std::make_unique<quillmere_bench::XnnpackReferenceNetwork>(
      ReadFile(ModelPath(tools::face_models::kRealisticFaceMeshFile))));
  if (detect_every_frame) {
    raw.push_back(std::make_unique<quillmere_bench::XnnpackReferenceNetwork>(
        ReadFile(ModelPath(tools::face_models::kRealisticFaceDetectorFile))));
  }
  for (auto& network : raw) network->Run();  // first runs allocate

  std::vector<double> frame_times, cpu_times, raw_times, raw_cpu_times;
  for (auto _ : state) {
    const double seconds = send_and_wait(std::chrono::seconds(30));
    if (seconds < 0) {
      state.SkipWithError("a frame gave no face transform");
      break;
    }
    frame_times.push_back(seconds);
    cpu_times.push_back(cpu_seconds);
    state.SetIterationTime(seconds);

    const double raw_cpu_start = ProcessCpuSeconds();
    const auto raw_start = Clock::now();
    for (auto& network : raw) network->Run();
    raw_times.push_back(std::chrono::duration<double>(Clock::now() - raw_start).count());
    raw_cpu_times.push_back(ProcessCpuSeconds() - raw_cpu_start);
  }
  graph->closeAllInputStreamsWithError(nullptr);
  for (auto& network : raw) benchmark::DoNotOptimize(network->First());

  const double frame_seconds = Median(frame_times);
  state.counters["median_frame_ms"] = frame_seconds * 1e3;
  state.counters["fps"] = frame_seconds > 0 ? 1.0 / frame_seconds : 0;
  state.counters["cpu_frame_ms"] = Median(std::move(cpu_times)) * 1e3;
  state.counters["raw_ms"] = Median(std::move(raw_times)) * 1e3;
  state.counters["raw_cpu_ms"] = Median(std::move(raw_cpu_times)) * 1e3;
  state.counters["faces_per_frame"] =
      static_cast<double>(counter->faces() - faces_before) / static_cast<double>(sent - timed_from);
  state.SetLabel(detect_every_frame ? "detection on every frame" : "tracking");
}
BENCHMARK(BM_FacePipeline)
    ->ArgName("detect_every_frame")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0);

// One inference of the realistic-size detector (0) or landmark network (1), built directly with
// XNNPACK, on the calling thread.
void BM_RawNetwork(benchmark::State& state) {
  const bool landmarks = state.range(0) != 0;
  quillmere_bench::XnnpackReferenceNetwork network(ReadFile(
      ModelPath(landmarks ? tools::face_models::kRealisticFaceMeshFile
                          : tools::face_models::kRealisticFaceDetectorFile)));
  for (auto _ : state) network.Run();
  benchmark::DoNotOptimize(network.First());
  state.SetLabel(landmarks ? "landmarks" : "detector");
}
BENCHMARK(BM_RawNetwork)
    ->ArgName("landmarks")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// A pipeline run's per-frame medians and those of the raw networks measured beside it.
struct Times {
  double wall = -1, cpu = -1, raw_wall = -1, raw_cpu = -1;
};

// Keeps each pipeline run's medians for the ratios printed at the end: of the median run when
// runs are repeated, else of the one run. Keyed by function name and arguments
// ("BM_FacePipeline/detect_every_frame:0").
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      const auto counter = [&](const char* name) {
        const auto it = run.counters.find(name);
        return it != run.counters.end() ? it->second.value : -1.0;
      };
      if (counter("raw_ms") < 0) continue;
      times_[run.run_name.function_name + "/" + run.run_name.args] = {
          counter("median_frame_ms"), counter("cpu_frame_ms"), counter("raw_ms"),
          counter("raw_cpu_ms")};
    }
  }
  Times Of(const std::string& name) const {
    const auto it = times_.find(name);
    return it == times_.end() ? Times{} : it->second;
  }

 private:
  std::map<std::string, Times> times_;
};

}  // namespace

int main(int argc, char** argv) {
  PinToOneCore();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const bool every_frame : {false, true}) {
    const Times t =
        reporter.Of("BM_FacePipeline/detect_every_frame:" + std::to_string(every_frame));
    if (t.wall < 0 || t.raw_wall <= 0 || t.raw_cpu <= 0) continue;
    std::printf(
        "%s: pipeline frame / raw %s network, medians measured interleaved\n"
        "  wall: %.3f ms / %.3f ms = %.2fx (%.1f fps)\n"
        "  cpu:  %.3f ms / %.3f ms = %.2fx\n",
        every_frame ? "detection on every frame" : "tracking",
        every_frame ? "detector + landmark" : "landmark", t.wall, t.raw_wall,
        t.wall / t.raw_wall, 1e3 / t.wall, t.cpu, t.raw_cpu, t.cpu / t.raw_cpu);
  }
  benchmark::Shutdown();
  return 0;
}
