#include "gpu/gl_calculator_helper.h"

#include <GLES2/gl2ext.h>
#include <GLES3/gl31.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gpu/gpu_resources.h"
#include "graph/packet.h"
#include "graph_config/tag_map.h"
#include "gtest/gtest.h"
#include "platform/eagl/eagl.h"
#include "platform/foundation/assertion_handler.h"

namespace pellumo {
namespace {

using ::platform::foundation::RecordingAssertionHandler;
using ::platform::foundation::ScopedAssertionHandler;

std::string FormatName(GpuBufferFormat format) {
  const uint32_t code = static_cast<uint32_t>(format);
  if (code < 0x01000000) return std::to_string(code);
  return {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
          static_cast<char>(code >> 8), static_cast<char>(code)};
}

class GlCalculatorHelperTest : public ::testing::Test {
 protected:
  void SetUp() override { helper_.InitializeForTest(resources_.get()); }

  // Runs `work` in the helper's context and fails the test on an error.
  template <typename F>
  void InGl(F work) {
    const absl::Status status = helper_.RunInGlContext(work);
    ASSERT_TRUE(status.ok()) << status;
  }

  std::shared_ptr<GlGpuResources> resources_ = GlGpuResources::CreateGpuResourcesOrDie();
  GlCalculatorHelper helper_;
};

TEST(GlCalculatorHelperNoOpenTest, RunInGlContextBeforeOpenFailsWithoutRunning) {
  GlCalculatorHelper helper;
  bool ran = false;
  absl::Status status = helper.RunInGlContext([&]() -> absl::Status {
    ran = true;
    return absl::OkStatus();
  });
  EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
  EXPECT_EQ(status.message(), "helper not initialized");
  status = helper.RunInGlContext([&] { ran = true; });
  EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
  EXPECT_FALSE(ran);
  // The other operations need the binding too.
  EXPECT_DEATH(helper.framebuffer(), "helper not initialized");
}

TEST_F(GlCalculatorHelperTest, RunsInTheSharedContextAndReturnsTheWorksStatus) {
  GlContext* seen = nullptr;
  const absl::Status status = helper_.RunInGlContext([&]() -> absl::Status {
    seen = GlContext::GetCurrent().get();
    return absl::DataLossError("from the work");
  });
  EXPECT_EQ(status, absl::DataLossError("from the work"));
  EXPECT_EQ(seen, resources_->gl_context(SharedContextKey()).get());
  EXPECT_EQ(&helper_.GetGlContext(), seen);
  EXPECT_EQ(GlContext::GetCurrent(), nullptr);
}

// Every pool format maps, plane by plane, to a texture of the whole buffer's size with the
// standard sampling parameters, in OpenGL ES 3 and OpenGL ES 2 contexts (whose tables differ:
// 'L00f' is GL_R32F, and so sampled without filtering, only in ES 3).
TEST(GlCalculatorHelperFormatsTest, EveryPoolFormatMapsToATexturePerPlane) {
  struct Case {
    GpuBufferFormat format;
    int planes;
    GLint es3_filter;
  };
  const Case cases[] = {
      {GpuBufferFormat::kFormatBGRA, 1, GL_LINEAR},  {GpuBufferFormat::kFormatL008, 1, GL_LINEAR},
      {GpuBufferFormat::kFormatL00h, 1, GL_LINEAR},  {GpuBufferFormat::kFormatL00f, 1, GL_NEAREST},
      {GpuBufferFormat::kFormat2C0h, 1, GL_LINEAR},  {GpuBufferFormat::kFormatRGB24, 1, GL_LINEAR},
      {GpuBufferFormat::kFormatRGhA, 1, GL_LINEAR},  {GpuBufferFormat::kFormatRGfA, 1, GL_LINEAR},
      {GpuBufferFormat::kFormat420v, 2, GL_LINEAR},  {GpuBufferFormat::kFormat420f, 2, GL_LINEAR},
  };
  for (const bool es2 : {false, true}) {
    std::unique_ptr<platform::eagl::ScopedRefuseOpenGLES3> refuse_es3;
    if (es2) refuse_es3 = std::make_unique<platform::eagl::ScopedRefuseOpenGLES3>();
    std::shared_ptr<GlGpuResources> resources = GlGpuResources::CreateGpuResourcesOrDie();
    GlCalculatorHelper helper;
    helper.InitializeForTest(resources.get());
    auto failures = std::make_shared<RecordingAssertionHandler>();
    ScopedAssertionHandler scoped(failures);
    for (const Case& c : cases) {
      SCOPED_TRACE(FormatName(c.format) + (es2 ? " ES 2" : " ES 3"));
      GpuBuffer buffer = resources->gpu_buffer_pool().GetBuffer(64, 32, c.format);
      ASSERT_TRUE(helper
                      .RunInGlContext([&] {
                        for (int plane = 0; plane < c.planes; ++plane) {
                          GlTexture texture = helper.CreateSourceTexture(buffer, plane);
                          EXPECT_NE(texture.name(), 0u) << plane;
                          EXPECT_EQ(texture.target(), static_cast<GLenum>(GL_TEXTURE_2D));
                          EXPECT_EQ(texture.width(), 64);
                          EXPECT_EQ(texture.height(), 32);
                          EXPECT_EQ(texture.plane(), plane);
                          // Left bound on the active unit.
                          GLint bound = 0;
                          glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
                          EXPECT_EQ(static_cast<GLuint>(bound), texture.name());
                          GLint min_filter = 0, mag_filter = 0, wrap_s = 0, wrap_t = 0;
                          glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &min_filter);
                          glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, &mag_filter);
                          glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, &wrap_s);
                          glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, &wrap_t);
                          const GLint filter = es2 ? GL_LINEAR : c.es3_filter;
                          EXPECT_EQ(min_filter, filter);
                          EXPECT_EQ(mag_filter, filter);
                          EXPECT_EQ(wrap_s, GL_CLAMP_TO_EDGE);
                          EXPECT_EQ(wrap_t, GL_CLAMP_TO_EDGE);
                        }
                      })
                      .ok());
    }
    EXPECT_TRUE(failures->failures().empty());
  }
}

