#include "gpu/gl_quad_renderer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "absl/strings/str_split.h"
#include "gmock/gmock.h"
#include "gpu/gl_context.h"
#include "gpu/gl_simple_shaders.h"
#include "gpu/shader_util.h"
#include "gpu/testing/file_log_sink.h"
#include "gpu/testing/run_in_gl.h"
#include "gtest/gtest.h"
#include "platform/eagl/eagl.h"

namespace pellumo {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::SizeIs;
using ::testing::StartsWith;

// ---------------------------------------------------------------------------------------------
// Conversions

TEST(FrameRotationTest, FromInt) {
  struct Case {
    int degrees;
    FrameRotation expected;
  };
  const Case cases[] = {
      {0, FrameRotation::kNone},    {90, FrameRotation::k90},    {180, FrameRotation::k180},
      {270, FrameRotation::k270},   {360, FrameRotation::kNone}, {450, FrameRotation::k90},
      {-90, FrameRotation::kNone},  {-180, FrameRotation::kNone}, {-270, FrameRotation::kNone},
      {-360, FrameRotation::kNone}, {-630, FrameRotation::kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.degrees);
    FrameRotation rotation = FrameRotation::k180;
    ASSERT_TRUE(FrameRotationFromInt(&rotation, c.degrees).ok());
    EXPECT_EQ(rotation, c.expected);
  }
  for (int degrees : {45, -45, 1, 91, 359}) {
    SCOPED_TRACE(degrees);
    FrameRotation rotation = FrameRotation::k180;
    const absl::Status status = FrameRotationFromInt(&rotation, degrees);
    EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
    EXPECT_THAT(std::string(status.message()), HasSubstr("degrees_ccw % 90 == 0"));
    EXPECT_THAT(std::string(status.message()), EndsWith("rotation must be a multiple of 90; " +
                                                        std::to_string(degrees) + " was provided"));
    EXPECT_EQ(rotation, FrameRotation::k180);
  }
}

TEST(FrameRotationTest, FromDegreesKnowsOnlyTheThreeTurns) {
  EXPECT_EQ(FrameRotationFromDegrees(90), FrameRotation::k90);
  EXPECT_EQ(FrameRotationFromDegrees(180), FrameRotation::k180);
  EXPECT_EQ(FrameRotationFromDegrees(270), FrameRotation::k270);
  for (int degrees : {0, 360, -90, 45, 450}) {
    EXPECT_EQ(FrameRotationFromDegrees(degrees), FrameRotation::kNone) << degrees;
  }
}

TEST(FrameScaleModeTest, FromProto) {
  struct Case {
    int proto_value;
    FrameScaleMode default_mode, expected;
  };
  const Case cases[] = {
      {ScaleMode::DEFAULT, FrameScaleMode::kFit, FrameScaleMode::kFit},
      {ScaleMode::DEFAULT, FrameScaleMode::kStretch, FrameScaleMode::kStretch},
      {ScaleMode::STRETCH, FrameScaleMode::kFit, FrameScaleMode::kStretch},
      {ScaleMode::FIT, FrameScaleMode::kStretch, FrameScaleMode::kFit},
      {ScaleMode::FILL_AND_CROP, FrameScaleMode::kStretch, FrameScaleMode::kFillAndCrop},
      // A value outside the enumeration (kept by proto2 as an unknown field, or cast).
      {7, FrameScaleMode::kFillAndCrop, FrameScaleMode::kFillAndCrop},
      {-1, FrameScaleMode::kFit, FrameScaleMode::kFit},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FrameScaleModeFromProto(static_cast<ScaleMode_Mode>(c.proto_value), c.default_mode),
              c.expected)
        << c.proto_value;
  }
}

// ---------------------------------------------------------------------------------------------
// Rendering on Mesa

// An RGBA8 image, row 0 first in memory (the top row as a pixel buffer is shown).
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // R, G, B, A bytes in memory order

  Image(int w, int h, uint32_t fill = 0) : width(w), height(h), pixels(w * h, fill) {}
  uint32_t& at(int x, int y) { return pixels[y * width + x]; }
  uint32_t at(int x, int y) const { return pixels[y * width + x]; }
};

uint32_t Rgba(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  return r | (g << 8) | (b << 16) | (static_cast<uint32_t>(a) << 24);
}

