// Render passes of the CPU Metal device: the rasteriser, varyings and the bilinear sampler.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/metal/metal.h"

namespace {

using platform::metal::ArgumentTable;
using platform::metal::float4;
using platform::metal::FragmentIn;
using platform::metal::VertexOut;

// Positions (float4, buffer 0) and texture coordinates (float4, buffer 1) per vertex; the
// fragment samples texture 0 at the interpolated coordinates, or counts its pixel into the
// uint32 grid of fragment buffer 0 (width in fragment bytes 1) and returns red.
constexpr char kShaderSource[] = R"(
vertex VertexOut quadVertex(uint vid [[vertex_id]], constant float4* position [[buffer(0)]],
                            constant float4* uv [[buffer(1)]]);
fragment float4 sampleFragment(VertexOut in [[stage_in]], texture2d<float> texture [[texture(0)]]);
fragment float4 countFragment(VertexOut in [[stage_in]], device uint* counts [[buffer(0)]],
                              constant uint& width [[buffer(1)]]);
vertex VertexOut lastVaryingVertex(uint vid [[vertex_id]], constant float4* position [[buffer(0)]],
                                   constant float4* uv [[buffer(1)]]);
fragment float4 lastVaryingFragment(VertexOut in [[stage_in]]);
)";

[[maybe_unused]] const bool kRegistered = platform::metal::RegisterShaderLibrary(
    kShaderSource,
    {platform::metal::VertexShader("quadVertex",
                                   [](uint32_t vid, const ArgumentTable& args) {
                                     VertexOut out;
                                     out.position = static_cast<const float4*>(args.buffer(0))[vid];
                                     if (args.buffer(1) != nullptr) {
                                       const float4 uv = static_cast<const float4*>(args.buffer(1))[vid];
                                       out.varyings[0] = uv[0];
                                       out.varyings[1] = uv[1];
                                     }
                                     return out;
                                   }),
     platform::metal::FragmentShader("sampleFragment",
                                     [](const FragmentIn& in, const ArgumentTable& args) {
                                       return args.texture(0)->sample(platform::metal::LinearClampSampler(),
                                                                      in.varyings[0], in.varyings[1]);
                                     }),
     platform::metal::FragmentShader("countFragment", [](const FragmentIn& in, const ArgumentTable& args) {
       auto* counts = static_cast<uint32_t*>(args.buffer(0));
       const uint32_t width = *static_cast<const uint32_t*>(args.buffer(1));
       ++counts[static_cast<int>(in.position[1]) * width + static_cast<int>(in.position[0])];
       return float4{1, 0, 0, 1};
     }),
     // u in the last varying slot only, the others left zero; drawn back as red.
     platform::metal::VertexShader("lastVaryingVertex",
                                   [](uint32_t vid, const ArgumentTable& args) {
                                     VertexOut out;
                                     out.position = static_cast<const float4*>(args.buffer(0))[vid];
                                     out.varyings[platform::metal::kMaxVaryings - 1] =
                                         static_cast<const float4*>(args.buffer(1))[vid][0];
                                     return out;
                                   }),
     platform::metal::FragmentShader("lastVaryingFragment", [](const FragmentIn& in, const ArgumentTable&) {
       return float4{in.varyings[platform::metal::kMaxVaryings - 1], in.varyings[0], 0, 1};
     })});

class RenderTest : public testing::Test {
 protected:
  std::shared_ptr<MTLRenderPipelineState> Pipeline(const char* fragment, MTLPixelFormat format) {
    std::shared_ptr<NSError> error;
    auto library = device_->newLibraryWithSource(kShaderSource, nullptr, &error);
    EXPECT_NE(library, nullptr);
    auto descriptor = std::make_shared<MTLRenderPipelineDescriptor>();
    descriptor->setVertexFunction(library->newFunctionWithName("quadVertex"));
    descriptor->setFragmentFunction(library->newFunctionWithName(fragment));
    descriptor->colorAttachments()[0].setPixelFormat(format);
    auto pipeline = device_->newRenderPipelineStateWithDescriptor(descriptor, &error);
    EXPECT_NE(pipeline, nullptr) << (error ? error->description() : "");
    return pipeline;
  }