// The second plane of a 4:2:0 buffer is a texture of half the size, filled from the plane.
TEST_F(GlCalculatorHelperTest, ChromaPlaneTextureIsHalfSizeAndHoldsThePlane) {
  GpuBuffer buffer = resources_->gpu_buffer_pool().GetBuffer(64, 32, GpuBufferFormat::kFormat420f);
  const platform::corevideo::Plane chroma = platform::corevideo::GetPlane(buffer.pixel_buffer(), 1);
  ASSERT_EQ(chroma.width, 32u);
  for (size_t y = 0; y < chroma.height; ++y) {
    for (size_t x = 0; x < chroma.width; ++x) {
      chroma.data[y * chroma.bytes_per_row + 2 * x] = static_cast<uint8_t>(x);
      chroma.data[y * chroma.bytes_per_row + 2 * x + 1] = static_cast<uint8_t>(y);
    }
  }
  InGl([&] {
    GlTexture texture = helper_.CreateSourceTexture(buffer, 1);
    EXPECT_EQ(texture.width(), 64);
    GLint level_width = 0, level_height = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &level_width);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &level_height);
    EXPECT_EQ(level_width, 32);
    EXPECT_EQ(level_height, 16);
    // Read the texture through a framebuffer of our own.
    GLuint fbo = 0;
    glGenFramebuffers(1, &fbo);
    glBindFramebuffer(GL_FRAMEBUFFER, fbo);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture.name(), 0);
    ASSERT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER),
              static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
    std::vector<uint8_t> rgba(32 * 16 * 4);
    glReadPixels(0, 0, 32, 16, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    EXPECT_EQ(rgba[(15 * 32 + 31) * 4 + 0], 31);
    EXPECT_EQ(rgba[(15 * 32 + 31) * 4 + 1], 15);
    EXPECT_EQ(rgba[(3 * 32 + 5) * 4 + 0], 5);
    EXPECT_EQ(rgba[(3 * 32 + 5) * 4 + 1], 3);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &fbo);
  });
}

