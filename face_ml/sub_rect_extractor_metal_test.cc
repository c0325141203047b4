#include "face_ml/sub_rect_extractor_metal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "base/status_test_util.h"
#include "gtest/gtest.h"
#include "platform/corevideo/pixel_format.h"
#include "platform/metal/half.h"

namespace research::sorvanti::api::internal {
namespace {

using flow::metal::MetalBuffer;
using flow::metal::MetalTexture;

constexpr int kWidth = 40, kHeight = 30;

// A BGRA frame whose channels vary differently along x and y, so that mirroring and rotation
// show.
uint8_t Channel(int x, int y, int c) {
  switch (c) {
    case 0: return static_cast<uint8_t>(x * 6);
    case 1: return static_cast<uint8_t>(y * 8);
    default: return static_cast<uint8_t>((x * 3 + y * 5) % 256);
  }
}

// A pixel buffer of `format`; `fill` writes each row.
CVPixelBufferRef MakePixels(int width, int height, OSType format,
                            const std::function<void(int y, uint8_t* row)>& fill) {
  CVPixelBufferRef pixels = nullptr;
  EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, width, height, format, nullptr, &pixels),
            kCVReturnSuccess);
  CVPixelBufferLockBaseAddress(pixels, 0);
  auto* base = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(pixels));
  for (int y = 0; y < height; ++y) fill(y, base + y * CVPixelBufferGetBytesPerRow(pixels));
  CVPixelBufferUnlockBaseAddress(pixels, 0);
  return pixels;
}

struct Frame {
  Frame() {
    pixels = MakePixels(kWidth, kHeight, kCVPixelFormatType_32BGRA, [](int y, uint8_t* row) {
      for (int x = 0; x < kWidth; ++x) {
        uint8_t* p = row + x * 4;
        p[2] = Channel(x, y, 0);  // red
        p[1] = Channel(x, y, 1);  // green
        p[0] = Channel(x, y, 2);  // blue
        p[3] = 255;
      }
    });
  }
  ~Frame() { CVPixelBufferRelease(pixels); }
  CVPixelBufferRef pixels = nullptr;
};

// The edge-clamped bilinear value of channel c at pixel position (x, y), texel centres at
// half-integers.
float Bilinear(float x, float y, int c) {
  const float fx = std::clamp(x, 0.0f, float{kWidth}) - 0.5f;
  const float fy = std::clamp(y, 0.0f, float{kHeight}) - 0.5f;
  const int x0 = static_cast<int>(std::floor(fx)), y0 = static_cast<int>(std::floor(fy));
  const float wx = fx - x0, wy = fy - y0;
  auto at = [c](int xi, int yi) {
    return Channel(std::clamp(xi, 0, kWidth - 1), std::clamp(yi, 0, kHeight - 1), c) / 255.0f;
  };
  return (1 - wy) * ((1 - wx) * at(x0, y0) + wx * at(x0 + 1, y0)) +
         wy * ((1 - wx) * at(x0, y0 + 1) + wx * at(x0 + 1, y0 + 1));
}

struct Fixture {
  Fixture() {
    device = MTLCreateSystemDefaultDevice();
    queue = device->newCommandQueue();
    auto made = SubRectExtractorMetal::Make(device);
    EXPECT_TRUE(made.ok()) << made.status();
    extractor = std::move(made).value();
    auto made_cache = MetalTextureCache::Make(device);
    EXPECT_TRUE(made_cache.ok());
    cache.emplace(std::move(made_cache).value());
  }

