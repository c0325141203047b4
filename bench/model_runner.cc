// Per-inference time of realistic-size face networks through the Metal model runner (the
// rotated crop of a 640x480 frame into the input, the compiled model, the outputs read back as
// floats) against the same networks built directly with XNNPACK operators on float buffers,
// one thread each. The networks are convolution stacks of about 30-45 MFLOP shaped like the
// face detector (128x128 input, box and score heads) and the landmark model (192x192 input,
// 468 x 3 coordinates and a face flag). After the runs the ratios are printed.

#include <xnnpack.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "face_ml/metal_resources.h"
#include "face_ml/metal_runner.h"
#include "face_ml/sub_rect_extractor_metal.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/corevideo/pixel_format.h"
#include "tflite/model.h"
#include "tflite/testing/model_builder.h"

namespace {

using research::sorvanti::api::internal::MetalCommandBuffer;
using research::sorvanti::api::internal::MetalRunner;
using research::sorvanti::api::internal::MetalTextureCache;
using research::sorvanti::api::internal::SubRectExtractorMetal;
using research::sorvanti::flow::metal::MetalBuffer;
using research::sorvanti::flow::metal::MetalTexture;
using tflite::testing::ModelBuilder;

// One layer of a network; tensor 0 is the input and layer i writes tensor i + 1.
struct Layer {
  enum Kind { kConv, kDepthwise, kFullyConnected } kind;
  int input;
  int kernel, stride, out_c;
  bool relu;
  int in_h = 0, in_w = 0, in_c = 0, out_h = 0, out_w = 0;
  std::vector<float> weights, bias;
};

struct Network {
  const char* name;
  int in_h, in_w;
  std::vector<Layer> layers;
  std::vector<int> outputs;  // tensor indices
  double flops = 0;
};

std::vector<float> Random(size_t n, float scale, uint32_t seed) {
  std::vector<float> v(n);
  for (float& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = scale * (static_cast<float>(seed >> 8) / (1 << 23) - 1.0f);
  }
  return v;
}

// Fills in the shapes (SAME padding), weights and the count of floating-point operations.
void Complete(Network* net) {
  std::vector<std::array<int, 3>> shapes = {{net->in_h, net->in_w, 3}};
  uint32_t seed = 1;
  for (Layer& l : net->layers) {
    const auto [h, w, c] = shapes[l.input];
    l.in_h = h, l.in_w = w, l.in_c = c;
    if (l.kind == Layer::kFullyConnected) {
      l.out_h = l.out_w = 1;
      l.weights = Random(size_t(l.out_c) * h * w * c, 1.0f / std::sqrt(float(h * w * c)), seed++);
      net->flops += 2.0 * l.out_c * h * w * c;
    } else {
      l.out_h = (h + l.stride - 1) / l.stride, l.out_w = (w + l.stride - 1) / l.stride;
      if (l.kind == Layer::kDepthwise) l.out_c = c;
      const int fan_in = l.kernel * l.kernel * (l.kind == Layer::kDepthwise ? 1 : c);
      l.weights = Random(size_t(l.out_c) * fan_in, 1.0f / std::sqrt(float(fan_in)), seed++);
      net->flops += 2.0 * l.out_h * l.out_w * l.out_c * fan_in;
    }
    l.bias = Random(l.out_c, 0.1f, seed++);
    shapes.push_back({l.out_h, l.out_w, l.out_c});
  }
}

Layer Conv(int input, int kernel, int stride, int out_c, bool relu = true) {
  return {Layer::kConv, input, kernel, stride, out_c, relu};
}
Layer Depthwise(int input, int stride) { return {Layer::kDepthwise, input, 3, stride, 0, false}; }

Network Detector() {
  Network net{"detector", 128, 128, {}, {}};
  auto& l = net.layers;
  l.push_back(Conv(0, 3, 2, 24));  // 64x64
  int t = 1;
  const int plan[][2] = {{1, 24}, {2, 32}, {1, 32}, {1, 40}, {2, 48},
                         {1, 56}, {1, 64}, {1, 72}, {1, 80}, {1, 96}};
  for (const auto& [stride, out_c] : plan) {
    l.push_back(Depthwise(t++, stride));
    l.push_back(Conv(t++, 1, 1, out_c));
  }
  const int features = t;  // 16x16x96
  l.push_back(Conv(features, 1, 1, 6 * 16, false));  // box regressors, 6 anchors a cell
  l.push_back(Conv(features, 1, 1, 6, false));       // scores
  net.outputs = {features + 1, features + 2};
  Complete(&net);
  return net;
}

Network Landmarks() {
  Network net{"landmarks", 192, 192, {}, {}};
  auto& l = net.layers;
  l.push_back(Conv(0, 3, 2, 16));  // 96x96
  int t = 1;
  const int plan[][2] = {{1, 16}, {2, 32}, {1, 32}, {2, 64}, {1, 64}, {2, 96}, {1, 96},
                         {2, 128}, {1, 128}, {2, 128}};
  for (const auto& [stride, out_c] : plan) {
    l.push_back(Depthwise(t++, stride));
    l.push_back(Conv(t++, 1, 1, out_c));
  }
  const int features = t;  // 6x6x128
  l.push_back({Layer::kFullyConnected, features, 0, 0, 468 * 3, false});
  l.push_back({Layer::kFullyConnected, features, 0, 0, 1, false});
  net.outputs = {features + 1, features + 2};
  Complete(&net);
  return net;
}

// The network as a model file.
std::vector<uint8_t> ModelFile(const Network& net) {
  ModelBuilder b;
  std::vector<int> tensors = {b.AddTensor({1, net.in_h, net.in_w, 3}, "input")};
  std::map<int, int> flattened;  // tensor -> its [1, n] reshape
  for (const Layer& l : net.layers) {
    const auto act = l.relu ? tflite::ActivationFunctionType_RELU : tflite::ActivationFunctionType_NONE;
    if (l.kind == Layer::kFullyConnected) {
      if (flattened.count(l.input) == 0) {
        const int flat = b.AddTensor({1, l.in_h * l.in_w * l.in_c});
        b.AddOperator(tflite::BuiltinOperator_RESHAPE, {tensors[l.input]}, {flat},
                      tflite::BuiltinOptions_ReshapeOptions,
                      tflite::testing::Reshape({1, l.in_h * l.in_w * l.in_c}));
        flattened[l.input] = flat;
      }
      const int out = b.AddTensor({1, l.out_c});
      b.AddOperator(tflite::BuiltinOperator_FULLY_CONNECTED,
                    {flattened[l.input], b.AddConstTensor({l.out_c, l.in_h * l.in_w * l.in_c}, l.weights),
                     b.AddConstTensor({l.out_c}, l.bias)},
                    {out}, tflite::BuiltinOptions_FullyConnectedOptions,
                    [](flatbuffers::FlatBufferBuilder& fbb) {
                      return tflite::CreateFullyConnectedOptions(fbb).Union();
                    });
      tensors.push_back(out);
      continue;
    }
    const int out = b.AddTensor({1, l.out_h, l.out_w, l.out_c});
    if (l.kind == Layer::kConv) {
      b.AddOperator(tflite::BuiltinOperator_CONV_2D,
                    {tensors[l.input], b.AddConstTensor({l.out_c, l.kernel, l.kernel, l.in_c}, l.weights),
                     b.AddConstTensor({l.out_c}, l.bias)},
                    {out}, tflite::BuiltinOptions_Conv2DOptions,
                    tflite::testing::Conv2D(tflite::Padding_SAME, l.stride, l.stride, act));
    } else {
      b.AddOperator(tflite::BuiltinOperator_DEPTHWISE_CONV_2D,
                    {tensors[l.input], b.AddConstTensor({1, l.kernel, l.kernel, l.out_c}, l.weights),
                     b.AddConstTensor({l.out_c}, l.bias)},
                    {out}, tflite::BuiltinOptions_DepthwiseConv2DOptions,
                    tflite::testing::DepthwiseConv2D(tflite::Padding_SAME, l.stride, l.stride, 1, act));
    }
    tensors.push_back(out);
  }
  std::vector<int> outputs;
  for (int t : net.outputs) outputs.push_back(tensors[t]);
  b.SetInputs({tensors[0]});
  b.SetOutputs(outputs);
  return b.Finish();
}

// The network as XNNPACK operators over float buffers, bound once.
class XnnpackNetwork {
 public:
  explicit XnnpackNetwork(const Network& net) {
    xnn_initialize(nullptr);
    // XNN_EXTRA_BYTES of slack after each buffer, which XNNPACK may read.
    const size_t slack = XNN_EXTRA_BYTES / sizeof(float);
    buffers_.emplace_back(size_t(net.in_h) * net.in_w * 3 + slack, 0.5f);
    for (const Layer& l : net.layers) {
      buffers_.emplace_back(size_t(l.out_h) * l.out_w * l.out_c + slack);
    }
    for (size_t i = 0; i < net.layers.size(); ++i) {
      const Layer& l = net.layers[i];
      const float min = l.relu ? 0.0f : -INFINITY, max = INFINITY;
      xnn_operator_t op = nullptr;
      const float* in = buffers_[l.input].data();
      float* out = buffers_[i + 1].data();
      if (l.kind == Layer::kFullyConnected) {
        const int depth = l.in_h * l.in_w * l.in_c;
        xnn_create_fully_connected_nc_f32(depth, l.out_c, depth, l.out_c, l.weights.data(),
                                          l.bias.data(), min, max, 0, &op);
        xnn_setup_fully_connected_nc_f32(op, 1, in, out, nullptr);
      } else {
        const bool dw = l.kind == Layer::kDepthwise;
        xnn_create_convolution2d_nhwc_f32(
            0, 0, 0, 0, l.kernel, l.kernel, l.stride, l.stride, 1, 1, dw ? l.in_c : 1,
            dw ? 1 : l.in_c, dw ? 1 : l.out_c, l.in_c, l.out_c, l.weights.data(), l.bias.data(),
            min, max, XNN_FLAG_TENSORFLOW_SAME_PADDING | (dw ? XNN_FLAG_DEPTHWISE_CONVOLUTION : 0),
            &op);
        xnn_setup_convolution2d_nhwc_f32(op, 1, l.in_h, l.in_w, in, out, nullptr);
      }
      ops_.push_back(op);
    }
  }
  ~XnnpackNetwork() {
    for (xnn_operator_t op : ops_) xnn_delete_operator(op);
  }
  void Run() {
    for (xnn_operator_t op : ops_) xnn_run_operator(op, nullptr);
  }
  float First() const { return buffers_.back()[0]; }

