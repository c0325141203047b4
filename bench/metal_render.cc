// The CPU Metal device's render path as the model runners use it: a full-target quad that
// samples a camera-sized BGRA texture bilinearly into a half-float tensor-sized target.

#include <memory>

#include "benchmark/benchmark.h"
#include "platform/metal/metal.h"

namespace {

using platform::metal::ArgumentTable;
using platform::metal::float4;

constexpr char kSource[] = "vertex quad(); fragment resample();";

[[maybe_unused]] const bool kRegistered = platform::metal::RegisterShaderLibrary(
    kSource, {platform::metal::VertexShader("quad",
                                            [](uint32_t vid, const ArgumentTable&) {
                                              constexpr float kCorners[6][2] = {{0, 0}, {1, 0}, {1, 1},
                                                                                {0, 0}, {1, 1}, {0, 1}};
                                              platform::metal::VertexOut out;
                                              out.position = {kCorners[vid][0] * 2 - 1, 1 - kCorners[vid][1] * 2, 0, 1};
                                              out.varyings[0] = kCorners[vid][0];
                                              out.varyings[1] = kCorners[vid][1];
                                              return out;
                                            }),
              platform::metal::FragmentShader("resample", [](const platform::metal::FragmentIn& in,
                                                             const ArgumentTable& args) {
                return args.texture(0)->sample(platform::metal::LinearClampSampler(), in.varyings[0],
                                               in.varyings[1]);
              })});

void BM_ResampleIntoHalfFloatTarget(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  auto device = MTLCreateSystemDefaultDevice();
  auto queue = device->newCommandQueue();
  auto library = device->newLibraryWithSource(kSource, nullptr, nullptr);
  auto descriptor = std::make_shared<MTLRenderPipelineDescriptor>();
  descriptor->setVertexFunction(library->newFunctionWithName("quad"));
  descriptor->setFragmentFunction(library->newFunctionWithName("resample"));
  descriptor->colorAttachments()[0].setPixelFormat(MTLPixelFormatRGBA16Float);
  auto pipeline = device->newRenderPipelineStateWithDescriptor(descriptor, nullptr);
  auto input = device->newTextureWithDescriptor(
      MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatBGRA8Unorm, 640, 480, false));
  auto output = device->newTextureWithDescriptor(
      MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatRGBA16Float, size, size, false));
  auto pass = MTLRenderPassDescriptor::renderPassDescriptor();
  pass->colorAttachments()[0].setTexture(output);
  pass->colorAttachments()[0].setLoadAction(MTLLoadActionClear);
  for (auto _ : state) {
    auto commands = queue->commandBuffer();
    auto encoder = commands->renderCommandEncoderWithDescriptor(pass);
    encoder->setRenderPipelineState(pipeline);
    encoder->setFragmentTexture(input, 0);
    encoder->drawPrimitives(MTLPrimitiveTypeTriangle, 0, 6);
    encoder->endEncoding();
    commands->commit();
    commands->waitUntilCompleted();
  }
  state.SetItemsProcessed(state.iterations() * size * size);
}
BENCHMARK(BM_ResampleIntoHalfFloatTarget)->Arg(128)->Arg(192)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