  // Runs the crop into a new buffer and returns the output as floats, four per texel.
  std::vector<float> Crop(CVPixelBufferRef pixels, tflite::gpu::HW size,
                          const utils::RotatedRect& rect, bool flip, float alpha, float beta) {
    auto texture = MetalTexture::Make(cache->cache(), pixels, 0,
                                      static_cast<int>(CVPixelBufferGetWidth(pixels)),
                                      static_cast<int>(CVPixelBufferGetHeight(pixels)));
    EXPECT_TRUE(texture.ok()) << texture.status();
    auto buffer = MetalBuffer::Make(device, size.h * size.w * 8);
    EXPECT_TRUE(buffer.ok());
    auto commands = MetalCommandBuffer::Make(queue);
    EXPECT_OK(extractor->Execute(&*commands, *texture, size, rect, flip, alpha, beta, &*buffer));
    commands->CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);
    std::vector<float> out(size.h * size.w * 4);
    const auto* halves = static_cast<const uint16_t*>(buffer->buffer()->contents());
    for (size_t i = 0; i < out.size(); ++i) out[i] = platform::metal::HalfToFloat(halves[i]);
    return out;
  }

  std::shared_ptr<MTLDevice> device;
  std::shared_ptr<MTLCommandQueue> queue;
  std::unique_ptr<SubRectExtractorMetal> extractor;
  std::optional<MetalTextureCache> cache;
};

struct CropCase {
  const char* name;
  utils::RotatedRect rect;
  int out_w, out_h;
  bool flip;
};

void PrintTo(const CropCase& c, std::ostream* os) { *os << c.name; }

class CropTest : public testing::TestWithParam<CropCase> {};

TEST_P(CropTest, MatchesBilinearReference) {
  const CropCase& c = GetParam();
  Fixture f;
  Frame frame;
  const float alpha = 2.0f, beta = -1.0f;
  const std::vector<float> out =
      f.Crop(frame.pixels, tflite::gpu::HW(c.out_h, c.out_w), c.rect, c.flip, alpha, beta);
  const float s = c.flip ? -1.0f : 1.0f;
  const float cos_t = std::cos(c.rect.rotation), sin_t = std::sin(c.rect.rotation);
  for (int j = 0; j < c.out_h; ++j) {
    for (int i = 0; i < c.out_w; ++i) {
      const float du = (i + 0.5f) / c.out_w - 0.5f, dv = (j + 0.5f) / c.out_h - 0.5f;
      const float x = c.rect.center_x + s * c.rect.width * du * cos_t - c.rect.height * dv * sin_t;
      const float y = c.rect.center_y + s * c.rect.width * du * sin_t + c.rect.height * dv * cos_t;
      for (int ch = 0; ch < 3; ++ch) {
        const float expected = alpha * Bilinear(x, y, ch) + beta;
        ASSERT_NEAR(out[(j * c.out_w + i) * 4 + ch], expected, 2e-3f)
            << "texel " << i << "," << j << " channel " << ch;
      }
      ASSERT_EQ(out[(j * c.out_w + i) * 4 + 3], 0.0f);
    }
  }
}

constexpr float kPi = 3.14159265358979f;

