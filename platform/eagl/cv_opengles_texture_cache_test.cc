#include "platform/eagl/cv_opengles_texture_cache.h"

#include <GLES3/gl3.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/eagl/gl_test_util.h"
#include "platform/corevideo/pixel_buffer.h"

namespace {

using platform::corevideo::GetPlane;
using platform::corevideo::Plane;

class TextureCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    context_ = EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES3);
    ASSERT_NE(context_, nullptr);
    ASSERT_EQ(CVOpenGLESTextureCacheCreate(kCFAllocatorDefault, nullptr, context_, nullptr, &cache_),
              kCVReturnSuccess);
    ASSERT_TRUE(EAGLContext::setCurrentContext(context_));
  }
  void TearDown() override {
    EAGLContext::setCurrentContext(nullptr);
    if (cache_ != nullptr) CFRelease(cache_);
  }

  CVPixelBufferRef MakeBuffer(size_t width, size_t height, OSType format) {
    CVPixelBufferRef buffer = nullptr;
    EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, width, height, format, nullptr, &buffer),
              kCVReturnSuccess);
    return buffer;
  }

  CVOpenGLESTextureRef MakeTexture(CVPixelBufferRef buffer, GLint internal_format, GLenum format,
                                   GLenum type, size_t plane = 0,
                                   CFDictionaryRef attributes = nullptr) {
    Plane p = GetPlane(buffer, plane);
    CVOpenGLESTextureRef texture = nullptr;
    EXPECT_EQ(CVOpenGLESTextureCacheCreateTextureFromImage(
                  kCFAllocatorDefault, cache_, buffer, attributes, GL_TEXTURE_2D,
                  internal_format, p.width, p.height, format, type, plane, &texture),
              kCVReturnSuccess);
    return texture;
  }

  // A 3 x 2 'BGRA' buffer (rows padded) whose bytes count up from `first`; the first padding
  // byte is 0xEE.
  CVPixelBufferRef MakeCountingBuffer(uint8_t first) {
    CVPixelBufferRef buffer = MakeBuffer(3, 2, kCVPixelFormatType_32BGRA);
    Plane p = GetPlane(buffer, 0);
    EXPECT_GT(p.bytes_per_row, 12u);
    for (size_t y = 0; y < 2; ++y) {
      for (size_t i = 0; i < 12; ++i) p.data[y * p.bytes_per_row + i] = uint8_t(first + y * 12 + i);
      p.data[y * p.bytes_per_row + 12] = 0xEE;
    }
    return buffer;
  }

  CVOpenGLESTextureRef MakeBgraTexture(CVPixelBufferRef buffer, CFStringRef access) {
    CFDictionaryRef attributes = nullptr;
    if (access != nullptr) {
      const void* keys[] = {kStandInTextureAccessKey};
      const void* values[] = {access};
      attributes = CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                      &kCFTypeDictionaryKeyCallBacks,
                                      &kCFTypeDictionaryValueCallBacks);
    }
    CVOpenGLESTextureRef texture =
        MakeTexture(buffer, GL_RGBA, GL_BGRA_EXT, GL_UNSIGNED_BYTE, 0, attributes);
    if (attributes != nullptr) CFRelease(attributes);
    return texture;
  }

  // Clears `texture` through a framebuffer of the current (caller's) context.
  static void Clear(CVOpenGLESTextureRef texture, float r, float g, float b, float a) {
    platform::eagl::testing::ClearTexture(CVOpenGLESTextureGetName(texture), {r, g, b, a});
    glFlush();
  }

  std::shared_ptr<EAGLContext> context_;
  CVOpenGLESTextureCacheRef cache_ = nullptr;
};