// A frame whose every pixel has its own colour.
Image DistinctFrame(int width, int height) {
  Image frame(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) frame.at(x, y) = Rgba(20 + 50 * x, 20 + 50 * y, 200, 255);
  }
  return frame;
}

// The image turned counter-clockwise by a quarter, as seen with row 0 at the top: the
// top-right corner goes to the top left.
Image TurnCounterClockwise(const Image& in) {
  Image out(in.height, in.width);
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) out.at(x, y) = in.at(in.width - 1 - y, x);
  }
  return out;
}

Image MirrorRows(const Image& in) {
  Image out(in.width, in.height);
  for (int y = 0; y < in.height; ++y) {
    for (int x = 0; x < in.width; ++x) out.at(x, y) = in.at(x, in.height - 1 - y);
  }
  return out;
}

Image MirrorColumns(const Image& in) {
  Image out(in.width, in.height);
  for (int y = 0; y < in.height; ++y) {
    for (int x = 0; x < in.width; ++x) out.at(x, y) = in.at(in.width - 1 - x, y);
  }
  return out;
}

struct Drawing {
  FrameScaleMode mode;
  int quarter_turns;  // counter-clockwise
  bool flip_horizontal, flip_vertical, flip_texture;
  int view_width, view_height;

  std::string Name() const {
    static const char* const kModes[] = {"stretch", "fit", "fill"};
    char text[96];
    std::snprintf(text, sizeof(text), "%s rot%d%s%s%s view %dx%d", kModes[static_cast<int>(mode)],
                  quarter_turns * 90, flip_horizontal ? " flipH" : "",
                  flip_vertical ? " flipV" : "", flip_texture ? " flipTex" : "", view_width,
                  view_height);
    return text;
  }
};

// Where each frame pixel should land, worked out from what the options mean (image operations
// and the aspect-ratio rule), not from the renderer's vertex tables or scale vector. Pixels the
// quad does not cover keep `background`. Fails the test when a destination pixel centre falls
// so close to a frame texel edge that nearest sampling could go either way: the sizes of the
// case must then be changed.
Image ExpectedDrawing(const Image& frame, const Drawing& d, uint32_t background) {
  Image turned = d.flip_texture ? MirrorRows(frame) : frame;
  for (int i = 0; i < d.quarter_turns; ++i) turned = TurnCounterClockwise(turned);

  double quad_width = d.view_width, quad_height = d.view_height;
  if (d.mode != FrameScaleMode::kStretch) {
    const double kx = double(d.view_width) / turned.width;
    const double ky = double(d.view_height) / turned.height;
    const double k = d.mode == FrameScaleMode::kFit ? std::min(kx, ky) : std::max(kx, ky);
    quad_width = turned.width * k;
    quad_height = turned.height * k;
  }
  const double x0 = (d.view_width - quad_width) / 2, y0 = (d.view_height - quad_height) / 2;

  Image out(d.view_width, d.view_height, background);
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      const double u = (x + 0.5 - x0) / quad_width * turned.width;
      const double v = (y + 0.5 - y0) / quad_height * turned.height;
      if (u < 0 || v < 0 || u >= turned.width || v >= turned.height) continue;
      if (std::abs(u - std::round(u)) < 1e-3 || std::abs(v - std::round(v)) < 1e-3) {
        ADD_FAILURE() << d.Name() << ": pixel (" << x << ", " << y << ") samples a texel edge";
      }
      out.at(x, y) = turned.at(int(u), int(v));
    }
  }
  if (d.flip_horizontal) out = MirrorColumns(out);
  if (d.flip_vertical) out = MirrorRows(out);
  return out;
}

std::string Hex(uint32_t rgba) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08x", rgba);
  return text;
}

// "" when equal, else where and how the images first differ.
std::string FirstDifference(const Image& actual, const Image& expected) {
  for (int y = 0; y < expected.height; ++y) {
    for (int x = 0; x < expected.width; ++x) {
      if (actual.at(x, y) != expected.at(x, y)) {
        return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") is " +
               Hex(actual.at(x, y)) + ", expected " + Hex(expected.at(x, y));
      }
    }
  }
  return "";
}

GLuint NewTexture(GLenum internal_format, GLenum format, GLenum type, int width, int height,
                  const void* pixels) {
  GLuint texture = 0;
  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_2D, texture);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexImage2D(GL_TEXTURE_2D, 0, internal_format, width, height, 0, format, type, pixels);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  glBindTexture(GL_TEXTURE_2D, 0);
  return texture;
}