 private:
  std::vector<std::vector<float>> buffers_;
  std::vector<xnn_operator_t> ops_;
};

std::map<std::string, double>& Times() {
  static std::map<std::string, double> times;
  return times;
}

struct RunnerSetup {
  explicit RunnerSetup(const Network& net) : file(ModelFile(net)) {
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

const Network& Net(int which) {
  static const Network detector = Detector(), landmarks = Landmarks();
  return which == 0 ? detector : landmarks;
}

// Crop + inference + output conversion, as a front end runs a model.
void BM_Runner(benchmark::State& state) {
  const Network& net = Net(static_cast<int>(state.range(0)));
  RunnerSetup s(net);
  MetalBuffer input = s.runner->GetInputs()[0].GetBuffer();
  const research::sorvanti::api::utils::RotatedRect roi{320, 240, 300, 300, 0.3f};
  float sink = 0;
  for (auto _ : state) {
    auto texture = MetalTexture::Make(s.cache->cache(), s.frame, 0, 640, 480).value();
    auto commands = MetalCommandBuffer::Make(s.queue).value();
    s.extractor->Execute(&commands, texture, tflite::gpu::HW(net.in_h, net.in_w), roi, false,
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
  state.SetLabel(net.name);
  state.counters["MFLOP"] = net.flops / 1e6;
}

// The compiled model alone: input conversion, tasks, output conversion.
void BM_RunnerModelOnly(benchmark::State& state) {
  const Network& net = Net(static_cast<int>(state.range(0)));
  RunnerSetup s(net);
  for (auto _ : state) {
    auto commands = MetalCommandBuffer::Make(s.queue).value();
    s.runner->Run(&commands).IgnoreError();
    commands.CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);
  }
  state.SetLabel(net.name);
}

void BM_Xnnpack(benchmark::State& state) {
  const Network& net = Net(static_cast<int>(state.range(0)));
  XnnpackNetwork x(net);
  for (auto _ : state) x.Run();
  benchmark::DoNotOptimize(x.First());
  state.SetLabel(net.name);
  state.counters["MFLOP"] = net.flops / 1e6;
}

BENCHMARK(BM_Runner)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RunnerModelOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Xnnpack)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Keeps each run's time for the ratios printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        Times()[run.benchmark_name()] = run.GetAdjustedRealTime();
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
      std::printf("%s %s / direct XNNPACK: %.2fx\n", Net(which).name, name,
                  it->second / xnn->second);
    }
  }
  benchmark::Shutdown();
  return 0;
}
