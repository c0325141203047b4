#include "gpu/shader_util.h"

#include <memory>
#include <string>
#include <vector>

#include "base/vlog.h"
#include "gmock/gmock.h"
#include "gpu/gl_context.h"
#include "gpu/testing/file_log_sink.h"
#include "gpu/testing/run_in_gl.h"
#include "gtest/gtest.h"

namespace pellumo {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StartsWith;

// Records what shader_util.cc logs.
class ShaderLogSink : public testing::FileLogSink {
 public:
  ShaderLogSink() : FileLogSink("shader_util.cc") {}
};

constexpr char kVertex[] =
    "attribute vec4 position; attribute vec4 texture_coordinate; varying vec2 v;\n"
    "void main() { gl_Position = position; v = texture_coordinate.xy; }\n";
constexpr char kFragment[] =
    "precision mediump float; varying vec2 v;\n"
    "void main() { gl_FragColor = vec4(v, 0.0, 1.0); }\n";
// Compiles, but its varying does not match kVertex's, so the pair does not link.
constexpr char kFragmentWithOtherVarying[] =
    "precision mediump float; varying vec3 v;\n"
    "void main() { gl_FragColor = vec4(v, 1.0); }\n";
// Uses no attribute at all.
constexpr char kConstantVertex[] = "void main() { gl_Position = vec4(0.0); }\n";
constexpr char kConstantFragment[] = "void main() { gl_FragColor = vec4(1.0); }\n";

// Whether any shader or program object with a small name exists in the current context;
// a fresh context hands out small names, so this finds objects a failed call left behind.
bool AnyShaderOrProgramLeft() {
  for (GLuint name = 1; name < 64; ++name) {
    if (glIsShader(name) || glIsProgram(name)) return true;
  }
  return false;
}

class ShaderUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto context = GlContext::Create(nullptr, false);
    ASSERT_TRUE(context.ok()) << context.status();
    context_ = *std::move(context);
  }

  // Runs `work` with a fresh context current.
  template <typename F>
  void InGl(F work) {
    testing::RunInGl(*context_, work);
  }

  std::shared_ptr<GlContext> context_;
};

struct BrokenSource {
  const char* name;
  GLenum type;
  const char* source;
  const char* error_part;  // part of Mesa's info log
};

// Sources that fail in different phases of the compiler.
const BrokenSource kBrokenSources[] = {
    {"SyntaxError", GL_VERTEX_SHADER, "void main() { gl_Position = vec4(0.0) }\n", "error"},
    {"UndeclaredIdentifier", GL_FRAGMENT_SHADER,
     "precision mediump float; void main() { gl_FragColor = undeclared_colour; }\n",
     "undeclared_colour"},
    {"TypeMismatch", GL_VERTEX_SHADER, "void main() { gl_Position = vec3(1.0); }\n", "error"},
    {"UnknownDirective", GL_FRAGMENT_SHADER, "#frobnicate\nvoid main() {}\n", "error"},
    {"WrongReturnType", GL_VERTEX_SHADER,
     "float f() { return vec2(1.0); }\nvoid main() { gl_Position = vec4(f()); }\n", "error"},
    {"Empty", GL_FRAGMENT_SHADER, "", "error"},
};

TEST_F(ShaderUtilTest, GlhCompileShaderLogsSourceAndInfoLogAndKeepsTheShader) {
  for (const BrokenSource& broken : kBrokenSources) {
    SCOPED_TRACE(broken.name);
    ShaderLogSink sink;
    InGl([&] {
      GLuint shader = 0;
      EXPECT_EQ(GlhCompileShader(broken.type, broken.source, &shader), GL_FALSE);
      ASSERT_NE(shader, 0u);
      EXPECT_TRUE(glIsShader(shader));
      GLint log_length = 0;
      glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &log_length);
      std::vector<GLchar> info(log_length + 1, '\0');
      glGetShaderInfoLog(shader, log_length, nullptr, info.data());
      EXPECT_THAT(info.data(), HasSubstr(broken.error_part));

      EXPECT_THAT(sink.lines(),
                  ElementsAre("E Failed to compile shader:\n" + std::string(broken.source),
                              "E Error message: " + std::string(info.data())));
      glDeleteShader(shader);
    });
  }
}

TEST_F(ShaderUtilTest, GlhCompileShaderSucceedsQuietlyAndFailsQuietlyWithoutAShader) {
  ShaderLogSink sink;
  InGl([&] {
    GLuint shader = 0;
    EXPECT_EQ(GlhCompileShader(GL_VERTEX_SHADER, kVertex, &shader), GL_TRUE);
    EXPECT_TRUE(glIsShader(shader));
    glDeleteShader(shader);

    // An invalid shader type makes no shader: 0 and nothing logged.
    EXPECT_EQ(GlhCompileShader(GL_TEXTURE_2D, kVertex, &shader), GL_FALSE);
    EXPECT_EQ(shader, 0u);
    glGetError();
  });
  EXPECT_THAT(sink.lines(), IsEmpty());
}

