#include "gpu/shader_util.h"

#include <vector>

#include "absl/strings/string_view.h"
#include "base/logging.h"

namespace pellumo {
namespace {

// GlhCompileShader reads the info log into a buffer of this size; GL cuts longer logs.
constexpr GLsizei kMaxShaderInfoLength = 1024;

// Runs `step` (link or validate) on `program` and returns the status it leaves in `status_name`,
// logging `failure_text` + the program name at ERROR when that is 0.
GLint RunProgramStep(void (*step)(GLuint), GLenum status_name, const char* failure_text,
                     GLuint program) {
  step(program);
  GLint status = GL_FALSE;
  glGetProgramiv(program, status_name, &status);
  if (!status) LOG(ERROR) << failure_text << program;
  return status;
}

}  // namespace

GLint GlhCompileShader(GLenum shader_type, const GLchar* shader_source, GLuint* shader) {
  *shader = glCreateShader(shader_type);
  if (*shader == 0) return GL_FALSE;
  glShaderSource(*shader, 1, &shader_source, nullptr);
  glCompileShader(*shader);

  GLint compiled = GL_FALSE;
  glGetShaderiv(*shader, GL_COMPILE_STATUS, &compiled);
  if (compiled) return compiled;

  LOG(ERROR) << "Failed to compile shader:\n" << shader_source;
  GLchar info[kMaxShaderInfoLength];
  GLsizei length = 0;
  glGetShaderInfoLog(*shader, kMaxShaderInfoLength, &length, info);
  LOG(ERROR) << "Error message: " << absl::string_view(info, length);
  return compiled;
}

GLint GlhLinkProgram(GLuint program) {
  return RunProgramStep(glLinkProgram, GL_LINK_STATUS, "Failed to link program ", program);
}

GLint GlhValidateProgram(GLuint program) {
  return RunProgramStep(glValidateProgram, GL_VALIDATE_STATUS, "Failed to validate program ",
                        program);
}

GLint GlhCreateProgram(const GLchar* vert_src, const GLchar* frag_src, GLsizei attribute_count,
                       const GLchar* const* attribute_names, const GLint* attribute_locations,
                       GLuint* program) {
  *program = glCreateProgram();
  if (*program == 0) return GL_FALSE;

  GLuint vert_shader = 0;
  GLuint frag_shader = 0;
  GLint ok = GlhCompileShader(GL_VERTEX_SHADER, vert_src, &vert_shader);
  if (ok) ok = GlhCompileShader(GL_FRAGMENT_SHADER, frag_src, &frag_shader);

  if (ok) {
    glAttachShader(*program, vert_shader);
    glAttachShader(*program, frag_shader);
    for (GLsizei i = 0; i < attribute_count; ++i) {
      glBindAttribLocation(*program, attribute_locations[i], attribute_names[i]);
    }
    ok = GlhLinkProgram(*program);
  }

  // A linked program keeps its shaders; deleting them here only drops our names.
  if (vert_shader) glDeleteShader(vert_shader);
  if (frag_shader) glDeleteShader(frag_shader);

  if (!ok) {
    glDeleteProgram(*program);
    *program = 0;
  }
  return ok;
}

bool CompileShader(GLenum shader_type, const std::string& shader_source, GLuint* shader) {
  *shader = glCreateShader(shader_type);
  if (*shader == 0) {
    VLOG(2) << "Unable to create shader of type: " << shader_type;
    return false;
  }
  const GLchar* source = shader_source.c_str();
  glShaderSource(*shader, 1, &source, nullptr);
  glCompileShader(*shader);

  GLint compiled = GL_FALSE;
  glGetShaderiv(*shader, GL_COMPILE_STATUS, &compiled);
  if (compiled) return true;

  VLOG(2) << "Unable to compile shader:\n" << shader_source;
  GLint log_length = 0;
  glGetShaderiv(*shader, GL_INFO_LOG_LENGTH, &log_length);
  if (log_length > 0) {
    std::vector<GLchar> log(log_length);
    glGetShaderInfoLog(*shader, log_length, nullptr, log.data());
    LOG(ERROR) << "Shader compile log:\n" << log.data();
  }
  glDeleteShader(*shader);
  *shader = 0;
  return false;
}

bool CreateShaderProgram(GLuint vertex_shader, GLuint fragment_shader,
                         const std::unordered_map<GLuint, std::string>& attributes,
                         GLuint* shader_program) {
  *shader_program = glCreateProgram();
  if (*shader_program == 0) {
    VLOG(2) << "Unable to create shader program";
    return false;
  }
  glAttachShader(*shader_program, vertex_shader);
  glAttachShader(*shader_program, fragment_shader);
  for (const auto& [location, name] : attributes) {
    glBindAttribLocation(*shader_program, location, name.c_str());
  }
  glLinkProgram(*shader_program);
  GLint linked = GL_FALSE;
  glGetProgramiv(*shader_program, GL_LINK_STATUS, &linked);
  if (linked) return true;

  glDeleteProgram(*shader_program);
  *shader_program = 0;
  return false;
}

}  // namespace pellumo