TEST_F(TextureCacheTest, UploadsRenderedPixelsReachTheBufferOnFlush) {
  CVPixelBufferRef buffer = MakeBuffer(3, 2, kCVPixelFormatType_32BGRA);
  Plane p = GetPlane(buffer, 0);
  for (size_t y = 0; y < 2; ++y) {
    for (size_t i = 0; i < 12; ++i) p.data[y * p.bytes_per_row + i] = uint8_t(y * 12 + i);
  }
  p.data[12] = 0xEE;  // row padding: never touched
  CVOpenGLESTextureRef texture = MakeTexture(buffer, GL_RGBA, GL_BGRA_EXT, GL_UNSIGNED_BYTE);
  ASSERT_NE(texture, nullptr);
  EXPECT_EQ(CVOpenGLESTextureGetTarget(texture), static_cast<GLenum>(GL_TEXTURE_2D));
  ASSERT_NE(CVOpenGLESTextureGetName(texture), 0u);

  // The upload, seen from the caller's context: texel (1, 1) in RGBA order.
  EXPECT_EQ(platform::eagl::testing::ReadTexel(CVOpenGLESTextureGetName(texture), 1, 1),
            (std::array<uint8_t, 4>{18, 17, 16, 19}));

  Clear(texture, 1, 0, 0, 1);  // red: B, G, R, A = 0, 0, 255, 255
  EXPECT_EQ(p.data[0], 0);     // nothing reaches the buffer before a flush
  CVOpenGLESTextureCacheFlush(cache_, 0);
  for (size_t y = 0; y < 2; ++y) {
    for (size_t x = 0; x < 3; ++x) {
      const uint8_t* px = p.data + y * p.bytes_per_row + x * 4;
      EXPECT_EQ(std::vector<uint8_t>(px, px + 4), (std::vector<uint8_t>{0, 0, 255, 255}))
          << x << "," << y;
    }
  }
  EXPECT_EQ(p.data[12], 0xEE);
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));  // the cache left no GL error here

  // After the flush the texture is in step again: CPU writes survive its release.
  p.data[0] = 7;
  CFRelease(texture);
  EXPECT_EQ(p.data[0], 7);
  CVPixelBufferRelease(buffer);
}

TEST_F(TextureCacheTest, ReleaseWritesRenderingBackAndLeavesUnchangedTexturesAlone) {
  CVPixelBufferRef rendered = MakeBuffer(4, 4, kCVPixelFormatType_32BGRA);
  CVPixelBufferRef sampled = MakeBuffer(4, 4, kCVPixelFormatType_32BGRA);
  CVOpenGLESTextureRef target = MakeTexture(rendered, GL_RGBA, GL_BGRA_EXT, GL_UNSIGNED_BYTE);
  CVOpenGLESTextureRef source = MakeTexture(sampled, GL_RGBA, GL_BGRA_EXT, GL_UNSIGNED_BYTE);
  Clear(target, 0, 1, 0, 1);
  GetPlane(sampled, 0).data[5] = 42;  // a CPU write after the upload

  // Released with no context current on this thread: the share group's own context reads back.
  EAGLContext::setCurrentContext(nullptr);
  CFRelease(target);
  CFRelease(source);
  EXPECT_EQ(GetPlane(rendered, 0).data[1], 255);  // green
  EXPECT_EQ(GetPlane(sampled, 0).data[5], 42);
  CVPixelBufferRelease(rendered);
  CVPixelBufferRelease(sampled);
}

// The access a texture is made with decides what is uploaded and what its release writes:
// a CPU write after the upload and a GL clear to green meet in the plane.
TEST_F(TextureCacheTest, AccessDecidesWhatMovesBetweenPlaneAndTexture) {
  struct Case {
    const char* name;
    CFStringRef access;
    bool uploaded;
    bool written_back;
    bool cleared;
  };
  const Case cases[] = {
      {"no access given", nullptr, true, true, true},
      {"unknown access", CFSTR("Elsewise"), true, true, true},
      {"read-write, untouched", nullptr, true, false, false},
      {"sampled", kStandInTextureAccessSampled, true, false, true},
      {"drawn over", kStandInTextureAccessDrawnOver, false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CVPixelBufferRef buffer = MakeCountingBuffer(0);
    CVOpenGLESTextureRef texture = MakeBgraTexture(buffer, c.access);
    ASSERT_NE(texture, nullptr);
    if (c.uploaded) {
      // Texel (1, 1) in RGBA order, from the second row past the padding.
      EXPECT_EQ(platform::eagl::testing::ReadTexel(CVOpenGLESTextureGetName(texture), 1, 1),
                (std::array<uint8_t, 4>{18, 17, 16, 19}));
    }
    Plane p = GetPlane(buffer, 0);
    p.data[p.bytes_per_row + 5] = 99;  // a CPU write to texel (1, 1)
    if (c.cleared) Clear(texture, 0, 1, 0, 1);
    CFRelease(texture);
    const uint8_t* texel = p.data + p.bytes_per_row + 4;
    if (c.written_back) {
      EXPECT_EQ(std::vector<uint8_t>(texel, texel + 4), (std::vector<uint8_t>{0, 255, 0, 255}));
    } else {
      EXPECT_EQ(std::vector<uint8_t>(texel, texel + 4), (std::vector<uint8_t>{16, 99, 18, 19}));
    }
    EXPECT_EQ(p.data[12], 0xEE);
    EXPECT_EQ(p.data[p.bytes_per_row + 12], 0xEE);
    CVPixelBufferRelease(buffer);
  }
}

// A released texture's GL storage serves the next texture of its size and format: that one
// holds its own buffer's pixels and starts with a new texture's sampling state.
TEST_F(TextureCacheTest, ReusedStorageHoldsTheNewPlaneAndFreshState) {
  for (CFStringRef access : {CFStringRef{nullptr}, kStandInTextureAccessSampled}) {
    CVPixelBufferRef first = MakeCountingBuffer(0);
    CVPixelBufferRef second = MakeCountingBuffer(100);
    CVOpenGLESTextureRef texture = MakeBgraTexture(first, access);
    const GLuint name = CVOpenGLESTextureGetName(texture);
    glBindTexture(GL_TEXTURE_2D, name);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glBindTexture(GL_TEXTURE_2D, 0);
    glFlush();
    CFRelease(texture);

    texture = MakeBgraTexture(second, access);
    EXPECT_EQ(CVOpenGLESTextureGetName(texture), name);
    EXPECT_EQ(platform::eagl::testing::ReadTexel(CVOpenGLESTextureGetName(texture), 1, 1),
              (std::array<uint8_t, 4>{118, 117, 116, 119}));
    GLint min_filter = 0, wrap_s = 0;
    glBindTexture(GL_TEXTURE_2D, CVOpenGLESTextureGetName(texture));
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &min_filter);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, &wrap_s);
    glBindTexture(GL_TEXTURE_2D, 0);
    EXPECT_EQ(min_filter, GL_NEAREST_MIPMAP_LINEAR);
    EXPECT_EQ(wrap_s, GL_REPEAT);
    // Untouched by GL, so its release leaves a CPU write alone.
    GetPlane(second, 0).data[0] = 7;
    CFRelease(texture);
    EXPECT_EQ(GetPlane(second, 0).data[0], 7);
    CVPixelBufferRelease(first);
    CVPixelBufferRelease(second);
  }
}

