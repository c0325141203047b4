// Runs the demo program as a user would: a short run over generated frames, and bad input that
// must end with a message and exit status 1 (2 for a bad command line), never a crash.
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "examples/face_demo/frame_source.h"
#include "examples/face_demo/image_io.h"
#include "examples/face_demo/png_test_files.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/scoped_test_folder.h"

namespace face_demo {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct DemoRun {
  int status = -1;  // the exit status; -1 when the program did not exit normally
  std::string output;
};

DemoRun RunDemo(const std::string& arguments) {
  DemoRun run;
  const std::string command = std::string(QM_FACE_DEMO) + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.output.append(buffer, n);
  const int status = pclose(pipe);
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  return run;
}

size_t CountLines(const std::string& path) {
  std::ifstream in(path);
  size_t lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

TEST(FaceDemoRunTest, TracksTheGeneratedFace) {
  platform::foundation::ScopedTestFolder folder;
  const DemoRun run = RunDemo("--frames 5 --out " + folder.Path("out"));
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_THAT(run.output, HasSubstr("frame 5/5 frame_0004: face at ("));
  EXPECT_THAT(run.output, HasSubstr("face_demo: 5 frames, faces found in 5, mean "));
  EXPECT_EQ(CountLines(folder.Path("out/frames.jsonl")), 5u);
  for (const char* picture : {"frame_0000.png", "frame_0004.png"}) {
    EXPECT_TRUE(std::filesystem::is_regular_file(folder.Path("out/") + picture)) << picture;
  }
}

// An output folder the demo cannot write into, and one whose "sandbox" (where the session keeps
// its usage logs) is a file: a message naming the problem and exit status 1, not an abort in the
// session's logger.
TEST(FaceDemoRunTest, AnOutputFolderWithoutRoomForTheSessionEndsWithAMessage) {
  platform::foundation::ScopedTestFolder folder;
  std::filesystem::create_directories(folder.Path("file/"));
  std::ofstream(folder.Path("file/sandbox")) << "in the way";
  DemoRun run = RunDemo("--frames 1 --out " + folder.Path("file"));
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_THAT(run.output, HasSubstr("file/sandbox: is not a folder"));

  // A folder that exists and that no one, the superuser included, can make anything in.
  run = RunDemo("--frames 1 --out /proc");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_THAT(run.output, HasSubstr("/proc/sandbox: cannot hold the session's usage logs"));
}

// A damaged model or graph file: the session logs the failure, and the demo stops at once with
// that message instead of waiting for results that cannot come.
TEST(FaceDemoRunTest, ADamagedResourceEndsTheRunWithTheSessionsMessage) {
  struct Case {
    std::string file;
    std::string message;
  };
  const Case cases[] = {
      {"OstrellFaceResources.bundle/face_landmarks.tflite", "the face graph failed: "},
      {"OstrellFaceResources.bundle/sorvanti_mesh_468_video.binarypb",
       "the face graph failed: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    platform::foundation::ScopedTestFolder folder;
    std::filesystem::create_directories(folder.Path("resources"));
    std::filesystem::copy(QM_FACE_RESOURCES_ROOT "/OstrellFaceResources.bundle",
                          folder.Path("resources/OstrellFaceResources.bundle"),
                          std::filesystem::copy_options::recursive);
    std::ofstream(folder.Path("resources/" + c.file), std::ios::trunc) << "damaged";
    const DemoRun run = RunDemo("--frames 3 --resources " + folder.Path("resources") +
                                " --out " + folder.Path("out"));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_THAT(run.output, HasSubstr(c.message));
    EXPECT_THAT(run.output, Not(HasSubstr("within 60 s")));
  }
}

// A 16-bit frame is the same picture as its 8-bit self: the face is found in it.
TEST(FaceDemoRunTest, FindsTheFaceInSixteenBitFrames) {
  platform::foundation::ScopedTestFolder folder;
  std::string error;
  CFHolder<CVPixelBufferRef> frame = GeneratedFrames(640, 480, 1).frame(0, &error);
  ASSERT_TRUE(frame) << error;
  std::filesystem::create_directories(folder.Path("frames"));
  ASSERT_NO_FATAL_FAILURE(WriteSixteenBitPng(frame.get(), folder.Path("frames/a.png")));
  const DemoRun run = RunDemo("--out " + folder.Path("out") + " " + folder.Path("frames"));
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_THAT(run.output, HasSubstr("face_demo: 1 frames, faces found in 1, mean "));
}

TEST(FaceDemoRunTest, BadInputEndsWithAMessage) {
  platform::foundation::ScopedTestFolder folder;
  std::string error;
  auto write = [&](const std::string& path, size_t width, size_t height) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_TRUE(WritePixelBufferAsPng(GeneratedFrames(width, height, 1).frame(0, &error).get(),
                                      path, &error));
  };
  write(folder.Path("sizes/a.png"), 64, 48);
  std::filesystem::create_directories(folder.Path("huge"));
  WritePngHeaderOnly(folder.Path("huge/a.png"), 16384, 16384);
  write(folder.Path("sizes/b.png"), 48, 64);
  std::filesystem::create_directories(folder.Path("broken"));
  std::ofstream(folder.Path("broken/a.png")) << "not a picture";

  struct Case {
    std::string arguments;
    int status;
    std::string message;
  };
  const std::string out = " --out " + folder.Path("out") + " ";
  const Case cases[] = {
      {out + folder.Path("missing"), 1, "missing: no such folder"},
      {out + folder.Path("broken"), 1, "broken/a.png: not a readable PNG"},
      {out + folder.Path("sizes"), 1, "b.png: size 48x64 differs from the first frame's 64x48"},
      {out + folder.Path("huge"), 1, "a.png: image size 16384x16384 is beyond the limit"},
      {"--out " + folder.Path("sizes") + " " + folder.Path("sizes"), 1,
       "the output folder must not be the folder of the frames"},
      {out + "--resources " + folder.Path(""), 1, "no OstrellFaceResources.bundle in"},
      {"--frames 0", 2, "--frames takes a number from 1 to 100000"},
      {"--bogus", 2, "unknown option --bogus"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const DemoRun run = RunDemo(c.arguments);
    EXPECT_EQ(run.status, c.status) << run.output;
    EXPECT_THAT(run.output, HasSubstr(c.message));
  }
}

}  // namespace
}  // namespace face_demo
