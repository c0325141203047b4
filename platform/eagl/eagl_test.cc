#include "platform/eagl/eagl.h"

#include <GLES3/gl3.h>

#include <array>
#include <cstdint>
#include <thread>

#include "gtest/gtest.h"

namespace {

// A 2x2 RGBA texture, cleared to `rgba` through a framebuffer when `clear` is set.
GLuint MakeTexture(bool clear, std::array<float, 4> rgba) {
  GLuint texture = 0;
  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_2D, texture);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 2, 2, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  glBindTexture(GL_TEXTURE_2D, 0);
  if (clear) {
    GLuint framebuffer = 0;
    glGenFramebuffers(1, &framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
    glViewport(0, 0, 2, 2);
    glClearColor(rgba[0], rgba[1], rgba[2], rgba[3]);
    glClear(GL_COLOR_BUFFER_BIT);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &framebuffer);
    glFinish();
  }
  return texture;
}

// The first texel of `texture`, read through a framebuffer of the current context.
std::array<uint8_t, 4> FirstTexel(GLuint texture) {
  GLuint framebuffer = 0;
  glGenFramebuffers(1, &framebuffer);
  glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
  std::array<uint8_t, 4> texel{};
  glReadPixels(0, 0, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, texel.data());
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  glDeleteFramebuffers(1, &framebuffer);
  return texel;
}

TEST(EAGLContextTest, ClearsATextureAndReadsItBackHeadless) {
  std::shared_ptr<EAGLContext> context = EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES3);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->API(), kEAGLRenderingAPIOpenGLES3);
  EXPECT_NE(context->sharegroup(), nullptr);
  ASSERT_TRUE(EAGLContext::setCurrentContext(context));
  EXPECT_EQ(EAGLContext::currentContext(), context);
  GLint major = 0;
  glGetIntegerv(GL_MAJOR_VERSION, &major);
  EXPECT_GE(major, 3);

  GLuint texture = MakeTexture(true, {1, 0.5f, 0, 1});
  EXPECT_EQ(FirstTexel(texture), (std::array<uint8_t, 4>{255, 128, 0, 255}));
  glDeleteTextures(1, &texture);
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

  ASSERT_TRUE(EAGLContext::setCurrentContext(nullptr));
  EXPECT_EQ(EAGLContext::currentContext(), nullptr);
}

TEST(EAGLContextTest, ApiVersionsAndTheRefusalHook) {
  EXPECT_EQ(EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES1), nullptr);
  {
    platform::eagl::ScopedRefuseOpenGLES3 refuse;
    EXPECT_EQ(EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES3), nullptr);
    std::shared_ptr<EAGLContext> es2 = EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES2);
    ASSERT_NE(es2, nullptr);
    EXPECT_EQ(es2->API(), kEAGLRenderingAPIOpenGLES2);
  }
  EXPECT_NE(EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES3), nullptr);
}

TEST(EAGLContextTest, ContextsOfOneSharegroupSeeEachOthersTextures) {
  std::shared_ptr<EAGLContext> a = EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES3);
  ASSERT_NE(a, nullptr);
  std::shared_ptr<EAGLContext> b =
      EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES2, a->sharegroup());
  std::shared_ptr<EAGLContext> other = EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES3);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(b->sharegroup(), a->sharegroup());
  EXPECT_NE(other->sharegroup(), a->sharegroup());

  ASSERT_TRUE(EAGLContext::setCurrentContext(a));
  GLuint texture = MakeTexture(true, {0, 0, 1, 1});
  a.reset();  // the share group outlives the context that made the texture

  ASSERT_TRUE(EAGLContext::setCurrentContext(b));
  EXPECT_TRUE(glIsTexture(texture));
  EXPECT_EQ(FirstTexel(texture), (std::array<uint8_t, 4>{0, 0, 255, 255}));

  ASSERT_TRUE(EAGLContext::setCurrentContext(other));
  EXPECT_FALSE(glIsTexture(texture));

  ASSERT_TRUE(EAGLContext::setCurrentContext(b));
  glDeleteTextures(1, &texture);
  EAGLContext::setCurrentContext(nullptr);
}

TEST(EAGLContextTest, CurrentContextIsPerThreadAndEndsWithTheThread) {
  std::shared_ptr<EAGLContext> context = EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES3);
  ASSERT_NE(context, nullptr);
  ASSERT_TRUE(EAGLContext::setCurrentContext(context));

  std::thread([&] {
    EXPECT_EQ(EAGLContext::currentContext(), nullptr);
    // Still current on the main thread: EGL refuses, and nothing changes here.
    EXPECT_FALSE(EAGLContext::setCurrentContext(context));
    EXPECT_EQ(EAGLContext::currentContext(), nullptr);
  }).join();

  ASSERT_TRUE(EAGLContext::setCurrentContext(nullptr));
  std::thread([&] { EXPECT_TRUE(EAGLContext::setCurrentContext(context)); }).join();
  // The thread ended with the context current; that unbound it.
  EXPECT_TRUE(EAGLContext::setCurrentContext(context));
  EXPECT_EQ(EAGLContext::currentContext(), context);
  EAGLContext::setCurrentContext(nullptr);
}

}  // namespace