INSTANTIATE_TEST_SUITE_P(
    Rects, CropTest,
    testing::Values(
        CropCase{"Identity", {kWidth / 2.0f, kHeight / 2.0f, kWidth, kHeight, 0}, kWidth, kHeight,
                 false},
        CropCase{"Mirror", {kWidth / 2.0f, kHeight / 2.0f, kWidth, kHeight, 0}, kWidth, kHeight,
                 true},
        CropCase{"QuarterTurn", {20, 15, 24, 16, kPi / 2}, 12, 8, false},
        CropCase{"TiltedPastTheEdge", {30, 8, 22, 18, 0.4f}, 16, 16, true},
        CropCase{"Downscaled", {21, 14, 36, 26, 0}, 9, 7, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CropTest, IdentityCopiesTexelsAndQuarterTurnWalksDownTheInput) {
  Fixture f;
  Frame frame;
  const auto identity =
      f.Crop(frame.pixels, tflite::gpu::HW(kHeight, kWidth),
             {kWidth / 2.0f, kHeight / 2.0f, kWidth, kHeight, 0}, false, 1.0f, 0.0f);
  EXPECT_NEAR(identity[(7 * kWidth + 11) * 4 + 0], Channel(11, 7, 0) / 255.0f, 1e-3f);
  // Upright crop of a square region turned by a quarter: the output's row runs down the input
  // column x = 20 (red is constant along it, green grows).
  const auto turned = f.Crop(frame.pixels, tflite::gpu::HW(10, 10), {20, 15, 10, 10, kPi / 2},
                             false, 1.0f, 0.0f);
  for (int i = 1; i < 10; ++i) {
    EXPECT_GT(turned[(5 * 10 + i) * 4 + 1], turned[(5 * 10 + i - 1) * 4 + 1]) << i;
  }
}

TEST(CropTest, AlphaAndBetaMapTheInputRange) {
  Fixture f;
  CVPixelBufferRef pixels =
      MakePixels(4, 4, kCVPixelFormatType_64RGBAHalf, [](int, uint8_t* row) {
        for (int x = 0; x < 4; ++x) {
          auto* p = reinterpret_cast<uint16_t*>(row) + 4 * x;
          p[0] = platform::metal::FloatToHalf(0.0f);
          p[1] = platform::metal::FloatToHalf(0.5f);
          p[2] = platform::metal::FloatToHalf(1.0f);
          p[3] = platform::metal::FloatToHalf(1.0f);
        }
      });
  const auto out = f.Crop(pixels, tflite::gpu::HW(2, 2), {2, 2, 4, 4, 0}, false, 2.0f, -1.0f);
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(out[t * 4 + 0], -1.0f);
    EXPECT_EQ(out[t * 4 + 1], 0.0f);
    EXPECT_EQ(out[t * 4 + 2], 1.0f);
    EXPECT_EQ(out[t * 4 + 3], 0.0f);  // no alpha texture
  }
  CVPixelBufferRelease(pixels);
}

TEST(CropTest, SamplesAreRoundedToHalvesBeforeScaling) {
  // One texel per byte value; the identity crop samples texel centres exactly.
  Fixture f;
  CVPixelBufferRef pixels = MakePixels(256, 1, kCVPixelFormatType_32BGRA, [](int, uint8_t* row) {
    for (int x = 0; x < 256; ++x) row[4 * x + 2] = static_cast<uint8_t>(x);  // red
  });
  auto texture = MetalTexture::Make(f.cache->cache(), pixels, 0, 256, 1);
  ASSERT_TRUE(texture.ok());
  const float alpha = 3.0f, beta = -0.5f;
  const auto out = f.Crop(pixels, tflite::gpu::HW(1, 256), {128, 0.5f, 256, 1, 0}, false, alpha,
                          beta);
  auto half = [](float v) {
    return platform::metal::HalfToFloat(platform::metal::FloatToHalf(v));
  };
  for (int x = 0; x < 256; ++x) {
    const float sample = texture->texture()->readTexel(x, 0)[0];
    ASSERT_EQ(out[4 * x], half(alpha * half(sample) + beta)) << x;
  }
  CVPixelBufferRelease(pixels);
}

TEST(CropTest, AlphaTextureFillsTheFourthChannel) {
  Fixture f;
  Frame frame;
  auto texture = MetalTexture::Make(f.cache->cache(), frame.pixels, 0, kWidth, kHeight);
  ASSERT_TRUE(texture.ok());
  auto buffer = MetalBuffer::Make(f.device, 4 * 4 * 8);
  auto commands = MetalCommandBuffer::Make(f.queue);
  ASSERT_OK(f.extractor->Execute(&*commands, *texture, *texture, tflite::gpu::HW(4, 4),
                                 {20, 15, 8, 8, 0}, false, 1.0f, 0.0f, &*buffer));
  commands->CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);
  const auto* halves = static_cast<const uint16_t*>(buffer->buffer()->contents());
  EXPECT_EQ(platform::metal::HalfToFloat(halves[3]), 1.0f);
}

TEST(CropTest, BadArgumentsEncodeNothing) {
  Fixture f;
  Frame frame;
  auto texture = MetalTexture::Make(f.cache->cache(), frame.pixels, 0, kWidth, kHeight);
  ASSERT_TRUE(texture.ok());
  auto buffer = MetalBuffer::Make(f.device, 64);
  const utils::RotatedRect rect{20, 15, 8, 8, 0};
  auto no_commands = f.extractor->Execute(nullptr, *texture, tflite::gpu::HW(2, 2), rect, false,
                                          1, 0, &*buffer);
  EXPECT_NE(no_commands.message().find("command_buffer != nullptr"), std::string::npos);
  auto commands = MetalCommandBuffer::Make(f.queue);
  // 64 x 64 half texels do not fit in one page: no texture view can be made.
  auto too_big = f.extractor->Execute(&*commands, *texture, tflite::gpu::HW(64, 64), rect, false,
                                      1, 0, &*buffer);
  EXPECT_NE(too_big.message().find("output_texture != nil"), std::string::npos);
  commands->CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);
  EXPECT_EQ(static_cast<const uint16_t*>(buffer->buffer()->contents())[0], 0);
}

