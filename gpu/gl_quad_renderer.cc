#include "gpu/gl_quad_renderer.h"

#include <algorithm>
#include <string>

#include "base/status_macros.h"
#include "gpu/gl_simple_shaders.h"
#include "gpu/shader_util.h"

namespace pellumo {
namespace {

enum { ATTRIB_VERTEX, ATTRIB_TEXTURE_POSITION, NUM_ATTRIBUTES };

// Quad corners in clip space, one table per rotation, drawn as a triangle strip; clip-space
// y = -1 is the destination's first row. Each table pairs its corners in order with the
// texture coordinates below.
constexpr GLfloat kBasicSquareVertices[] = {
    -1.0f, -1.0f,  // first row, first column
    1.0f,  -1.0f,  // first row, last column
    -1.0f, 1.0f,   // last row, first column
    1.0f,  1.0f,   // last row, last column
};
constexpr GLfloat kBasicSquareVertices90[] = {
    -1.0f, 1.0f,   // last row, first column
    -1.0f, -1.0f,  // first row, first column
    1.0f,  1.0f,   // last row, last column
    1.0f,  -1.0f,  // first row, last column
};
constexpr GLfloat kBasicSquareVertices180[] = {
    1.0f,  1.0f,   // last row, last column
    -1.0f, 1.0f,   // last row, first column
    1.0f,  -1.0f,  // first row, last column
    -1.0f, -1.0f,  // first row, first column
};
constexpr GLfloat kBasicSquareVertices270[] = {
    1.0f,  -1.0f,  // first row, last column
    1.0f,  1.0f,   // last row, last column
    -1.0f, -1.0f,  // first row, first column
    -1.0f, 1.0f,   // last row, first column
};

constexpr GLfloat kBasicTextureVertices[] = {
    0.0f, 0.0f,  // first row, first column
    1.0f, 0.0f,  // first row, last column
    0.0f, 1.0f,  // last row, first column
    1.0f, 1.0f,  // last row, last column
};
// The frame's rows in reverse order.
constexpr GLfloat kBasicTextureVerticesFlipY[] = {
    0.0f, 1.0f,  //
    1.0f, 1.0f,  //
    0.0f, 0.0f,  //
    1.0f, 0.0f,  //
};

const GLfloat* VerticesFor(FrameRotation rotation) {
  switch (rotation) {
    case FrameRotation::k90:
      return kBasicSquareVertices90;
    case FrameRotation::k180:
      return kBasicSquareVertices180;
    case FrameRotation::k270:
      return kBasicSquareVertices270;
    case FrameRotation::kNone:
    default:
      return kBasicSquareVertices;
  }
}

}  // namespace

absl::Status QuadRenderer::GlSetup() {
  return GlSetup(kBasicTexturedFragmentShader, {"video_frame"});
}

absl::Status QuadRenderer::GlSetup(const GLchar* frag_shader_source,
                                   const std::vector<const GLchar*>& frame_uniforms) {
  const GLint attr_location[NUM_ATTRIBUTES] = {ATTRIB_VERTEX, ATTRIB_TEXTURE_POSITION};
  const GLchar* attr_name[NUM_ATTRIBUTES] = {"position", "texture_coordinate"};
  // A failure shows as program 0; the shader utilities have logged why.
  GlhCreateProgram(kScaledVertexShader, frag_shader_source, NUM_ATTRIBUTES, attr_name,
                   attr_location, &program_);
  RET_CHECK(program_) << "Problem initializing the program.";

  frame_unifs_.resize(frame_uniforms.size());
  for (size_t i = 0; i < frame_uniforms.size(); ++i) {
    frame_unifs_[i] = glGetUniformLocation(program_, frame_uniforms[i]);
    RET_CHECK(frame_unifs_[i] != -1) << "could not find uniform '" << frame_uniforms[i] << "'";
  }
  scale_unif_ = glGetUniformLocation(program_, "scale");
  RET_CHECK(scale_unif_ != -1) << "could not find uniform 'scale'";
  return absl::OkStatus();
}

absl::Status QuadRenderer::GlRender(float frame_width, float frame_height, float view_width,
                                    float view_height, FrameScaleMode scale_mode,
                                    FrameRotation rotation, bool flip_horizontal,
                                    bool flip_vertical, bool flip_texture) const {
  RET_CHECK(program_) << "Must setup the program before rendering.";

  glUseProgram(program_);
  for (size_t i = 0; i < frame_unifs_.size(); ++i) {
    glUniform1i(frame_unifs_[i], static_cast<GLint>(i) + 1);
  }

  // A quarter turn exchanges the frame's sides before its aspect ratio meets the view's.
  if (rotation == FrameRotation::k90 || rotation == FrameRotation::k270) {
    std::swap(frame_width, frame_height);
  }
  float scale_x = 1.0f;
  float scale_y = 1.0f;
  if (scale_mode != FrameScaleMode::kStretch) {
    scale_x = frame_width / view_width;
    scale_y = frame_height / view_height;
    const float divisor = scale_mode == FrameScaleMode::kFit ? std::max(scale_x, scale_y)
                                                             : std::min(scale_x, scale_y);
    scale_x /= divisor;
    scale_y /= divisor;
  }
  if (flip_horizontal) scale_x = -scale_x;
  if (flip_vertical) scale_y = -scale_y;
  glUniform4f(scale_unif_, scale_x, scale_y, 1.0f, 1.0f);

  // The tables are client-side arrays: a buffer object left bound by earlier GL work would
  // turn their addresses into offsets into that buffer.
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glVertexAttribPointer(ATTRIB_VERTEX, 2, GL_FLOAT, GL_FALSE, 0, VerticesFor(rotation));
  glEnableVertexAttribArray(ATTRIB_VERTEX);
  glVertexAttribPointer(ATTRIB_TEXTURE_POSITION, 2, GL_FLOAT, GL_FALSE, 0,
                        flip_texture ? kBasicTextureVerticesFlipY : kBasicTextureVertices);
  glEnableVertexAttribArray(ATTRIB_TEXTURE_POSITION);

  glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
  return absl::OkStatus();
}

void QuadRenderer::GlTeardown() {
  if (program_) {
    glDeleteProgram(program_);
    program_ = 0;
  }
}

FrameScaleMode FrameScaleModeFromProto(ScaleMode_Mode proto_scale_mode,
                                       FrameScaleMode default_mode) {
  switch (proto_scale_mode) {
    case ScaleMode_Mode_STRETCH:
      return FrameScaleMode::kStretch;
    case ScaleMode_Mode_FIT:
      return FrameScaleMode::kFit;
    case ScaleMode_Mode_FILL_AND_CROP:
      return FrameScaleMode::kFillAndCrop;
    case ScaleMode_Mode_DEFAULT:
    default:
      return default_mode;
  }
}

FrameRotation FrameRotationFromDegrees(int degrees_ccw) {
  switch (degrees_ccw) {
    case 90:
      return FrameRotation::k90;
    case 180:
      return FrameRotation::k180;
    case 270:
      return FrameRotation::k270;
    default:
      return FrameRotation::kNone;
  }
}

absl::Status FrameRotationFromInt(FrameRotation* rotation, int degrees_ccw) {
  RET_CHECK(degrees_ccw % 90 == 0)
      << "rotation must be a multiple of 90; " << degrees_ccw << " was provided";
  // The remainder keeps the sign of the argument, and FrameRotationFromDegrees knows only 90,
  // 180 and 270: a negative (clockwise) angle gives no rotation, which callers rely on.
  *rotation = FrameRotationFromDegrees(degrees_ccw % 360);
  return absl::OkStatus();
}

}  // namespace pellumo