TEST_F(GlCalculatorHelperTest, ReleaseDeletesOnlyAGlNameTheTextureOwns) {
  GpuBuffer buffer = resources_->gpu_buffer_pool().GetBuffer(8, 8, GpuBufferFormat::kFormatBGRA);
  InGl([&] {
    GlTexture mapped = helper_.CreateSourceTexture(buffer);
    GlTexture copy = mapped;
    const GLuint name = mapped.name();
    mapped.Release();
    EXPECT_EQ(mapped.name(), 0u);
    EXPECT_EQ(mapped.width(), 0);
    EXPECT_EQ(mapped.height(), 0);
    EXPECT_EQ(mapped.target(), static_cast<GLenum>(GL_TEXTURE_2D));
    // The copy still holds the Core Video texture, and so the name.
    EXPECT_EQ(copy.name(), name);
    EXPECT_TRUE(glIsTexture(name));

    kaldren::ImageFrame frame(ImageFormat::GRAY8, 4, 4);
    frame.SetToZero();
    GlTexture owned = helper_.CreateSourceTexture(frame);
    const GLuint owned_name = owned.name();
    EXPECT_TRUE(glIsTexture(owned_name));
    owned.Release();
    EXPECT_FALSE(glIsTexture(owned_name));
  });
}

TEST_F(GlCalculatorHelperTest, CopyingATextureThatOwnsItsNameIsFatal) {
  EXPECT_DEATH(InGl([&] {
                 GlTexture owned(1, 2, 2);
                 GlTexture copy = owned;
               }),
               "a texture that owns its GL name cannot be copied");
}

TEST_F(GlCalculatorHelperTest, OneFramebufferServesEveryBinding) {
  InGl([&] {
    EXPECT_EQ(helper_.framebuffer(), 0u);
    GlTexture a = helper_.CreateDestinationTexture(16, 8, GpuBufferFormat::kFormatBGRA);
    const GLuint framebuffer = helper_.framebuffer();
    EXPECT_NE(framebuffer, 0u);
    GlTexture b = helper_.CreateDestinationTexture(4, 2, GpuBufferFormat::kFormatBGRA);
    for (const GlTexture* dst : {&a, &b}) {
      helper_.BindFramebuffer(*dst);
      EXPECT_EQ(helper_.framebuffer(), framebuffer);
      GLint bound = 0, attached = 0, unit = 0, texture = 0, viewport[4] = {};
      glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
      glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                            GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME, &attached);
      glGetIntegerv(GL_ACTIVE_TEXTURE, &unit);
      glGetIntegerv(GL_TEXTURE_BINDING_2D, &texture);
      glGetIntegerv(GL_VIEWPORT, viewport);
      EXPECT_EQ(static_cast<GLuint>(bound), framebuffer);
      EXPECT_EQ(static_cast<GLuint>(attached), dst->name());
      EXPECT_EQ(unit, GL_TEXTURE0);
      EXPECT_EQ(static_cast<GLuint>(texture), dst->name());
      EXPECT_THAT(viewport, ::testing::ElementsAre(0, 0, dst->width(), dst->height()));
      EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));
    }
  });
}