  std::shared_ptr<MTLTexture> Texture(MTLPixelFormat format, int width, int height) {
    return device_->newTextureWithDescriptor(
        MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(format, width, height, false));
  }

  // Encodes one pass over `target` (cleared to `clear`) that draws `positions` as triangles.
  std::shared_ptr<MTLRenderCommandEncoder> BeginPass(const std::shared_ptr<MTLCommandBuffer>& commands,
                                                     const std::shared_ptr<MTLTexture>& target,
                                                     MTLClearColor clear) {
    auto pass = MTLRenderPassDescriptor::renderPassDescriptor();
    pass->colorAttachments()[0].setTexture(target);
    pass->colorAttachments()[0].setLoadAction(MTLLoadActionClear);
    pass->colorAttachments()[0].setClearColor(clear);
    return commands->renderCommandEncoderWithDescriptor(pass);
  }

  std::shared_ptr<MTLDevice> device_ = MTLCreateSystemDefaultDevice();
  std::shared_ptr<MTLCommandQueue> queue_ = device_->newCommandQueue();
};

// The two triangles that cover the whole target, with the texture coordinates that put (0, 0)
// at its top-left corner and (1, 1) at its bottom-right.
constexpr float4 kQuadPositions[6] = {{-1, 1, 0, 1}, {1, 1, 0, 1}, {1, -1, 0, 1},
                                      {-1, 1, 0, 1}, {1, -1, 0, 1}, {-1, -1, 0, 1}};
constexpr float4 kQuadUVs[6] = {{0, 0, 0, 1}, {1, 0, 0, 1}, {1, 1, 0, 1}, {0, 0, 0, 1}, {1, 1, 0, 1}, {0, 1, 0, 1}};

// Bilinear clamp-to-edge sampling as a tent filter: every source texel weighs
// max(0, 1 - |dx|) * max(0, 1 - |dy|) by its centre's distance from the sample point, after the
// point is clamped between the outermost centres.
float4 TentFilterReference(const std::vector<float4>& texels, int width, int height, double u, double v) {
  const double x = std::clamp(u * width, 0.5, width - 0.5);
  const double y = std::clamp(v * height, 0.5, height - 0.5);
  double sum[4] = {0, 0, 0, 0};
  for (int j = 0; j < height; ++j) {
    for (int i = 0; i < width; ++i) {
      const double weight = std::max(0.0, 1 - std::abs(x - (i + 0.5))) * std::max(0.0, 1 - std::abs(y - (j + 0.5)));
      for (int c = 0; c < 4; ++c) sum[c] += weight * texels[j * width + i][c];
    }
  }
  return {static_cast<float>(sum[0]), static_cast<float>(sum[1]), static_cast<float>(sum[2]),
          static_cast<float>(sum[3])};
}

struct ResampleCase {
  std::string name;
  int source_width, source_height;
  int target_width, target_height;
  MTLPixelFormat target_format;
  float tolerance;
};

void PrintTo(const ResampleCase& c, std::ostream* os) { *os << c.name; }

class FullTargetQuadTest : public RenderTest, public testing::WithParamInterface<ResampleCase> {};

