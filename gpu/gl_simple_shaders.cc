#include "gpu/gl_simple_shaders.h"

namespace pellumo {

// The preambles are macros too, so that the sources below are single constant strings.
#define PELLUMO_SHADER_PRECISION_PREAMBLE                  \
  "\n#ifdef GL_ES \n"                                      \
  "#define DEFAULT_PRECISION(p, t) precision p t; \n"      \
  "#else \n"                                               \
  "#define DEFAULT_PRECISION(p, t) \n"                     \
  "#define lowp \n"                                        \
  "#define mediump \n"                                     \
  "#define highp \n"                                       \
  "#endif  // defined(GL_ES) \n"

#define PELLUMO_VERTEX_PREAMBLE       \
  PELLUMO_SHADER_PRECISION_PREAMBLE   \
  "#if __VERSION__ < 130\n"           \
  "#define in attribute\n"            \
  "#define out varying\n"             \
  "#endif  // __VERSION__ < 130\n"

#define PELLUMO_FRAGMENT_PREAMBLE     \
  PELLUMO_SHADER_PRECISION_PREAMBLE   \
  "#if __VERSION__ < 130\n"           \
  "#define in varying\n"              \
  "#endif  // __VERSION__ < 130\n"

const char kPellumoVertexShaderPreamble[] = PELLUMO_VERTEX_PREAMBLE;
const char kPellumoFragmentShaderPreamble[] = PELLUMO_FRAGMENT_PREAMBLE;

const char kBasicVertexShader[] = PELLUMO_VERTEX_PREAMBLE
    "in vec4 position; in mediump vec4 texture_coordinate; out mediump vec2 sample_coordinate; "
    "void main() { gl_Position = position; sample_coordinate = texture_coordinate.xy; }";

const char kScaledVertexShader[] = PELLUMO_VERTEX_PREAMBLE
    "in vec4 position; in mediump vec4 texture_coordinate; out mediump vec2 sample_coordinate; "
    "uniform vec4 scale; void main() { gl_Position = position * scale; sample_coordinate = "
    "texture_coordinate.xy; }";

const char kBasicTexturedFragmentShader[] = PELLUMO_FRAGMENT_PREAMBLE
    "DEFAULT_PRECISION(mediump, float) in mediump vec2 sample_coordinate; uniform sampler2D "
    "video_frame; void main() { gl_FragColor = texture2D(video_frame, sample_coordinate); }";

const char kBasicTexturedFragmentShaderOES[] = PELLUMO_FRAGMENT_PREAMBLE
    "#extension GL_OES_EGL_image_external : require\n"
    "DEFAULT_PRECISION(mediump, float) in mediump vec2 sample_coordinate; uniform "
    "samplerExternalOES video_frame; void main() { gl_FragColor = texture2D(video_frame, "
    "sample_coordinate); }";

const char kFlatColorFragmentShader[] = PELLUMO_FRAGMENT_PREAMBLE
    "DEFAULT_PRECISION(mediump, float) uniform vec3 color; void main() { gl_FragColor = "
    "vec4(color.r, color.g, color.b, 1.0); }";

const char kRgbWeightFragmentShader[] = PELLUMO_FRAGMENT_PREAMBLE
    "DEFAULT_PRECISION(mediump, float) in mediump vec2 sample_coordinate; uniform sampler2D "
    "video_frame; uniform vec3 weights; void main() { vec4 color = texture2D(video_frame, "
    "sample_coordinate); gl_FragColor.bgra = vec4(weights.z * color.b, weights.y * color.g, "
    "weights.x * color.r, color.a); }";

const char kYUV2TexToRGBFragmentShader[] = PELLUMO_FRAGMENT_PREAMBLE
    "DEFAULT_PRECISION(mediump, float) in highp vec2 sample_coordinate; uniform sampler2D "
    "video_frame_y; uniform sampler2D video_frame_uv; void main() { mediump vec3 yuv; lowp "
    "vec3 rgb; yuv.r = texture2D(video_frame_y, sample_coordinate).r; yuv.gb = "
    "texture2D(video_frame_uv, sample_coordinate).rg - vec2(0.5, 0.5); rgb = mat3(1, 1, 1, 0, "
    "-0.18732, 1.8556, 1.57481, -0.46813, 0) * yuv; gl_FragColor = vec4(rgb, 1); }";

#undef PELLUMO_FRAGMENT_PREAMBLE
#undef PELLUMO_VERTEX_PREAMBLE
#undef PELLUMO_SHADER_PRECISION_PREAMBLE

}  // namespace pellumo