// A source with enough errors that the info log is longer than 1023 characters.
std::string SourceWithLongInfoLog() {
  std::string source = "void main() {\n";
  for (int i = 0; i < 80; ++i) {
    source += "  gl_Position = undeclared_identifier_number_" + std::to_string(i) + ";\n";
  }
  return source + "}\n";
}

TEST_F(ShaderUtilTest, LongInfoLogIsCutByGlhCompileShaderButWholeInCompileShader) {
  const std::string source = SourceWithLongInfoLog();
  ShaderLogSink glh_sink;
  GLint full_length = 0;
  InGl([&] {
    GLuint shader = 0;
    ASSERT_EQ(GlhCompileShader(GL_VERTEX_SHADER, source.c_str(), &shader), GL_FALSE);
    glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &full_length);
    glDeleteShader(shader);
  });
  ASSERT_GT(full_length, 1024) << "the fixture must produce a long info log";
  ASSERT_THAT(glh_sink.lines(), SizeIs(2));
  EXPECT_EQ(glh_sink.lines()[1].size(), std::string("E Error message: ").size() + 1023);

  ShaderLogSink sink;
  InGl([&] {
    GLuint shader = 1234;
    EXPECT_FALSE(CompileShader(GL_VERTEX_SHADER, source, &shader));
    EXPECT_EQ(shader, 0u);
  });
  ASSERT_THAT(sink.lines(), SizeIs(1));
  // GL_INFO_LOG_LENGTH counts the terminating null.
  EXPECT_EQ(sink.lines()[0].size(),
            std::string("E Shader compile log:\n").size() + full_length - 1);
  EXPECT_THAT(sink.lines()[0], HasSubstr("undeclared_identifier_number_79"));
}

TEST_F(ShaderUtilTest, GlhCreateProgramLinksBindsAttributesAndDropsItsShaders) {
  ShaderLogSink sink;
  InGl([&] {
    const GLchar* names[] = {"position", "texture_coordinate"};
    const GLint locations[] = {3, 5};
    GLuint program = 0;
    ASSERT_TRUE(GlhCreateProgram(kVertex, kFragment, 2, names, locations, &program));
    EXPECT_TRUE(glIsProgram(program));
    EXPECT_EQ(glGetAttribLocation(program, "position"), 3);
    EXPECT_EQ(glGetAttribLocation(program, "texture_coordinate"), 5);
    // The shaders are flagged for deletion and go with the program.
    glDeleteProgram(program);
    EXPECT_FALSE(AnyShaderOrProgramLeft());

    // Count 0 binds nothing and still links.
    ASSERT_TRUE(
        GlhCreateProgram(kConstantVertex, kConstantFragment, 0, nullptr, nullptr, &program));
    EXPECT_TRUE(glIsProgram(program));
    glDeleteProgram(program);
  });
}

