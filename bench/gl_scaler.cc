// The GPU scaler node on Mesa (llvmpipe): camera-sized 1280 x 720 '420f' frames turned a
// quarter turn and drawn into 640 x 480 'BGRA' buffers, one frame at a time through a graph.
//
// Reported per frame: the node's frames per second (items_per_second) and, as the counter
// "upload_readback_share", the part of a frame's time that moving pixels between the pixel
// buffers and GL takes: the texture cache uploads both planes of the input and the pooled
// output buffer when their textures are made, and reads the textures back when they are
// released (Mesa cannot share memory with the buffers). That part is timed in the same
// iteration by making and releasing the same three textures without drawing.

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

void BM_GlScaler420fTo640x480Rotated90(benchmark::State& state) {
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
  options->set_output_width(640);
  options->set_output_height(480);
  options->set_rotation(90);

  kaldren::CalculatorGraph graph;
  CHECK(graph.SetGpuResources(resources).ok());
  CHECK(graph.Initialize(config).ok());
  int64_t outputs = 0;
  CHECK(graph.ObserveOutputStream("out", [&](const kaldren::Packet&) {
               ++outputs;
               return absl::OkStatus();
             }).ok());
  CHECK(graph.StartRun({}).ok());

  const pellumo::GpuBuffer frames[2] = {CameraFrame(0), CameraFrame(1)};
  // The same pixel traffic as one frame of the node, without the drawing.
  pellumo::GlCalculatorHelper helper;
  helper.InitializeForTest(resources.get());
  auto texture_traffic = [&](const pellumo::GpuBuffer& frame) {
    CHECK(helper
              .RunInGlContext([&] {
                pellumo::GlTexture y = helper.CreateSourceTexture(frame, 0);
                pellumo::GlTexture uv = helper.CreateSourceTexture(frame, 1);
                pellumo::GlTexture dst = helper.CreateDestinationTexture(
                    640, 480, pellumo::GpuBufferFormat::kFormatBGRA);
                dst.Release();
                uv.Release();
                y.Release();
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
BENCHMARK(BM_GlScaler420fTo640x480Rotated90)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