GLuint NewRgbaTexture(const Image& image) {
  return NewTexture(GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE, image.width, image.height,
                    image.pixels.data());
}

// An RGBA8 destination with its framebuffer bound and the viewport set to it.
class Destination {
 public:
  Destination(int width, int height, uint32_t background) : width_(width), height_(height) {
    texture_ = NewRgbaTexture(Image(width, height, background));
    glGenFramebuffers(1, &framebuffer_);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture_, 0);
    glViewport(0, 0, width, height);
  }
  ~Destination() {
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &framebuffer_);
    glDeleteTextures(1, &texture_);
  }

  Image Read() const {
    Image image(width_, height_);
    glReadPixels(0, 0, width_, height_, GL_RGBA, GL_UNSIGNED_BYTE, image.pixels.data());
    return image;
  }

 private:
  int width_, height_;
  GLuint texture_ = 0, framebuffer_ = 0;
};

void BindToUnit(int unit, GLuint texture) {
  glActiveTexture(GL_TEXTURE0 + unit);
  glBindTexture(GL_TEXTURE_2D, texture);
  glActiveTexture(GL_TEXTURE0);
}

// The scale vector of the program GlRender left in use.
std::array<float, 4> CurrentScaleUniform() {
  GLint program = 0;
  glGetIntegerv(GL_CURRENT_PROGRAM, &program);
  std::array<float, 4> scale{};
  glGetUniformfv(program, glGetUniformLocation(program, "scale"), scale.data());
  return scale;
}

std::string ApiName(const ::testing::TestParamInfo<EAGLRenderingAPI>& info) {
  return info.param == kEAGLRenderingAPIOpenGLES3 ? "OpenGLES3" : "OpenGLES2";
}

// Runs on a context of the API of the parameter.
class QuadRendererTest : public ::testing::TestWithParam<EAGLRenderingAPI> {
 protected:
  void SetUp() override {
    std::unique_ptr<platform::eagl::ScopedRefuseOpenGLES3> refuse;
    if (GetParam() == kEAGLRenderingAPIOpenGLES2) {
      refuse = std::make_unique<platform::eagl::ScopedRefuseOpenGLES3>();
    }
    auto context = GlContext::Create(nullptr, false);
    ASSERT_TRUE(context.ok()) << context.status();
    context_ = *std::move(context);
    ASSERT_EQ(context_->platform_context()->API(), GetParam());
  }

  template <typename F>
  void InGl(F work) {
    testing::RunInGl(*context_, work);
  }

  std::shared_ptr<GlContext> context_;
};

INSTANTIATE_TEST_SUITE_P(Apis, QuadRendererTest,
                         ::testing::Values(kEAGLRenderingAPIOpenGLES3, kEAGLRenderingAPIOpenGLES2),
                         ApiName);

TEST_P(QuadRendererTest, DrawsEveryModeRotationAndFlipWherePixelsBelong) {
  const Image frame = DistinctFrame(4, 2);
  const uint32_t background = Rgba(0, 0, 0, 0);  // frame pixels are opaque
  const FrameRotation rotations[] = {FrameRotation::kNone, FrameRotation::k90, FrameRotation::k180,
                                     FrameRotation::k270};
  InGl([&] {
    QuadRenderer renderer;
    ASSERT_TRUE(renderer.GlSetup().ok());
    const GLuint texture = NewRgbaTexture(frame);
    BindToUnit(1, texture);
    int drawings = 0;
    for (FrameScaleMode mode :
         {FrameScaleMode::kStretch, FrameScaleMode::kFit, FrameScaleMode::kFillAndCrop}) {
      for (int turns = 0; turns < 4; ++turns) {
        for (int flips = 0; flips < 8; ++flips) {
          for (auto [view_width, view_height] : {std::pair{8, 8}, std::pair{16, 8}}) {
            const Drawing d{
                mode,       turns,      (flips & 1) != 0, (flips & 2) != 0, (flips & 4) != 0,
                view_width, view_height};
            Destination destination(view_width, view_height, background);
            ASSERT_TRUE(renderer
                            .GlRender(frame.width, frame.height, view_width, view_height, mode,
                                      rotations[turns], d.flip_horizontal, d.flip_vertical,
                                      d.flip_texture)
                            .ok());
            EXPECT_EQ(FirstDifference(destination.Read(), ExpectedDrawing(frame, d, background)),
                      "")
                << d.Name();
            ++drawings;
          }
        }
      }
    }
    EXPECT_EQ(drawings, 3 * 4 * 8 * 2);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    renderer.GlTeardown();
    glDeleteTextures(1, &texture);
  });
}