// What is drawn into a destination texture reaches the pooled buffer behind it: at once for
// an image frame read on the CPU, and for the GPU buffer once the texture is released.
TEST_F(GlCalculatorHelperTest, DestinationTextureDrawingReachesItsBuffer) {
  std::unique_ptr<GpuBuffer> output;
  std::unique_ptr<kaldren::ImageFrame> frame;
  InGl([&] {
    GlTexture dst = helper_.CreateDestinationTexture(4, 2, GpuBufferFormat::kFormatBGRA);
    helper_.BindFramebuffer(dst);
    glClearColor(1.0f, 0.0f, 0.0f, 1.0f);  // red
    glClear(GL_COLOR_BUFFER_BIT);
    frame = dst.GetFrame<kaldren::ImageFrame>();
    output = dst.GetFrame<GpuBuffer>();
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(output->pixel_buffer(), dst.GetFrame<GpuBuffer>()->pixel_buffer());
    glClearColor(0.0f, 0.0f, 1.0f, 1.0f);  // blue
    glClear(GL_COLOR_BUFFER_BIT);
    glFlush();
  });
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->Format(), ImageFormat::RGBA8);
  EXPECT_EQ(frame->Width(), 4);
  const uint8_t* rgba = frame->PixelData();
  EXPECT_THAT(std::vector<uint8_t>(rgba, rgba + 4), ::testing::ElementsAre(255, 0, 0, 255));
  // B, G, R, A in the buffer.
  const platform::corevideo::Plane plane = platform::corevideo::GetPlane(output->pixel_buffer(), 0);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 4; ++x) {
      const uint8_t* p = plane.data + y * plane.bytes_per_row + 4 * x;
      EXPECT_THAT(std::vector<uint8_t>(p, p + 4), ::testing::ElementsAre(255, 0, 0, 255))
          << x << "," << y;
    }
  }
}

TEST_F(GlCalculatorHelperTest, GetFrameOfATextureWithoutABufferIsReported) {
  auto failures = std::make_shared<RecordingAssertionHandler>();
  ScopedAssertionHandler scoped(failures);
  InGl([&] {
    kaldren::ImageFrame frame(ImageFormat::RGBA8, 2, 2);
    frame.SetToZero();
    GlTexture texture = helper_.CreateSourceTexture(frame);
    EXPECT_EQ(texture.GetFrame<GpuBuffer>(), nullptr);
    EXPECT_EQ(texture.GetFrame<kaldren::ImageFrame>(), nullptr);
  });
  ASSERT_EQ(failures->failures().size(), 2u);
  for (const auto& failure : failures->failures()) {
    EXPECT_TRUE(failure.in_method);
    EXPECT_EQ(failure.description, "gpu_buffer_ must be valid");
    EXPECT_EQ(failure.file, "gpu/gl_texture.cc");
  }
  EXPECT_EQ(failures->failures()[0].name, "pellumo::GlTexture::GetFrame");
}

// An image frame's padded rows arrive in the texture as the frame's pixels, channels in the
// frame's order, and the caller's unpack alignment is kept.
TEST_F(GlCalculatorHelperTest, ImageFrameTextureHoldsTheFramesPixels) {
  kaldren::ImageFrame frame(ImageFormat::RGBA8, 3, 2);  // 12-byte rows padded to 16
  ASSERT_EQ(frame.WidthStep(), 16);
  std::vector<uint8_t> expected;
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      const uint8_t pixel[4] = {static_cast<uint8_t>(10 + x), static_cast<uint8_t>(20 + y), 200,
                                255};
      std::memcpy(frame.MutablePixelData() + y * frame.WidthStep() + 4 * x, pixel, 4);
      expected.insert(expected.end(), pixel, pixel + 4);
    }
  }
  GlCalculatorHelperImpl impl(nullptr, resources_.get());
  ASSERT_TRUE(impl.RunInGlContext([&]() -> absl::Status {
                    glPixelStorei(GL_UNPACK_ALIGNMENT, 8);
                    GlTexture texture = impl.CreateSourceTexture(frame);
                    GLint alignment = 0;
                    glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
                    EXPECT_EQ(alignment, 8);
                    // ReadTexture needs a bound framebuffer; a destination's will do, and gets
                    // its attachment and viewport back.
                    GlTexture dst = impl.CreateDestinationTexture(5, 5, GpuBufferFormat::kFormatBGRA);
                    impl.BindFramebuffer(dst);
                    std::vector<uint8_t> read(3 * 2 * 4);
                    impl.ReadTexture(texture, read.data(), read.size());
                    EXPECT_EQ(read, expected);
                    GLint attached = 0, viewport[4] = {};
                    glGetFramebufferAttachmentParameteriv(
                        GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                        GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME, &attached);
                    glGetIntegerv(GL_VIEWPORT, viewport);
                    EXPECT_EQ(static_cast<GLuint>(attached), dst.name());
                    EXPECT_THAT(viewport, ::testing::ElementsAre(0, 0, 5, 5));
                    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
                    return absl::OkStatus();
                  })
                  .ok());
}

