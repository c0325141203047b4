// GLSL sources of the simple shaders the quad renderer and the GPU scaler draw with.
//
// Every source is a preamble followed by a body and carries no #version line, so it compiles
// as GLSL ES 1.00 in OpenGL ES 2 and OpenGL ES 3 contexts alike (and, through the preamble's
// #else branch, as desktop GLSL). The preamble maps `in`/`out` to attribute/varying for GLSL
// versions below 1.30 and gives DEFAULT_PRECISION(p, t), which declares a default precision
// only under GL_ES.
//
// The vertex shaders take the attributes "position" and "texture_coordinate" and hand the
// fragment shaders "sample_coordinate".

#ifndef GPU_GL_SIMPLE_SHADERS_H_
#define GPU_GL_SIMPLE_SHADERS_H_

namespace pellumo {

extern const char kPellumoVertexShaderPreamble[];
extern const char kPellumoFragmentShaderPreamble[];

// Passes position and texture coordinate through.
extern const char kBasicVertexShader[];
// Multiplies the position by the vec4 uniform "scale".
extern const char kScaledVertexShader[];

// Samples the sampler2D "video_frame".
extern const char kBasicTexturedFragmentShader[];
// Samples the samplerExternalOES "video_frame" (needs GL_OES_EGL_image_external).
extern const char kBasicTexturedFragmentShaderOES[];
// Writes the vec3 uniform "color" with alpha 1.
extern const char kFlatColorFragmentShader[];
// Samples "video_frame" and scales its red, green and blue by the x, y and z of the vec3
// uniform "weights"; alpha unchanged.
extern const char kRgbWeightFragmentShader[];
// Converts bi-planar Y'CbCr, luma from "video_frame_y" (.r) and chroma from "video_frame_uv"
// (.rg), to RGB with the matrix
//   R = Y + 1.57481 (V - 0.5)
//   G = Y - 0.18732 (U - 0.5) - 0.46813 (V - 0.5)
//   B = Y + 1.8556 (U - 0.5)
// Luma is used as sampled, for video-range and full-range input alike.
extern const char kYUV2TexToRGBFragmentShader[];

}  // namespace pellumo

#endif  // GPU_GL_SIMPLE_SHADERS_H_