TEST_P(QuadRendererTest, ScaleVector) {
  struct Case {
    const char* name;
    FrameScaleMode mode;
    FrameRotation rotation;
    float view_width, view_height;
    bool flip_horizontal, flip_vertical;
    std::array<float, 4> expected;
  };
  // Frame 1280 x 720 throughout.
  const Case cases[] = {
      {"stretch",
       FrameScaleMode::kStretch,
       FrameRotation::kNone,
       720,
       720,
       false,
       false,
       {1, 1, 1, 1}},
      {"fit",
       FrameScaleMode::kFit,
       FrameRotation::kNone,
       720,
       720,
       false,
       false,
       {1, 0.5625f, 1, 1}},
      {"fill",
       FrameScaleMode::kFillAndCrop,
       FrameRotation::kNone,
       720,
       720,
       false,
       false,
       {1280.0f / 720.0f, 1, 1, 1}},
      {"fit turned",
       FrameScaleMode::kFit,
       FrameRotation::k90,
       720,
       1280,
       false,
       false,
       {1, 1, 1, 1}},
      {"fit turned back",
       FrameScaleMode::kFit,
       FrameRotation::k270,
       1280,
       720,
       false,
       false,
       {0.5625f * 0.5625f, 1, 1, 1}},
      {"flip horizontal",
       FrameScaleMode::kStretch,
       FrameRotation::kNone,
       720,
       720,
       true,
       false,
       {-1, 1, 1, 1}},
      {"flip vertical",
       FrameScaleMode::kStretch,
       FrameRotation::k180,
       720,
       720,
       false,
       true,
       {1, -1, 1, 1}},
      {"fit flipped both",
       FrameScaleMode::kFit,
       FrameRotation::kNone,
       720,
       720,
       true,
       true,
       {-1, -0.5625f, 1, 1}},
  };
  InGl([&] {
    QuadRenderer renderer;
    ASSERT_TRUE(renderer.GlSetup().ok());
    Destination destination(4, 4, 0);
    for (const Case& c : cases) {
      ASSERT_TRUE(renderer
                      .GlRender(1280, 720, c.view_width, c.view_height, c.mode, c.rotation,
                                c.flip_horizontal, c.flip_vertical, false)
                      .ok());
      const std::array<float, 4> scale = CurrentScaleUniform();
      for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(scale[i], c.expected[i]) << c.name << " " << i;
    }
    renderer.GlTeardown();
  });
}

// Y'CbCr to RGB as the conversion matrix says, in 0..255.
std::array<int, 3> ExpectedRgb(uint8_t y8, uint8_t u8, uint8_t v8) {
  const double y = y8 / 255.0, u = u8 / 255.0 - 0.5, v = v8 / 255.0 - 0.5;
  const double rgb[3] = {y + 1.57481 * v, y - 0.18732 * u - 0.46813 * v, y + 1.8556 * u};
  std::array<int, 3> out{};
  for (int i = 0; i < 3; ++i) out[i] = int(std::lround(std::clamp(rgb[i], 0.0, 1.0) * 255));
  return out;
}