TEST_F(ShaderUtilTest, GlhCreateProgramFailuresLogAndLeaveNothingBehind) {
  const std::string broken = kBrokenSources[0].source;
  struct Case {
    const char* name;
    std::string vertex, fragment;
    std::vector<std::string> expected_prefixes;
  };
  const Case cases[] = {
      // The fragment shader is not even compiled.
      {"VertexDoesNotCompile",
       broken,
       "this is no shader",
       {"E Failed to compile shader:\n" + broken, "E Error message: "}},
      {"FragmentDoesNotCompile",
       kVertex,
       broken,
       {"E Failed to compile shader:\n" + broken, "E Error message: "}},
      {"DoesNotLink", kVertex, kFragmentWithOtherVarying, {"E Failed to link program "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ShaderLogSink sink;
    InGl([&] {
      const GLchar* names[] = {"position"};
      const GLint locations[] = {0};
      GLuint program = 77;
      EXPECT_FALSE(
          GlhCreateProgram(c.vertex.c_str(), c.fragment.c_str(), 1, names, locations, &program));
      EXPECT_EQ(program, 0u);
      EXPECT_FALSE(AnyShaderOrProgramLeft());
    });
    const std::vector<std::string> lines = sink.lines();
    ASSERT_EQ(lines.size(), c.expected_prefixes.size());
    for (size_t i = 0; i < lines.size(); ++i)
      EXPECT_THAT(lines[i], StartsWith(c.expected_prefixes[i]));
  }
}

TEST_F(ShaderUtilTest, LinkFailureNamesTheProgram) {
  ShaderLogSink sink;
  InGl([&] {
    GLuint vertex = 0, fragment = 0;
    ASSERT_TRUE(CompileShader(GL_VERTEX_SHADER, kVertex, &vertex));
    ASSERT_TRUE(CompileShader(GL_FRAGMENT_SHADER, kFragmentWithOtherVarying, &fragment));
    const GLuint program = glCreateProgram();
    glAttachShader(program, vertex);
    glAttachShader(program, fragment);
    EXPECT_EQ(GlhLinkProgram(program), GL_FALSE);
    EXPECT_THAT(sink.lines(), ElementsAre("E Failed to link program " + std::to_string(program)));
    glDeleteProgram(program);
    glDeleteShader(vertex);
    glDeleteShader(fragment);
  });
}

TEST_F(ShaderUtilTest, GlhValidateProgram) {
  ShaderLogSink sink;
  InGl([&] {
    GLuint linked = 0;
    ASSERT_TRUE(GlhCreateProgram(kVertex, kFragment, 0, nullptr, nullptr, &linked));
    EXPECT_EQ(GlhValidateProgram(linked), GL_TRUE);
    EXPECT_THAT(sink.lines(), IsEmpty());

    // A program that was never linked does not validate.
    const GLuint unlinked = glCreateProgram();
    EXPECT_EQ(GlhValidateProgram(unlinked), GL_FALSE);
    EXPECT_THAT(sink.lines(),
                ElementsAre("E Failed to validate program " + std::to_string(unlinked)));
    glDeleteProgram(unlinked);
    glDeleteProgram(linked);
  });
}

TEST_F(ShaderUtilTest, CompileShaderDeletesWhatFailedAndLogsOnlyTheInfoLog) {
  ShaderLogSink sink;
  InGl([&] {
    GLuint shader = 0;
    ASSERT_TRUE(CompileShader(GL_FRAGMENT_SHADER, kFragment, &shader));
    EXPECT_TRUE(glIsShader(shader));
    glDeleteShader(shader);
    EXPECT_THAT(sink.lines(), IsEmpty());

    shader = 99;
    EXPECT_FALSE(CompileShader(GL_VERTEX_SHADER, kBrokenSources[0].source, &shader));
    EXPECT_EQ(shader, 0u);
    EXPECT_FALSE(AnyShaderOrProgramLeft());
    ASSERT_THAT(sink.lines(), SizeIs(1));
    EXPECT_THAT(sink.lines()[0], StartsWith("E Shader compile log:\n"));
    EXPECT_THAT(sink.lines()[0], HasSubstr("error"));
  });
}

TEST_F(ShaderUtilTest, VerboseLinesShowAtLevelTwo) {
  const int previous = SetVLOGLevel("shader_util", 2);
  ShaderLogSink sink;
  InGl([&] {
    GLuint shader = 5;
    EXPECT_FALSE(CompileShader(GL_TEXTURE_2D, kVertex, &shader));
    EXPECT_EQ(shader, 0u);
    glGetError();
    EXPECT_FALSE(CompileShader(GL_VERTEX_SHADER, kBrokenSources[0].source, &shader));
  });
  SetVLOGLevel("shader_util", previous);
  const std::vector<std::string> lines = sink.lines();
  ASSERT_THAT(lines, SizeIs(3));
  EXPECT_EQ(lines[0], "I Unable to create shader of type: " + std::to_string(GL_TEXTURE_2D));
  EXPECT_EQ(lines[1], "I Unable to compile shader:\n" + std::string(kBrokenSources[0].source));
  EXPECT_THAT(lines[2], StartsWith("E Shader compile log:\n"));
}

TEST_F(ShaderUtilTest, CreateShaderProgramBindsTheMapAndKeepsShadersOnFailure) {
  ShaderLogSink sink;
  InGl([&] {
    GLuint vertex = 0, fragment = 0, other_fragment = 0;
    ASSERT_TRUE(CompileShader(GL_VERTEX_SHADER, kVertex, &vertex));
    ASSERT_TRUE(CompileShader(GL_FRAGMENT_SHADER, kFragment, &fragment));
    ASSERT_TRUE(CompileShader(GL_FRAGMENT_SHADER, kFragmentWithOtherVarying, &other_fragment));

    GLuint program = 0;
    ASSERT_TRUE(CreateShaderProgram(vertex, fragment, {{2, "position"}, {4, "texture_coordinate"}},
                                    &program));
    EXPECT_EQ(glGetAttribLocation(program, "position"), 2);
    EXPECT_EQ(glGetAttribLocation(program, "texture_coordinate"), 4);
    glDeleteProgram(program);

    program = 42;
    EXPECT_FALSE(CreateShaderProgram(vertex, other_fragment, {}, &program));
    EXPECT_EQ(program, 0u);
    EXPECT_TRUE(glIsShader(vertex));
    EXPECT_TRUE(glIsShader(other_fragment));
    glDeleteShader(vertex);
    glDeleteShader(fragment);
    glDeleteShader(other_fragment);
    EXPECT_FALSE(AnyShaderOrProgramLeft());
  });
  EXPECT_THAT(sink.lines(), IsEmpty());  // a link failure is not logged here
}

}  // namespace
}  // namespace pellumo