// Rectangles whose transform puts NaN, infinite or far-off positions into the shader: every
// form of the crop holds them to the input's edges alike.
TEST(CropTest, DegenerateRectsGiveThePerPixelBits) {
  Fixture f;
  Frame frame;
  auto per_pixel = SubRectExtractorMetal::MakePerPixel(f.device);
  ASSERT_TRUE(per_pixel.ok()) << per_pixel.status();
  auto texture = MetalTexture::Make(f.cache->cache(), frame.pixels, 0, kWidth, kHeight);
  ASSERT_TRUE(texture.ok());
  const struct {
    const char* name;
    utils::RotatedRect rect;
  } cases[] = {
      {"NaN angle", {20, 15, 8, 8, NAN}},
      {"infinite width", {20, 15, INFINITY, 8, 0.3f}},
      {"NaN centre", {NAN, 15, 8, 8, 0}},
      {"empty", {20, 15, 0, 0, 0}},
      {"far off", {-1e30f, 1e30f, 8, 8, 1.0f}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> results[2];
    SubRectExtractorMetal* extractors[2] = {f.extractor.get(), per_pixel->get()};
    for (int k = 0; k < 2; ++k) {
      const tflite::gpu::HW size(5, 19);
      auto buffer = MetalBuffer::Make(f.device, size.h * size.w * 8);
      ASSERT_TRUE(buffer.ok());
      auto commands = MetalCommandBuffer::Make(f.queue);
      ASSERT_OK(extractors[k]->Execute(&*commands, *texture, size, c.rect, false, 2.0f, -1.0f, &*buffer));
      commands->CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);
      const auto* contents = static_cast<const uint8_t*>(buffer->buffer()->contents());
      results[k].assign(contents, contents + size.h * size.w * 8);
    }
    EXPECT_EQ(results[0], results[1]) << c.name;
  }
}

// Random bytes for 8-bit channels; for float and half channels random values around the
// [0, 1] range, with now and then an infinity, a NaN, a huge or a tiny value.
void FillRandomly(CVPixelBufferRef pixels, std::mt19937& random) {
  const OSType format = CVPixelBufferGetPixelFormatType(pixels);
  const size_t planes = std::max<size_t>(1, CVPixelBufferGetPlaneCount(pixels));
  std::uniform_real_distribution<float> value(-0.5f, 1.5f);
  const float specials[] = {INFINITY, -INFINITY, NAN, 7e4f, 1e-6f, -0.0f};
  const auto random_float = [&] {
    return random() % 50 == 0 ? specials[random() % std::size(specials)] : value(random);
  };
  CVPixelBufferLockBaseAddress(pixels, 0);
  for (size_t plane = 0; plane < planes; ++plane) {
    const bool planar = CVPixelBufferGetPlaneCount(pixels) > 0;
    auto* base = static_cast<uint8_t*>(planar ? CVPixelBufferGetBaseAddressOfPlane(pixels, plane)
                                              : CVPixelBufferGetBaseAddress(pixels));
    const size_t bytes = (planar ? CVPixelBufferGetBytesPerRowOfPlane(pixels, plane)
                                 : CVPixelBufferGetBytesPerRow(pixels)) *
                         (planar ? CVPixelBufferGetHeightOfPlane(pixels, plane)
                                 : CVPixelBufferGetHeight(pixels));
    if (format == kCVPixelFormatType_OneComponent32Float) {
      for (size_t i = 0; i + 4 <= bytes; i += 4) {
        const float f = random_float();
        std::memcpy(base + i, &f, 4);
      }
    } else if (format == kCVPixelFormatType_64RGBAHalf ||
               format == kCVPixelFormatType_TwoComponent16Half) {
      for (size_t i = 0; i + 2 <= bytes; i += 2) {
        const uint16_t h = platform::metal::FloatToHalf(random_float());
        std::memcpy(base + i, &h, 2);
      }
    } else {
      for (size_t i = 0; i < bytes; ++i) base[i] = static_cast<uint8_t>(random());
    }
  }
  CVPixelBufferUnlockBaseAddress(pixels, 0);
}

