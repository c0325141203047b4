#include "face_ml/file_path.h"

#include <string>

#include "gtest/gtest.h"

namespace file {
namespace {

struct Case {
  std::string in;
  std::string out;
};

TEST(FilePathTest, CleanPath) {
  const Case cases[] = {
      {"/a/./b/../../c/", "/c"}, {"../../a", "../../a"}, {"a/../..", ".."},
      {"/..", "/"},              {"", "."},              {".", "."},
      {"a//b", "a/b"},           {"///a//", "/a"},       {"a/..", "."},
      {"../a/../..", "../.."},   {"a/b/../../../c", "../c"},
      {"/a/.hidden/..x/", "/a/.hidden/..x"},             {"./", "."},
      {"/", "/"},                {"a/./", "a"},
  };
  for (const Case& c : cases) EXPECT_EQ(CleanPath(c.in), c.out) << "CleanPath(\"" << c.in << "\")";
}

TEST(FilePathTest, JoinPathAddsOrRemovesOneSlash) {
  struct Join {
    std::string a, b, out;
  } cases[] = {
      {"models", "face.tflite", "models/face.tflite"},
      {"models/", "/face.tflite", "models/face.tflite"},
      {"models/", "face.tflite", "models/face.tflite"},
      {"models", "/face.tflite", "models/face.tflite"},
      {"", "face.tflite", "face.tflite"},
      {"models", "", "models"},
      {"a//", "/b", "a//b"},
  };
  for (const Join& c : cases) EXPECT_EQ(JoinPath(c.a, c.b), c.out) << c.a << " + " << c.b;

  EXPECT_EQ(internal::JoinPathImpl(true, {"a", "/b", "c"}), "/b/c");
  EXPECT_EQ(internal::JoinPathImpl(false, {"a", "/b", "c"}), "a/b/c");
  EXPECT_EQ(internal::JoinPathImpl(false, {"a/", "/b", "", "c/"}), "a/b/c/");
  EXPECT_EQ(internal::JoinPathImpl(false, {"", "/b"}), "/b");
}

TEST(FilePathTest, SplitsAndSmallHelpers) {
  EXPECT_EQ(SplitPath("/a"), std::make_pair(std::string_view("/"), std::string_view("a")));
  EXPECT_EQ(SplitPath("x/y/z"), std::make_pair(std::string_view("x/y"), std::string_view("z")));
  EXPECT_EQ(Dirname("a"), "");
  EXPECT_EQ(Basename("a"), "a");
  EXPECT_EQ(Extension("dir.d/file"), "");
  EXPECT_EQ(Stem("dir.d/file"), "file");
  EXPECT_EQ(Stem("a/b.c.d"), "b.c");
  EXPECT_EQ(Extension("a/b.c.d"), "d");
  EXPECT_EQ(AddSlash(""), "");
  EXPECT_EQ(AddSlash("a"), "a/");
  EXPECT_EQ(AddSlash("a/"), "a/");
  EXPECT_TRUE(IsAbsolutePath("/a"));
  EXPECT_FALSE(IsAbsolutePath(""));
  EXPECT_EQ(CollapseSlashes("//a///b/"), "/a/b/");
}

}  // namespace
}  // namespace file