TEST_F(GlCalculatorHelperTest, CoreVideoFailureIsReportedWithItsCode) {
  auto failures = std::make_shared<RecordingAssertionHandler>();
  ScopedAssertionHandler scoped(failures);
  // The chroma plane of a one-pixel 4:2:0 buffer is half a texel wide: the texture cache
  // refuses a texture of width 0.
  GpuBuffer buffer = resources_->gpu_buffer_pool().GetBuffer(1, 1, GpuBufferFormat::kFormat420f);
  InGl([&] {
    GlTexture texture = helper_.CreateSourceTexture(buffer, 1);
    EXPECT_EQ(texture.name(), 0u);
  });
  ASSERT_EQ(failures->failures().size(), 1u);
  EXPECT_EQ(failures->failures()[0].description,
            "Error at CVOpenGLESTextureCacheCreateTextureFromImage " +
                std::to_string(kCVReturnInvalidArgument));
}

TEST_F(GlCalculatorHelperTest, GetGpuBufferDimensions) {
  GpuBuffer buffer = resources_->gpu_buffer_pool().GetBuffer(6, 4, GpuBufferFormat::kFormat420v);
  int width = 0, height = 0;
  helper_.GetGpuBufferDimensions(buffer, &width, &height);
  EXPECT_EQ(width, 6);
  EXPECT_EQ(height, 4);
  EXPECT_DEATH(helper_.GetGpuBufferDimensions(buffer, nullptr, &height), "Check failed: width");
}

// Outside a graph the legacy forms fall back to the "GPU_SHARED" side packet.
TEST(GlCalculatorHelperLegacyTest, SidePacketFormsWithoutAGraph) {
  google::protobuf::RepeatedPtrField<std::string> no_gpu_shared;
  no_gpu_shared.Add("OTHER:other");
  kaldren::PacketTypeSet without(*kaldren::tool::TagMap::Create(no_gpu_shared));
  const absl::Status status = GlCalculatorHelper::SetupInputSidePackets(&without);
  EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
  EXPECT_THAT(std::string(status.message()),
              ::testing::EndsWith("id.IsValid() A GPU_SHARED input side packet is required here."));

  google::protobuf::RepeatedPtrField<std::string> names;
  names.Add("GPU_SHARED:gpu_shared");
  std::shared_ptr<kaldren::tool::TagMap> tag_map = *kaldren::tool::TagMap::Create(names);
  kaldren::PacketTypeSet types(tag_map);
  ASSERT_TRUE(GlCalculatorHelper::SetupInputSidePackets(&types).ok());
  EXPECT_TRUE(types.Tag("GPU_SHARED").IsInitialized());

  std::shared_ptr<GlGpuResources> resources = GlGpuResources::CreateGpuResourcesOrDie();
  GpuSharedData gpu_shared(resources);
  kaldren::PacketSet side_packets(tag_map);
  side_packets.Tag("GPU_SHARED") = kaldren::MakePacket<GpuSharedData*>(&gpu_shared);
  GlCalculatorHelper helper;
  ASSERT_TRUE(helper.Open(side_packets).ok());
  EXPECT_EQ(&helper.GetGlContext(), resources->gl_context(SharedContextKey()).get());
}

}  // namespace
}  // namespace pellumo
