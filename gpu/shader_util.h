// Compiling shaders and linking shader programs in the GL context current on the calling
// thread (call them from inside GlContext::Run). Failures are results plus log lines; nothing
// here returns a status or ends the process, and GL errors are left for the context to drain.
//
//   GLuint program = 0;
//   const GLchar* names[] = {"position", "texture_coordinate"};
//   const GLint locations[] = {0, 1};
//   if (!GlhCreateProgram(vertex_source, fragment_source, 2, names, locations, &program)) {
//     ...  // the compile or link error is in the log; `program` is 0
//   }
//
// Two families live side by side:
//  - the Glh functions return the GL status value (GL_TRUE / GL_FALSE) and log every failure
//    at ERROR; GlhCompileShader keeps a shader that failed to compile;
//  - CompileShader and CreateShaderProgram return a bool, log most failures only at verbose
//    level 2 and delete what they created when they fail.

#ifndef GPU_SHADER_UTIL_H_
#define GPU_SHADER_UTIL_H_

#include <GLES3/gl3.h>

#include <string>
#include <unordered_map>

namespace pellumo {

// Compiles `shader_source` (null-terminated) into a new shader of `shader_type` stored in
// `*shader`, and returns the compile status. 0 also when GL made no shader (nothing logged).
// On a compile failure logs "Failed to compile shader:\n" + the source and "Error message: " +
// the info log (at most 1023 bytes of it); the shader is not deleted.
GLint GlhCompileShader(GLenum shader_type, const GLchar* shader_source, GLuint* shader);

// Links `program`; logs "Failed to link program <name>" when that fails. Returns the status.
GLint GlhLinkProgram(GLuint program);

// Validates `program`; logs "Failed to validate program <name>" when that fails. Returns the
// status.
GLint GlhValidateProgram(GLuint program);

// Creates `*program` from a vertex and a fragment source, binding attribute
// `attribute_names[i]` to location `attribute_locations[i]` for i below `attribute_count`,
// and links it (without validating). The fragment shader is compiled only when the vertex
// shader compiled. The shaders are always deleted (a linked program keeps them); on failure
// the program is deleted too and `*program` is 0. True when the program linked.
GLint GlhCreateProgram(const GLchar* vert_src, const GLchar* frag_src, GLsizei attribute_count,
                       const GLchar* const* attribute_names, const GLint* attribute_locations,
                       GLuint* program);

// Compiles `shader_source` into a new shader `*shader`. On failure logs the info log at ERROR
// ("Shader compile log:\n" + the whole log, when GL has one), deletes the shader, sets
// `*shader` to 0 and returns false.
bool CompileShader(GLenum shader_type, const std::string& shader_source, GLuint* shader);

// Creates `*program` from two compiled shaders, binding every (location, name) entry of
// `attributes`, and links it. On a link failure (not logged) deletes the program, sets
// `*program` to 0 and returns false; the shaders are left alone either way.
bool CreateShaderProgram(GLuint vertex_shader, GLuint fragment_shader,
                         const std::unordered_map<GLuint, std::string>& attributes,
                         GLuint* shader_program);

}  // namespace pellumo

#endif  // GPU_SHADER_UTIL_H_