TEST_F(TextureCacheTest, ThreadsCreateReleaseAndFlushAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 10;
  std::atomic<bool> done{false};
  std::thread flusher([&] {
    while (!done) CVOpenGLESTextureCacheFlush(cache_, 0);
  });
  std::vector<std::thread> threads;
  std::vector<int> wrong(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::shared_ptr<EAGLContext> own =
          EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES3, context_->sharegroup());
      ASSERT_TRUE(EAGLContext::setCurrentContext(own));
      for (int round = 0; round < kRounds; ++round) {
        CVPixelBufferRef buffer = MakeBuffer(8, 8, kCVPixelFormatType_32BGRA);
        CVOpenGLESTextureRef texture = MakeTexture(buffer, GL_RGBA, GL_BGRA_EXT, GL_UNSIGNED_BYTE);
        const uint8_t level = static_cast<uint8_t>(t * kRounds + round + 1);
        Clear(texture, level / 255.0f, 0, 0, 1);  // red: byte 2 of each BGRA pixel
        CFRelease(texture);
        if (GetPlane(buffer, 0).data[2] != level) ++wrong[t];
        CVPixelBufferRelease(buffer);
      }
      EAGLContext::setCurrentContext(nullptr);
    });
  }
  for (auto& thread : threads) thread.join();
  done = true;
  flusher.join();
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
}

// One row of the GPU buffer format tables; `clear` marks formats GL can render into, whose
// first plane byte after a clear to (0.5, 0.25, 1, 1) is `first_byte`.
struct FormatCase {
  std::string name;
  OSType pixel_format;
  size_t plane;
  GLint internal_format;
  GLenum format;
  GLenum type;
  bool renderable;
  std::vector<uint8_t> cleared;  // leading bytes of the plane after the clear
};
void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class TextureCacheFormatTest : public TextureCacheTest,
                               public ::testing::WithParamInterface<FormatCase> {};

TEST_P(TextureCacheFormatTest, UploadsAndWritesBackWhatGlCanRenderInto) {
  const FormatCase& c = GetParam();
  CVPixelBufferRef buffer = MakeBuffer(4, 4, c.pixel_format);
  CVOpenGLESTextureRef texture = MakeTexture(buffer, c.internal_format, c.format, c.type, c.plane);
  ASSERT_NE(texture, nullptr);
  if (c.renderable) {
    Clear(texture, 0.5f, 0.25f, 1, 1);
    CVOpenGLESTextureCacheFlush(cache_, 0);
    const uint8_t* data = GetPlane(buffer, c.plane).data;
    EXPECT_EQ(std::vector<uint8_t>(data, data + c.cleared.size()), c.cleared);
  }
  CFRelease(texture);
  CVPixelBufferRelease(buffer);
}