TEST_P(FullTargetQuadTest, SampledQuadMatchesABilinearReference) {
  const ResampleCase& c = GetParam();
  std::vector<float4> texels;
  for (int j = 0; j < c.source_height; ++j) {
    for (int i = 0; i < c.source_width; ++i) {
      texels.push_back({0.1f * i + 0.03f * j, 0.7f - 0.05f * j * i, (i * 7 + j * 3) % 5 * 0.2f, 1.0f - 0.01f * i});
    }
  }
  auto source = Texture(MTLPixelFormatRGBA32Float, c.source_width, c.source_height);
  source->replaceRegion(MTLRegionMake2D(0, 0, c.source_width, c.source_height), 0, texels.data(),
                        c.source_width * sizeof(float4));
  auto target = Texture(c.target_format, c.target_width, c.target_height);

  auto positions = device_->newBufferWithBytes(kQuadPositions, sizeof(kQuadPositions), 0);
  auto uvs = device_->newBufferWithBytes(kQuadUVs, sizeof(kQuadUVs), 0);
  auto commands = queue_->commandBuffer();
  auto encoder = BeginPass(commands, target, MTLClearColorMake(9, 9, 9, 9));
  encoder->setRenderPipelineState(Pipeline("sampleFragment", c.target_format));
  encoder->setVertexBuffer(positions, 0, 0);
  encoder->setVertexBuffer(uvs, 0, 1);
  encoder->setFragmentTexture(source, 0);
  encoder->drawPrimitives(MTLPrimitiveTypeTriangle, 0, 6);
  encoder->endEncoding();
  commands->commit();
  commands->waitUntilCompleted();

  for (int y = 0; y < c.target_height; ++y) {
    for (int x = 0; x < c.target_width; ++x) {
      const float4 expected = TentFilterReference(texels, c.source_width, c.source_height,
                                                  (x + 0.5) / c.target_width, (y + 0.5) / c.target_height);
      const float4 actual = target->readTexel(x, y);
      for (int k = 0; k < 4; ++k) {
        ASSERT_NEAR(actual[k], expected[k], c.tolerance) << "pixel (" << x << ", " << y << ") channel " << k;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FullTargetQuadTest,
    testing::Values(ResampleCase{"Magnify5x3To7x4", 5, 3, 7, 4, MTLPixelFormatRGBA32Float, 1e-5f},
                    ResampleCase{"Minify8x8To3x5", 8, 8, 3, 5, MTLPixelFormatRGBA32Float, 1e-5f},
                    ResampleCase{"OneTexelEverywhere", 1, 1, 4, 4, MTLPixelFormatRGBA32Float, 1e-6f},
                    ResampleCase{"HalfFloatTarget", 6, 5, 9, 7, MTLPixelFormatRGBA16Float, 1e-3f}),
    [](const testing::TestParamInfo<ResampleCase>& info) { return info.param.name; });

TEST_F(RenderTest, EveryVaryingSlotIsInterpolated) {
  std::shared_ptr<NSError> error;
  auto library = device_->newLibraryWithSource(kShaderSource, nullptr, &error);
  auto descriptor = std::make_shared<MTLRenderPipelineDescriptor>();
  descriptor->setVertexFunction(library->newFunctionWithName("lastVaryingVertex"));
  descriptor->setFragmentFunction(library->newFunctionWithName("lastVaryingFragment"));
  descriptor->colorAttachments()[0].setPixelFormat(MTLPixelFormatRGBA32Float);
  auto pipeline = device_->newRenderPipelineStateWithDescriptor(descriptor, &error);
  ASSERT_NE(pipeline, nullptr);
  constexpr int kWidth = 5;
  auto target = Texture(MTLPixelFormatRGBA32Float, kWidth, 3);

  auto commands = queue_->commandBuffer();
  auto encoder = BeginPass(commands, target, MTLClearColorMake(0, 0, 1, 1));
  encoder->setRenderPipelineState(pipeline);
  encoder->setVertexBytes(kQuadPositions, sizeof(kQuadPositions), 0);
  encoder->setVertexBytes(kQuadUVs, sizeof(kQuadUVs), 1);
  encoder->drawPrimitives(MTLPrimitiveTypeTriangle, 0, 6);
  encoder->endEncoding();
  commands->commit();

  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const float4 texel = target->readTexel(x, y);
      EXPECT_NEAR(texel[0], (x + 0.5f) / kWidth, 1e-6f) << "pixel (" << x << ", " << y << ")";
      EXPECT_EQ(texel[1], 0.0f) << "pixel (" << x << ", " << y << ")";
    }
  }
}

// Meshes of triangles whose edges run through pixel centres, each tiling the window rectangle
// [x0, x1) x [y0, y1) (window coordinates, y down): exactly the pixels whose centres lie in
// that half-open rectangle must be drawn, each once.
struct MeshCase {
  std::string name;
  std::vector<std::pair<float, float>> window_vertices;  // three per triangle
  float x0, y0, x1, y1;
};

void PrintTo(const MeshCase& c, std::ostream* os) { *os << c.name; }

class TopLeftRuleTest : public RenderTest, public testing::WithParamInterface<MeshCase> {};

constexpr int kGrid = 8;

TEST_P(TopLeftRuleTest, SharedEdgesCoverEachPixelOnce) {
  const MeshCase& c = GetParam();
  std::vector<float4> positions;
  for (const auto& [x, y] : c.window_vertices) {
    positions.push_back({x / kGrid * 2 - 1, 1 - y / kGrid * 2, 0, 1});
  }
  auto position_buffer = device_->newBufferWithBytes(positions.data(), positions.size() * sizeof(float4), 0);
  auto counts = device_->newBufferWithLength(kGrid * kGrid * sizeof(uint32_t), 0);
  auto target = Texture(MTLPixelFormatRGBA8Unorm, kGrid, kGrid);
  const uint32_t width = kGrid;

  auto commands = queue_->commandBuffer();
  auto encoder = BeginPass(commands, target, MTLClearColorMake(0, 0, 1, 1));
  encoder->setRenderPipelineState(Pipeline("countFragment", MTLPixelFormatRGBA8Unorm));
  encoder->setVertexBuffer(position_buffer, 0, 0);
  encoder->setFragmentBuffer(counts, 0, 0);
  encoder->setFragmentBytes(&width, sizeof(width), 1);
  encoder->drawPrimitives(MTLPrimitiveTypeTriangle, 0, positions.size());
  encoder->endEncoding();
  commands->commit();

  const auto* count = static_cast<const uint32_t*>(counts->contents());
  for (int y = 0; y < kGrid; ++y) {
    for (int x = 0; x < kGrid; ++x) {
      const bool inside = x + 0.5f >= c.x0 && x + 0.5f < c.x1 && y + 0.5f >= c.y0 && y + 0.5f < c.y1;
      EXPECT_EQ(count[y * kGrid + x], inside ? 1u : 0u) << "pixel (" << x << ", " << y << ")";
      EXPECT_EQ(target->readTexel(x, y), (inside ? float4{1, 0, 0, 1} : float4{0, 0, 1, 1}))
          << "pixel (" << x << ", " << y << ")";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Meshes, TopLeftRuleTest,
    testing::Values(
        MeshCase{"WholeTargetSplitDownTheDiagonal", {{0, 0}, {8, 0}, {8, 8}, {0, 0}, {8, 8}, {0, 8}}, 0, 0, 8, 8},
        MeshCase{"EdgesThroughCentresOtherDiagonal",
                 {{1.5f, 1.5f}, {6.5f, 1.5f}, {1.5f, 6.5f}, {6.5f, 1.5f}, {6.5f, 6.5f}, {1.5f, 6.5f}},
                 1.5f, 1.5f, 6.5f, 6.5f},
        MeshCase{"MixedWindings",
                 {{1.5f, 1.5f}, {1.5f, 6.5f}, {6.5f, 6.5f}, {1.5f, 1.5f}, {6.5f, 1.5f}, {6.5f, 6.5f}},
                 1.5f, 1.5f, 6.5f, 6.5f},
        MeshCase{"FanAroundAPixelCentre",
                 {{3.5f, 3.5f}, {0.5f, 0.5f}, {3.5f, 0.5f}, {3.5f, 3.5f}, {3.5f, 0.5f}, {7.5f, 0.5f},
                  {3.5f, 3.5f}, {7.5f, 0.5f}, {7.5f, 3.5f}, {3.5f, 3.5f}, {7.5f, 3.5f}, {7.5f, 7.5f},
                  {3.5f, 3.5f}, {7.5f, 7.5f}, {3.5f, 7.5f}, {3.5f, 3.5f}, {3.5f, 7.5f}, {0.5f, 7.5f},
                  {3.5f, 3.5f}, {0.5f, 7.5f}, {0.5f, 3.5f}, {3.5f, 3.5f}, {0.5f, 3.5f}, {0.5f, 0.5f}},
                 0.5f, 0.5f, 7.5f, 7.5f},
        MeshCase{"PartlyOutsideTheTarget", {{-4, -4}, {12, -4}, {12, 12}, {-4, -4}, {12, 12}, {-4, 12}}, 0, 0, 8, 8}),
    [](const testing::TestParamInfo<MeshCase>& info) { return info.param.name; });

}  // namespace
