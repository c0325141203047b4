#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "examples/face_demo/frame_report.h"
#include "examples/face_demo/frame_source.h"
#include "examples/face_demo/image_io.h"
#include "examples/face_demo/overlay.h"
#include "examples/face_demo/png_test_files.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/scoped_test_folder.h"

namespace face_demo {
namespace {

using ::testing::HasSubstr;

// The BGRA bytes of pixel (x, y).
const uint8_t* PixelAt(CVPixelBufferRef image, size_t x, size_t y) {
  return static_cast<const uint8_t*>(CVPixelBufferGetBaseAddress(image)) +
         y * CVPixelBufferGetBytesPerRow(image) + x * 4;
}

bool SamePixels(CVPixelBufferRef a, CVPixelBufferRef b) {
  if (CVPixelBufferGetWidth(a) != CVPixelBufferGetWidth(b) ||
      CVPixelBufferGetHeight(a) != CVPixelBufferGetHeight(b)) {
    return false;
  }
  CVPixelBufferLockBaseAddress(a, kCVPixelBufferLock_ReadOnly);
  CVPixelBufferLockBaseAddress(b, kCVPixelBufferLock_ReadOnly);
  bool same = true;
  for (size_t y = 0; y < CVPixelBufferGetHeight(a) && same; ++y) {
    same = std::equal(PixelAt(a, 0, y), PixelAt(a, CVPixelBufferGetWidth(a), y), PixelAt(b, 0, y));
  }
  CVPixelBufferUnlockBaseAddress(b, kCVPixelBufferLock_ReadOnly);
  CVPixelBufferUnlockBaseAddress(a, kCVPixelBufferLock_ReadOnly);
  return same;
}

TEST(FaceDemoImagesTest, GeneratedFramesSurviveAPngRoundTrip) {
  platform::foundation::ScopedTestFolder folder;
  GeneratedFrames frames(64, 48, 3);
  std::string error;
  for (size_t i = 0; i < frames.count(); ++i) {
    CFHolder<CVPixelBufferRef> frame = frames.frame(i, &error);
    ASSERT_TRUE(frame) << error;
    ASSERT_TRUE(WritePixelBufferAsPng(frame.get(), folder.Path(frames.name(i) + ".png"), &error))
        << error;
  }
  std::unique_ptr<PngFolderFrames> read = PngFolderFrames::Open(folder.Path(""), &error);
  ASSERT_NE(read, nullptr) << error;
  ASSERT_EQ(read->count(), 3u);
  for (size_t i = 0; i < read->count(); ++i) {
    EXPECT_EQ(read->name(i), frames.name(i));
    CFHolder<CVPixelBufferRef> back = read->frame(i, &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(CVPixelBufferGetPixelFormatType(back.get()), kCVPixelFormatType_32BGRA);
    EXPECT_TRUE(SamePixels(back.get(), frames.frame(i, &error).get())) << frames.name(i);
  }
}

TEST(FaceDemoImagesTest, ThePatchIsBrightAndMovesRightThenBack) {
  GeneratedFrames frames(640, 480, 9);
  double x[9], y;
  for (size_t i = 0; i < 9; ++i) frames.patchCenter(i, &x[i], &y);
  EXPECT_LT(x[0], x[4]);
  EXPECT_GT(x[4], x[8]);
  EXPECT_EQ(y, 240);

  std::string error;
  CFHolder<CVPixelBufferRef> frame = frames.frame(4, &error);
  ASSERT_TRUE(frame) << error;
  CVPixelBufferLockBaseAddress(frame.get(), kCVPixelBufferLock_ReadOnly);
  // Below the eyes and above the mouth the patch is skin; the corner is the dark room.
  const uint8_t* skin = PixelAt(frame.get(), size_t(x[4]), 240);
  const uint8_t* corner = PixelAt(frame.get(), 2, 2);
  EXPECT_GT(skin[2], 200);
  EXPECT_LT(corner[2], 60);
  CVPixelBufferUnlockBaseAddress(frame.get(), kCVPixelBufferLock_ReadOnly);
}

TEST(FaceDemoImagesTest, BadInputGivesAnErrorNamingTheFile) {
  platform::foundation::ScopedTestFolder folder;
  std::string error;
  GeneratedFrames frames(32, 24, 1);
  auto write = [&](const std::string& folderName, const std::string& file, size_t width,
                   size_t height) {
    std::filesystem::create_directories(folder.Path(folderName));
    GeneratedFrames sized(width, height, 1);
    ASSERT_TRUE(WritePixelBufferAsPng(sized.frame(0, &error).get(),
                                      folder.Path(folderName + "/" + file), &error));
  };
  write("sizes", "a.png", 32, 24);
  write("sizes", "b.png", 24, 32);
  std::filesystem::create_directories(folder.Path("empty"));
  std::ofstream(folder.Path("empty/notes.txt")) << "no pictures";
  write("broken", "a.png", 32, 24);
  std::ofstream(folder.Path("broken/b.png")) << "\x89PNG\r\n\x1a\n and then nothing useful";
  // A real PNG cut short in its image data.
  write("cut", "a.png", 32, 24);
  {
    std::ifstream in(folder.Path("cut/a.png"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::ofstream(folder.Path("cut/b.png"), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
  }

  EXPECT_EQ(PngFolderFrames::Open(folder.Path("missing"), &error), nullptr);
  EXPECT_THAT(error, HasSubstr("missing: no such folder"));
  EXPECT_EQ(PngFolderFrames::Open(folder.Path("empty"), &error), nullptr);
  EXPECT_THAT(error, HasSubstr("empty: holds no PNG file"));

  struct Case {
    const char* folder;
    const char* message;
  };
  for (const Case& c : {Case{"sizes", "b.png: size 24x32 differs from the first frame's 32x24"},
                        Case{"broken", "b.png: not a readable PNG"},
                        Case{"cut", "b.png: broken PNG data"}}) {
    SCOPED_TRACE(c.folder);
    std::unique_ptr<PngFolderFrames> source = PngFolderFrames::Open(folder.Path(c.folder), &error);
    ASSERT_NE(source, nullptr) << error;
    EXPECT_TRUE(source->frame(0, &error));
    error.clear();
    EXPECT_FALSE(source->frame(1, &error));
    EXPECT_THAT(error, HasSubstr(c.message));
  }
}

TEST(FaceDemoImagesTest, SixteenBitPngsReadAsTheirEightBitSelves) {
  platform::foundation::ScopedTestFolder folder;
  std::string error;
  CFHolder<CVPixelBufferRef> frame = GeneratedFrames(64, 48, 1).frame(0, &error);
  ASSERT_TRUE(frame) << error;
  ASSERT_NO_FATAL_FAILURE(WriteSixteenBitPng(frame.get(), folder.Path("deep.png")));
  CFHolder<CVPixelBufferRef> read = ReadPngAsPixelBuffer(folder.Path("deep.png"), &error);
  ASSERT_TRUE(read) << error;
  EXPECT_TRUE(SamePixels(frame.get(), read.get()));
}

TEST(FaceDemoImagesTest, AHugeSizeIsRefusedFromTheHeader) {
  platform::foundation::ScopedTestFolder folder;
  struct Case {
    uint32_t width, height;
  };
  for (const Case& c : {Case{16384, 16384}, Case{kMaxImageSide + 1, 1},
                        Case{kMaxImageSide, kMaxImageSide}}) {
    const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
    SCOPED_TRACE(size);
    WritePngHeaderOnly(folder.Path("huge.png"), c.width, c.height);
    std::string error;
    EXPECT_FALSE(ReadPngAsPixelBuffer(folder.Path("huge.png"), &error));
    EXPECT_THAT(error, HasSubstr("huge.png: image size " + size + " is beyond the limit"));
  }
}

// A face 0.5 m in front of the camera whose mesh is one triangle of 10 cm around its centre.
std::shared_ptr<QVXAugmentedFaceFrame> FrameWithTriangle(CVPixelBufferRef image) {
  quorrel::face_transform::Transform transform;
  Eigen::Matrix4f pose = Eigen::Matrix4f::Identity();
  pose(2, 3) = -50;  // centimetres
  for (int region = 0; region < 4; ++region) {
    transform.region_transforms[quorrel::face_transform::FaceRegion(region)] = pose;
  }
  // Mesh positions are in camera space, like the pose.
  for (Eigen::Vector3f position : {Eigen::Vector3f(-5, -5, -50), Eigen::Vector3f(5, -5, -50),
                                   Eigen::Vector3f(0, 5, -50)}) {
    quorrel::face_transform::Vertex vertex;
    vertex.position = position;
    vertex.normal = Eigen::Vector3f::UnitZ();
    transform.mesh.vertices.push_back(vertex);
  }
  transform.mesh.triangle_indices = {0, 1, 2};
  return QVXAugmentedFaceFrame::initWithFace(
      QVXAugmentedFace::initWithFaceTransform(&transform, 0), image, 0.5, 60);
}

TEST(FaceDemoOverlayTest, TheMeshIsDrawnAroundTheImageCentre) {
  std::string error;
  CFHolder<CVPixelBufferRef> image = MakeBgraPixelBuffer(64, 48);
  ASSERT_TRUE(image);
  CVPixelBufferLockBaseAddress(image.get(), 0);
  std::memset(CVPixelBufferGetBaseAddress(image.get()), 0,
              CVPixelBufferGetBytesPerRow(image.get()) * 48);
  CVPixelBufferUnlockBaseAddress(image.get(), 0);
  auto frame = FrameWithTriangle(image.get());

  CFHolder<CVPixelBufferRef> picture = CopyBgraPixelBuffer(image.get());
  EXPECT_EQ(DrawFaceMesh(*frame, picture.get()), 3u);

  // Drawn pixels stay within the triangle's box around the centre, and the source is untouched.
  CVPixelBufferLockBaseAddress(picture.get(), kCVPixelBufferLock_ReadOnly);
  size_t drawn = 0;
  for (size_t y = 0; y < 48; ++y) {
    for (size_t x = 0; x < 64; ++x) {
      if (PixelAt(picture.get(), x, y)[1] == 0) continue;
      ++drawn;
      EXPECT_NEAR(double(x), 32, 8) << y;
      EXPECT_NEAR(double(y), 24, 8) << x;
    }
  }
  CVPixelBufferUnlockBaseAddress(picture.get(), kCVPixelBufferLock_ReadOnly);
  EXPECT_GT(drawn, 10u);
  EXPECT_FALSE(SamePixels(picture.get(), image.get()));
}

// The field of view spans the image width; the vertical one follows from the image's aspect.
TEST(FaceDemoOverlayTest, TheCameraSeesItsFieldOfViewAcrossTheWidth) {
  const simd_float4x4 projection = CameraProjection(60, 640, 480);
  const double d = 0.8, half = std::tan(M_PI / 6) * d;
  struct Case {
    simd_float4 point;
    double x, y;
  } cases[] = {{{0, 0, float(-d), 1}, 320, 240},
               {{float(half), 0, float(-d), 1}, 640, 240},
               {{float(-half), 0, float(-d), 1}, 0, 240},
               {{0, float(half * 0.75), float(-d), 1}, 320, 0},
               {{0, float(-half * 0.75), float(-d), 1}, 320, 480}};
  for (const Case& c : cases) {
    double x, y;
    ASSERT_TRUE(ProjectToImage(projection, c.point, 640, 480, &x, &y));
    EXPECT_NEAR(x, c.x, 1e-3);
    EXPECT_NEAR(y, c.y, 1e-3);
  }
  double x, y;
  EXPECT_FALSE(ProjectToImage(projection, {0, 0, 1, 1}, 640, 480, &x, &y)) << "behind the camera";
}

TEST(FaceDemoOverlayTest, LinesAreClippedToTheImage) {
  CFHolder<CVPixelBufferRef> image = MakeBgraPixelBuffer(16, 8);
  // Far outside, crossing, and entirely outside: nothing is written out of bounds (the address
  // sanitizer would see it) and the crossing line covers its whole row.
  DrawLine(image.get(), -1e12, 3.5, 1e12, 3.5, {1, 2, 3});
  DrawLine(image.get(), 100, 100, 200, 300, {9, 9, 9});
  DrawLine(image.get(), NAN, 0, 5, 5, {9, 9, 9});
  CVPixelBufferLockBaseAddress(image.get(), kCVPixelBufferLock_ReadOnly);
  for (size_t x = 0; x < 16; ++x) EXPECT_EQ(PixelAt(image.get(), x, 3)[2], 3) << x;
  CVPixelBufferUnlockBaseAddress(image.get(), kCVPixelBufferLock_ReadOnly);
}

TEST(FaceDemoReportTest, OneJsonLinePerFrame) {
  auto noFace = QVXAugmentedFaceFrame::initWithFace(nullptr, nullptr, 0.25, 60);
  EXPECT_EQ(FrameJson(7, "shot \"7\"", *noFace),
            "{\"frame\":7,\"name\":\"shot \\\"7\\\"\",\"timestamp\":0.25,\"face\":false,"
            "\"center\":null,\"regions\":null,\"vertices\":0}");

  auto frame = FrameWithTriangle(nullptr);
  std::string line = FrameJson(0, "f", *frame);
  EXPECT_THAT(line, HasSubstr("\"face\":true,\"center\":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,-0.5,1]"));
  EXPECT_THAT(line, HasSubstr("\"regions\":{\"nose_tip\":["));
  EXPECT_THAT(line, HasSubstr("\"forehead_right\":["));
  EXPECT_THAT(line, HasSubstr("\"vertices\":3}"));

  auto nanTime = QVXAugmentedFaceFrame::initWithFace(nullptr, nullptr, NAN, 60);
  EXPECT_THAT(FrameJson(1, "n", *nanTime), HasSubstr("\"timestamp\":null"));
}

}  // namespace
}  // namespace face_demo