TEST_P(QuadRendererTest, ConvertsBiPlanarYuvReadingLumaFromUnitOneAndChromaFromUnitTwo) {
  // OpenGL ES 2 has one- and two-channel textures through GL_EXT_texture_rg, unsized.
  const bool es3 = GetParam() == kEAGLRenderingAPIOpenGLES3;
  struct Yuv {
    uint8_t y, u, v;
  };
  const Yuv samples[] = {{128, 128, 128}, {235, 16, 240}, {16, 240, 16},
                         {180, 90, 200},  {0, 0, 0},      {255, 255, 255}};
  InGl([&] {
    QuadRenderer renderer;
    ASSERT_TRUE(
        renderer.GlSetup(kYUV2TexToRGBFragmentShader, {"video_frame_y", "video_frame_uv"}).ok());
    for (const Yuv& s : samples) {
      SCOPED_TRACE(::testing::PrintToString(std::array<int, 3>{s.y, s.u, s.v}));
      // A 4 x 4 luma plane and its 2 x 2 chroma plane, both constant.
      const std::vector<uint8_t> luma(16, s.y);
      std::vector<uint8_t> chroma;
      for (int i = 0; i < 4; ++i) chroma.insert(chroma.end(), {s.u, s.v});
      const GLuint y_texture =
          NewTexture(es3 ? GL_R8 : GL_RED, GL_RED, GL_UNSIGNED_BYTE, 4, 4, luma.data());
      const GLuint uv_texture =
          NewTexture(es3 ? GL_RG8 : GL_RG, GL_RG, GL_UNSIGNED_BYTE, 2, 2, chroma.data());
      BindToUnit(1, y_texture);
      BindToUnit(2, uv_texture);
      Destination destination(4, 4, 0);
      ASSERT_TRUE(renderer
                      .GlRender(4, 4, 4, 4, FrameScaleMode::kStretch, FrameRotation::kNone, false,
                                false, false)
                      .ok());
      const Image out = destination.Read();
      const std::array<int, 3> expected = ExpectedRgb(s.y, s.u, s.v);
      for (uint32_t pixel : out.pixels) {
        for (int c = 0; c < 3; ++c)
          EXPECT_NEAR(int((pixel >> (8 * c)) & 0xff), expected[c], 1) << c;
        EXPECT_EQ(pixel >> 24, 255u);
      }
      glDeleteTextures(1, &y_texture);
      glDeleteTextures(1, &uv_texture);
    }
    renderer.GlTeardown();
  });
}

TEST_P(QuadRendererTest, EveryShaderSourceBuildsAProgram) {
  struct Case {
    const char* name;
    const char* vertex;
    const char* fragment;
    std::vector<const char*> uniforms;
  };
  const Case cases[] = {
      {"basic textured", kScaledVertexShader, kBasicTexturedFragmentShader, {"video_frame"}},
      {"yuv",
       kScaledVertexShader,
       kYUV2TexToRGBFragmentShader,
       {"video_frame_y", "video_frame_uv"}},
      {"flat color", kScaledVertexShader, kFlatColorFragmentShader, {"color"}},
      {"rgb weight", kScaledVertexShader, kRgbWeightFragmentShader, {"video_frame", "weights"}},
      {"basic vertex", kBasicVertexShader, kBasicTexturedFragmentShader, {"video_frame"}},
      {"external image", kBasicVertexShader, kBasicTexturedFragmentShaderOES, {"video_frame"}},
  };
  testing::FileLogSink sink("shader_util.cc");
  InGl([&] {
    const std::vector<std::string> extensions =
        absl::StrSplit(reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS)), ' ');
    const bool has_external_image = std::find(extensions.begin(), extensions.end(),
                                              "GL_OES_EGL_image_external") != extensions.end();
    for (const Case& c : cases) {
      if (c.fragment == kBasicTexturedFragmentShaderOES && !has_external_image) continue;
      SCOPED_TRACE(c.name);
      const GLchar* names[] = {"position", "texture_coordinate"};
      const GLint locations[] = {0, 1};
      GLuint program = 0;
      ASSERT_TRUE(GlhCreateProgram(c.vertex, c.fragment, 2, names, locations, &program));
      for (const char* uniform : c.uniforms) {
        EXPECT_NE(glGetUniformLocation(program, uniform), -1) << uniform;
      }
      glDeleteProgram(program);
    }
  });
  EXPECT_THAT(sink.lines(), ::testing::IsEmpty());
}

TEST_P(QuadRendererTest, RgbWeightShaderScalesEachChannel) {
  const Image frame(2, 2, Rgba(200, 100, 50, 255));
  InGl([&] {
    QuadRenderer renderer;
    ASSERT_TRUE(renderer.GlSetup(kRgbWeightFragmentShader, {"video_frame"}).ok());
    const GLuint texture = NewRgbaTexture(frame);
    BindToUnit(1, texture);
    Destination destination(2, 2, 0);
    // The first draw puts the program in use, so that its weights can be set.
    ASSERT_TRUE(renderer
                    .GlRender(2, 2, 2, 2, FrameScaleMode::kStretch, FrameRotation::kNone, false,
                              false, false)
                    .ok());
    GLint program = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &program);
    glUniform3f(glGetUniformLocation(program, "weights"), 0.5f, 1.0f, 2.0f);
    ASSERT_TRUE(renderer
                    .GlRender(2, 2, 2, 2, FrameScaleMode::kStretch, FrameRotation::kNone, false,
                              false, false)
                    .ok());
    for (uint32_t pixel : destination.Read().pixels)
      EXPECT_EQ(Hex(pixel), Hex(Rgba(100, 100, 100, 255)));
    renderer.GlTeardown();
    glDeleteTextures(1, &texture);
  });
}