// 0.5 as a half float is 0x3800 and as a float 0x3F000000 (little-endian bytes below).
INSTANTIATE_TEST_SUITE_P(
    Formats, TextureCacheFormatTest,
    ::testing::Values(
        FormatCase{"L008", kCVPixelFormatType_OneComponent8, 0, GL_LUMINANCE, GL_LUMINANCE,
                   GL_UNSIGNED_BYTE, false, {}},
        FormatCase{"Y420", kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 0, GL_R8, GL_RED,
                   GL_UNSIGNED_BYTE, true, {128, 128}},
        FormatCase{"CbCr420", kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 1, GL_RG8, GL_RG,
                   GL_UNSIGNED_BYTE, true, {128, 64, 128, 64}},
        FormatCase{"CbCr420Es2", kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 1, GL_RG, GL_RG,
                   GL_UNSIGNED_BYTE, true, {128, 64}},
        FormatCase{"TwoHalfEs3", kCVPixelFormatType_TwoComponent16Half, 0, GL_RG16F, GL_RG,
                   GL_HALF_FLOAT, true, {0x00, 0x38, 0x00, 0x34}},
        FormatCase{"TwoHalfEs2", kCVPixelFormatType_TwoComponent16Half, 0, GL_LUMINANCE_ALPHA,
                   GL_LUMINANCE_ALPHA, GL_HALF_FLOAT, false, {}},
        FormatCase{"OneHalf", kCVPixelFormatType_OneComponent16Half, 0, GL_R16F, GL_RED,
                   GL_HALF_FLOAT, true, {0x00, 0x38}},
        FormatCase{"OneFloat", kCVPixelFormatType_OneComponent32Float, 0, GL_R32F, GL_RED,
                   GL_FLOAT, true, {0x00, 0x00, 0x00, 0x3F}},
        FormatCase{"RGB24", kCVPixelFormatType_24RGB, 0, GL_RGB, GL_RGB, GL_UNSIGNED_BYTE, true,
                   {128, 64, 255, 128, 64, 255}},
        FormatCase{"RGBAHalf", kCVPixelFormatType_64RGBAHalf, 0, GL_RGBA16F, GL_RGBA,
                   GL_HALF_FLOAT, true, {0x00, 0x38, 0x00, 0x34, 0x00, 0x3C, 0x00, 0x3C}},
        FormatCase{"RGBAFloat", kCVPixelFormatType_128RGBAFloat, 0, GL_RGBA, GL_RGBA, GL_FLOAT,
                   false, {}}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

TEST_F(TextureCacheTest, RefusesBadArguments) {
  CVPixelBufferRef bgra = MakeBuffer(4, 4, kCVPixelFormatType_32BGRA);
  struct Case {
    const char* what;
    GLenum target;
    GLsizei width;
    GLenum format;
    GLenum type;
    size_t plane;
    CVReturn expected;
  } cases[] = {
      {"cube target", GL_TEXTURE_CUBE_MAP, 4, GL_RGBA, GL_UNSIGNED_BYTE, 0,
       kCVReturnInvalidArgument},
      {"wider than the rows", GL_TEXTURE_2D, 40, GL_RGBA, GL_UNSIGNED_BYTE, 0,
       kCVReturnInvalidArgument},
      {"no such plane", GL_TEXTURE_2D, 4, GL_RGBA, GL_UNSIGNED_BYTE, 1, kCVReturnInvalidArgument},
      {"packed type", GL_TEXTURE_2D, 4, GL_RGB, GL_UNSIGNED_SHORT_5_6_5, 0,
       kCVReturnInvalidPixelFormat},
      {"refused by GL", GL_TEXTURE_2D, 4, GL_RED, GL_UNSIGNED_BYTE, 0,
       kCVReturnInvalidPixelFormat},
  };
  for (const Case& c : cases) {
    CVOpenGLESTextureRef texture = nullptr;
    GLint internal_format = c.format == GL_RED ? GL_RGBA8 : GL_RGBA;
    EXPECT_EQ(CVOpenGLESTextureCacheCreateTextureFromImage(
                  kCFAllocatorDefault, cache_, bgra, nullptr, c.target, internal_format, c.width,
                  4, c.format, c.type, c.plane, &texture),
              c.expected)
        << c.what;
    EXPECT_EQ(texture, nullptr) << c.what;
  }
  EXPECT_EQ(CFGetRetainCount(bgra), 1);
  EXPECT_EQ(CFGetRetainCount(cache_), 1);
  EXPECT_EQ(CVOpenGLESTextureCacheCreate(kCFAllocatorDefault, nullptr, nullptr, nullptr, &cache_),
            kCVReturnInvalidArgument);
  CVPixelBufferRelease(bgra);
}

}  // namespace
