#include "platform/eagl/eagl.h"

#include <GLES3/gl3.h>

#include <array>
#include <cstdint>
#include <thread>

#include "gtest/gtest.h"
#include "platform/eagl/gl_test_util.h"

namespace {

using platform::eagl::testing::NewClearedTexture;
using platform::eagl::testing::ReadTexel;

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

  GLuint texture = NewClearedTexture({1, 0.5f, 0, 1});
  EXPECT_EQ(ReadTexel(texture), (std::array<uint8_t, 4>{255, 128, 0, 255}));
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
  GLuint texture = NewClearedTexture({0, 0, 1, 1});
  a.reset();  // the share group outlives the context that made the texture

  ASSERT_TRUE(EAGLContext::setCurrentContext(b));
  EXPECT_TRUE(glIsTexture(texture));
  EXPECT_EQ(ReadTexel(texture), (std::array<uint8_t, 4>{0, 0, 255, 255}));

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