TEST_P(QuadRendererTest, DrawsFromItsOwnTablesWhenABufferIsBound) {
  const Image frame = DistinctFrame(4, 2);
  InGl([&] {
    QuadRenderer renderer;
    ASSERT_TRUE(renderer.GlSetup().ok());
    const GLuint texture = NewRgbaTexture(frame);
    BindToUnit(1, texture);
    // Earlier GL work left a (small) vertex buffer bound.
    GLuint buffer = 0;
    glGenBuffers(1, &buffer);
    glBindBuffer(GL_ARRAY_BUFFER, buffer);
    const float junk[4] = {9, 9, 9, 9};
    glBufferData(GL_ARRAY_BUFFER, sizeof(junk), junk, GL_STATIC_DRAW);

    Destination destination(8, 8, 0);
    ASSERT_TRUE(
        renderer.GlRender(4, 2, 8, 8, FrameScaleMode::kFit, FrameRotation::k90, false, false, false)
            .ok());
    const Drawing d{FrameScaleMode::kFit, 1, false, false, false, 8, 8};
    EXPECT_EQ(FirstDifference(destination.Read(), ExpectedDrawing(frame, d, 0)), "");
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    glDeleteBuffers(1, &buffer);
    glDeleteTextures(1, &texture);
    renderer.GlTeardown();
  });
}

TEST_P(QuadRendererTest, SetupAndRenderErrors) {
  InGl([&] {
    QuadRenderer renderer;
    absl::Status status = renderer.GlRender(4, 4, 4, 4, FrameScaleMode::kStretch,
                                            FrameRotation::kNone, false, false, false);
    EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
    EXPECT_THAT(std::string(status.message()), HasSubstr("program_"));
    EXPECT_THAT(std::string(status.message()),
                EndsWith("Must setup the program before rendering."));

    // A missing frame uniform fails, but the program stays and can draw.
    status = renderer.GlSetup(kBasicTexturedFragmentShader, {"video_frame", "no_such_frame"});
    EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
    EXPECT_THAT(std::string(status.message()), HasSubstr("frame_unifs_[i] != -1"));
    EXPECT_THAT(std::string(status.message()), EndsWith("could not find uniform 'no_such_frame'"));
    Destination destination(4, 4, 0);
    EXPECT_TRUE(renderer
                    .GlRender(4, 4, 4, 4, FrameScaleMode::kStretch, FrameRotation::kNone, false,
                              false, false)
                    .ok());
    GLint program = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &program);
    renderer.GlTeardown();
    glUseProgram(0);
    EXPECT_FALSE(glIsProgram(program));
    EXPECT_THAT(renderer
                    .GlRender(4, 4, 4, 4, FrameScaleMode::kStretch, FrameRotation::kNone, false,
                              false, false)
                    .ToString(),
                EndsWith("Must setup the program before rendering."));
    renderer.GlTeardown();  // nothing left to delete

    // A fragment shader that does not compile leaves no program; the reason is in the log.
    testing::FileLogSink sink("shader_util.cc");
    QuadRenderer broken;
    status = broken.GlSetup("void main() { gl_FragColor = vec4(1.0) }", {});
    EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
    EXPECT_THAT(std::string(status.message()), EndsWith("Problem initializing the program."));
    ASSERT_THAT(sink.lines(), SizeIs(2));
    EXPECT_THAT(sink.lines()[0], StartsWith("E Failed to compile shader:\n"));
    EXPECT_THAT(broken
                    .GlRender(4, 4, 4, 4, FrameScaleMode::kStretch, FrameRotation::kNone, false,
                              false, false)
                    .ToString(),
                EndsWith("Must setup the program before rendering."));
  });
}

}  // namespace
}  // namespace pellumo
