// The GPU scaler node on Mesa (llvmpipe), one frame at a time through a graph:
// - camera-sized 1280 x 720 '420f' frames turned a quarter turn and drawn into 640 x 480 'BGRA'
//   buffers;
// - 640 x 480 'BGRA' frames turned a quarter turn at their own size, as the face graph turns a
//   camera frame upright for a phone held upright.
//
// Reported per frame: the node's frames per second (items_per_second) and, as the counter
// "upload_readback_share", the part of a frame's time that moving pixels between the pixel
// buffers and GL takes: the texture cache uploads the input's planes when their textures are
// made, and reads the output's texture back when it is released (Mesa cannot share memory with
// the buffers). That part is timed in the same iteration by making and releasing the same
// textures without drawing.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>

#include "base/logging.h"
#include "gpu/gl_calculator_helper.h"
#include "gpu/gl_scaler_calculator.pb.h"
#include "gpu/gpu_buffer.h"
#include "gpu/gpu_resources.h"
#include "graph/calculator_graph.h"
#include "platform/corevideo/pixel_buffer.h"

namespace {

using Clock = std::chrono::steady_clock;

// A '420f' frame with a luma ramp offset by `phase`, so that successive frames differ.
pellumo::GpuBuffer CameraFrame(int phase) {
  CVPixelBufferRef raw = nullptr;
  CHECK_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 1280, 720,
                               kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, nullptr, &raw),
           kCVReturnSuccess);
  const platform::corevideo::Plane luma = platform::corevideo::GetPlane(raw, 0);
  const platform::corevideo::Plane chroma = platform::corevideo::GetPlane(raw, 1);
  for (size_t y = 0; y < luma.height; ++y) {
    for (size_t x = 0; x < luma.width; ++x) {
      luma.data[y * luma.bytes_per_row + x] = static_cast<uint8_t>(x + y + phase);
    }
  }
  for (size_t y = 0; y < chroma.height; ++y) {
    std::memset(chroma.data + y * chroma.bytes_per_row, 100 + phase, 2 * chroma.width);
  }
  return pellumo::GpuBuffer(MakeCFHolderAdopting(raw));
}

// A 'BGRA' frame with a colour ramp offset by `phase`.
pellumo::GpuBuffer BgraFrame(int width, int height, int phase) {
  CVPixelBufferRef raw = nullptr;
  CHECK_EQ(CVPixelBufferCreate(kCFAllocatorDefault, width, height, kCVPixelFormatType_32BGRA,
                               nullptr, &raw),
           kCVReturnSuccess);
  const platform::corevideo::Plane plane = platform::corevideo::GetPlane(raw, 0);
  for (size_t y = 0; y < plane.height; ++y) {
    for (size_t x = 0; x < 4 * plane.width; ++x) {
      plane.data[y * plane.bytes_per_row + x] = static_cast<uint8_t>(x + 3 * y + phase);
    }
  }
  return pellumo::GpuBuffer(MakeCFHolderAdopting(raw));
}

// Runs the scaler over `frames` in turn, drawing each into `width` x `height` turned by
// `rotation` degrees.
void RunScaler(benchmark::State& state, const pellumo::GpuBuffer (&frames)[2], int width,
               int height, int rotation) {
  std::shared_ptr<pellumo::GlGpuResources> resources =
      pellumo::GlGpuResources::CreateGpuResourcesOrDie();

  pellumo::CalculatorGraphConfig config;
  config.add_input_stream("video");
  pellumo::CalculatorGraphConfig::Node* node = config.add_node();
  node->set_calculator("GlScalerCalculator");
  node->add_input_stream("VIDEO:video");
  node->add_output_stream("VIDEO:out");
  pellumo::GlScalerCalculatorOptions* options =
      node->mutable_options()->MutableExtension(pellumo::GlScalerCalculatorOptions::ext);
  options->set_output_width(width);
  options->set_output_height(height);
  options->set_rotation(rotation);

  kaldren::CalculatorGraph graph;
  CHECK(graph.SetGpuResources(resources).ok());
  CHECK(graph.Initialize(config).ok());
  int64_t outputs = 0;
  CHECK(graph.ObserveOutputStream("out", [&](const kaldren::Packet&) {
               ++outputs;
               return absl::OkStatus();
             }).ok());
  CHECK(graph.StartRun({}).ok());

  // The same pixel traffic as one frame of the node, without the drawing.
  pellumo::GlCalculatorHelper helper;
  helper.InitializeForTest(resources.get());
  const bool two_planes = frames[0].format() == pellumo::GpuBufferFormat::kFormat420f;
  auto texture_traffic = [&](const pellumo::GpuBuffer& frame) {
    CHECK(helper
              .RunInGlContext([&] {
                pellumo::GlTexture first = helper.CreateSourceTexture(frame, 0);
                pellumo::GlTexture second;
                if (two_planes) second = helper.CreateSourceTexture(frame, 1);
                pellumo::GlTexture dst = helper.CreateDestinationTexture(
                    width, height, pellumo::GpuBufferFormat::kFormatBGRA);
                dst.Release();
                second.Release();
                first.Release();
              })
              .ok());
  };

  int64_t t = 0;
  double frame_seconds = 0;
  double traffic_seconds = 0;
  for (auto _ : state) {
    const pellumo::GpuBuffer& frame = frames[t % 2];
    const Clock::time_point start = Clock::now();
    CHECK(graph
              .AddPacketToInputStream("video", kaldren::MakePacket<pellumo::GpuBuffer>(frame).At(
                                                   kaldren::Timestamp(t)))
              .ok());
    CHECK(graph.WaitUntilIdle().ok());
    const Clock::time_point drawn = Clock::now();
    texture_traffic(frame);
    const Clock::time_point moved = Clock::now();

    const double seconds = std::chrono::duration<double>(drawn - start).count();
    frame_seconds += seconds;
    traffic_seconds += std::chrono::duration<double>(moved - drawn).count();
    state.SetIterationTime(seconds);
    ++t;
  }
  CHECK(graph.CloseAllInputStreams().ok());
  CHECK(graph.WaitUntilDone().ok());
  CHECK_EQ(outputs, t);

  state.SetItemsProcessed(state.iterations());
  state.counters["upload_readback_share"] = frame_seconds > 0 ? traffic_seconds / frame_seconds : 0;
}

void BM_GlScaler420fTo640x480Rotated90(benchmark::State& state) {
  const pellumo::GpuBuffer frames[2] = {CameraFrame(0), CameraFrame(1)};
  RunScaler(state, frames, 640, 480, 90);
}
BENCHMARK(BM_GlScaler420fTo640x480Rotated90)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_GlScalerBgra640x480Rotated90(benchmark::State& state) {
  const pellumo::GpuBuffer frames[2] = {BgraFrame(640, 480, 0), BgraFrame(640, 480, 1)};
  RunScaler(state, frames, 480, 640, 90);
}
BENCHMARK(BM_GlScalerBgra640x480Rotated90)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
