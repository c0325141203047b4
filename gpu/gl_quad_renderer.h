// pellumo::QuadRenderer draws one textured rectangle over the current viewport, with a scale
// mode, a rotation in steps of 90 degrees and optional flips, using a shader program of the
// scaled vertex shader and a fragment shader of the caller's choice.
//
//   QuadRenderer renderer;                      // all calls with one GL context current
//   RETURN_IF_ERROR(renderer.GlSetup());        // samples "video_frame"
//   glViewport(0, 0, view_width, view_height);  // on the destination framebuffer
//   glActiveTexture(GL_TEXTURE1);               // frame sampler i reads texture unit i + 1
//   glBindTexture(GL_TEXTURE_2D, frame_texture);
//   RETURN_IF_ERROR(renderer.GlRender(frame_width, frame_height, view_width, view_height,
//                                     FrameScaleMode::kFit, FrameRotation::k90,
//                                     /*flip_horizontal=*/false, /*flip_vertical=*/false,
//                                     /*flip_texture=*/false));
//   renderer.GlTeardown();                      // the destructor does not delete the program
//
// Orientation. Texture coordinate (0, 0) is the first texel row in memory, and the quad's
// (-1, -1) corner is the first row of the destination, so without rotation or flips a frame
// lands in the destination in the same memory order. Rotations are counter-clockwise as seen
// with the first memory row at the top (as a pixel buffer is shown): with k90 the frame's
// top-right corner lands at the destination's top-left. Flips apply to the destination
// (after rotation): horizontal mirrors columns, vertical mirrors rows. The texture flip
// mirrors the frame's rows before rotation.
//
// Scale modes keep the quad centred: kFit leaves the uncovered part of the viewport as it was
// (letterbox or pillarbox), kFillAndCrop lets the frame overflow the viewport.
//
// GlRender leaves its program in use and both vertex attributes enabled, reading client-side
// arrays (it binds GL_ARRAY_BUFFER 0 first).

#ifndef GPU_GL_QUAD_RENDERER_H_
#define GPU_GL_QUAD_RENDERER_H_

#include <GLES3/gl3.h>

#include <string>
#include <vector>

#include "base/status.h"
#include "gpu/scale_mode.pb.h"

namespace pellumo {

// How the frame's aspect ratio meets the viewport's.
enum class FrameScaleMode {
  kStretch = 0,      // fills the viewport, aspect ratio not kept
  kFit = 1,          // all of the frame visible, aspect ratio kept; the rest is left as it was
  kFillAndCrop = 2,  // the viewport covered, aspect ratio kept; the frame's excess cut off
};

// Counter-clockwise rotation of the frame.
enum class FrameRotation {
  kNone = 0,
  k90 = 1,
  k180 = 2,
  k270 = 3,
};

class QuadRenderer {
 public:
  QuadRenderer() = default;
  QuadRenderer(const QuadRenderer&) = delete;
  QuadRenderer& operator=(const QuadRenderer&) = delete;

  // GlSetup(kBasicTexturedFragmentShader, {"video_frame"}).
  absl::Status GlSetup();
  // Builds the program from the scaled vertex shader and `frag_shader_source` and looks up
  // the frame-sampler uniforms `frame_uniforms` (in order) and "scale". Errors: "Problem
  // initializing the program." (compile or link failed; the reason is in the log), "could
  // not find uniform '<name>'". A failed setup keeps what it set so far (the program too).
  absl::Status GlSetup(const GLchar* frag_shader_source,
                       const std::vector<const GLchar*>& frame_uniforms);

  // Draws the frame (frame_width x frame_height) into the viewport (view_width x
  // view_height). Frame sampler i reads texture unit i + 1; unit 0 is left alone. Error:
  // "Must setup the program before rendering.".
  absl::Status GlRender(float frame_width, float frame_height, float view_width, float view_height,
                        FrameScaleMode scale_mode, FrameRotation rotation, bool flip_horizontal,
                        bool flip_vertical, bool flip_texture) const;

  // Deletes the program (the uniform locations are kept).
  void GlTeardown();

 private:
  GLuint program_ = 0;
  GLint scale_unif_ = -1;
  std::vector<GLint> frame_unifs_;
};

// STRETCH, FIT and FILL_AND_CROP map to kStretch, kFit and kFillAndCrop; DEFAULT and values
// outside the enumeration give `default_mode`.
FrameScaleMode FrameScaleModeFromProto(ScaleMode_Mode proto_scale_mode,
                                       FrameScaleMode default_mode);

// 90, 180 and 270 give k90, k180 and k270; every other value kNone.
FrameRotation FrameRotationFromDegrees(int degrees_ccw);

// Any multiple of 90, reduced modulo 360 with the remainder taking the sign of
// `degrees_ccw`: 450 gives k90, while -90, -180 and -270 give kNone. Other values fail with
// "rotation must be a multiple of 90; <degrees> was provided" and leave `*rotation` alone.
absl::Status FrameRotationFromInt(FrameRotation* rotation, int degrees_ccw);

}  // namespace pellumo

#endif  // GPU_GL_QUAD_RENDERER_H_