// The crop shades a row's run of pixels per call; the result must be the per-pixel result bit
// for bit, for every input format, rotation, flip, scale, colour mapping and output size.
TEST(CropTest, RowRunsGiveThePerPixelBits) {
  Fixture f;
  auto per_pixel = SubRectExtractorMetal::MakePerPixel(f.device);
  ASSERT_TRUE(per_pixel.ok()) << per_pixel.status();
  struct Input {
    OSType format;
    int plane;
  };
  const Input inputs[] = {
      {kCVPixelFormatType_32BGRA, 0},
      {kCVPixelFormatType_64RGBAHalf, 0},
      {kCVPixelFormatType_OneComponent8, 0},
      {kCVPixelFormatType_OneComponent32Float, 0},
      {kCVPixelFormatType_TwoComponent16Half, 0},
      {kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 0},
      {kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 1},
  };
  std::mt19937 random(14);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (const Input& input : inputs) {
    const int width = 9 + static_cast<int>(random() % 60), height = 7 + static_cast<int>(random() % 50);
    CVPixelBufferRef pixels = nullptr;
    ASSERT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, width, height, input.format, nullptr, &pixels),
              kCVReturnSuccess);
    FillRandomly(pixels, random);
    const int plane_width = input.plane == 0 ? width : (width + 1) / 2;
    const int plane_height = input.plane == 0 ? height : (height + 1) / 2;
    auto texture = MetalTexture::Make(f.cache->cache(), pixels, input.plane, plane_width, plane_height);
    ASSERT_TRUE(texture.ok()) << texture.status();
    for (int trial = 0; trial < 24; ++trial) {
      // Output sizes of one texel, odd and even ones, some wider than the input.
      const tflite::gpu::HW size(1 + static_cast<int>(random() % 40), 1 + static_cast<int>(random() % 40));
      const utils::RotatedRect rect{(unit(random) * 1.4f - 0.2f) * plane_width,
                                    (unit(random) * 1.4f - 0.2f) * plane_height,
                                    (0.05f + unit(random) * 1.5f) * plane_width,
                                    (0.05f + unit(random) * 1.5f) * plane_height,
                                    trial % 4 == 0 ? kPi / 2 * (trial / 4 % 4) : (unit(random) - 0.5f) * 4 * kPi};
      const bool flip = random() % 2 == 0;
      const float alpha = (unit(random) - 0.3f) * 4, beta = (unit(random) - 0.5f) * 2;
      const bool with_alpha_texture = trial % 5 == 1;
      std::vector<uint8_t> results[2];
      SubRectExtractorMetal* extractors[2] = {f.extractor.get(), per_pixel->get()};
      for (int k = 0; k < 2; ++k) {
        const size_t bytes = static_cast<size_t>(size.h) * size.w * 8;
        auto buffer = MetalBuffer::Make(f.device, bytes);
        ASSERT_TRUE(buffer.ok());
        std::memset(buffer->buffer()->contents(), 0xAB, bytes);
        auto commands = MetalCommandBuffer::Make(f.queue);
        if (with_alpha_texture) {
          ASSERT_OK(extractors[k]->Execute(&*commands, *texture, *texture, size, rect, flip, alpha, beta,
                                           &*buffer));
        } else {
          ASSERT_OK(extractors[k]->Execute(&*commands, *texture, size, rect, flip, alpha, beta, &*buffer));
        }
        commands->CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);
        const auto* contents = static_cast<const uint8_t*>(buffer->buffer()->contents());
        results[k].assign(contents, contents + bytes);
      }
      ASSERT_EQ(results[0], results[1]) << "format " << input.format << " plane " << input.plane << " trial "
                                        << trial << " size " << size.w << "x" << size.h;
    }
    CVPixelBufferRelease(pixels);
  }
}

}  // namespace
}  // namespace research::sorvanti::api::internal
