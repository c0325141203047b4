#ifndef PLATFORM_EAGL_GL_TEST_UTIL_H_
#define PLATFORM_EAGL_GL_TEST_UTIL_H_

// GL helpers for tests: make a texture of a known colour and read texels back, in the
// context current on the calling thread. The framebuffers they use are deleted again and
// GL_FRAMEBUFFER is left at 0.

#include <GLES3/gl3.h>

#include <array>
#include <cstdint>

namespace platform::eagl::testing {

// Clears `texture` (a colour-renderable GL_TEXTURE_2D) to `rgba`.
inline void ClearTexture(GLuint texture, std::array<float, 4> rgba) {
  GLuint framebuffer = 0;
  glGenFramebuffers(1, &framebuffer);
  glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
  glClearColor(rgba[0], rgba[1], rgba[2], rgba[3]);
  glClear(GL_COLOR_BUFFER_BIT);
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  glDeleteFramebuffers(1, &framebuffer);
}

// A new 4x4 RGBA8 texture cleared to `rgba`.
inline GLuint NewClearedTexture(std::array<float, 4> rgba) {
  GLuint texture = 0;
  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_2D, texture);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 4, 4, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  glBindTexture(GL_TEXTURE_2D, 0);
  ClearTexture(texture, rgba);
  return texture;
}

// Texel (x, y) of an RGBA8 texture, as R, G, B, A.
inline std::array<uint8_t, 4> ReadTexel(GLuint texture, int x = 0, int y = 0) {
  GLuint framebuffer = 0;
  glGenFramebuffers(1, &framebuffer);
  glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
  std::array<uint8_t, 4> texel{};
  glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, texel.data());
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  glDeleteFramebuffers(1, &framebuffer);
  return texel;
}

}  // namespace platform::eagl::testing

#endif  // PLATFORM_EAGL_GL_TEST_UTIL_H_
