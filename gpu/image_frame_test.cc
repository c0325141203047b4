#include "gpu/image_frame.h"

#include <cstdint>
#include <cstring>
#include <numeric>
#include <ostream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace kaldren {
namespace {

using pellumo::ImageFormat;

struct LayoutCase {
  std::string name;
  ImageFormat::Format format;
  int width;
  uint32_t alignment;
  int width_step;
  bool contiguous;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class ImageFrameLayoutTest : public testing::TestWithParam<LayoutCase> {};

TEST_P(ImageFrameLayoutTest, WidthStepAlignmentAndContiguity) {
  const LayoutCase& c = GetParam();
  ImageFrame frame(c.format, c.width, 3, c.alignment);
  EXPECT_EQ(frame.WidthStep(), c.width_step);
  EXPECT_EQ(frame.IsContiguous(), c.contiguous);
  EXPECT_TRUE(frame.IsAligned(c.alignment));
  ASSERT_NE(frame.PixelData(), nullptr);
  // Every byte of the block is writable (ASan reports a short block).
  memset(frame.MutablePixelData(), 0xAB, frame.WidthStep() * 3);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ImageFrameLayoutTest,
    testing::Values(
        LayoutCase{"Rgb8Default16", ImageFormat::RGB8, 5, 16, 16, false},
        LayoutCase{"Rgb8Packed", ImageFormat::RGB8, 5, 1, 15, true},
        LayoutCase{"Rgb8Malloc4", ImageFormat::RGB8, 5, 4, 16, false},
        LayoutCase{"Rgb8Memalign32", ImageFormat::RGB8, 5, 32, 32, false},
        LayoutCase{"Rgba8ExactRow", ImageFormat::RGBA8, 4, 16, 16, true},
        LayoutCase{"Gray8Gl4", ImageFormat::GRAY8, 6, ImageFrame::kGlDefaultAlignmentBoundary, 8,
                   false},
        LayoutCase{"Gray16", ImageFormat::GRAY16, 3, 16, 16, false},
        LayoutCase{"Rgb16Align2", ImageFormat::RGB16, 1, 2, 6, true},
        LayoutCase{"Rgba16Align8", ImageFormat::RGBA16, 3, 8, 24, true},
        LayoutCase{"Gray32fAlign64", ImageFormat::GRAY32F, 3, 64, 64, false},
        LayoutCase{"ThreeChannel8", ImageFormat::THREE_CHANNEL8, 16, 16, 48, true},
        LayoutCase{"FourChannel8", ImageFormat::FOUR_CHANNEL8, 2, 16, 16, false}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

TEST(ImageFrameTest, FormatTables) {
  struct Entry {
    ImageFormat::Format format;
    int channels;
    int depth;
  };
  for (const Entry& e : {Entry{ImageFormat::RGB8, 3, 1}, Entry{ImageFormat::RGBA8, 4, 1},
                         Entry{ImageFormat::GRAY8, 1, 1}, Entry{ImageFormat::GRAY16, 1, 2},
                         Entry{ImageFormat::RGB16, 3, 2}, Entry{ImageFormat::RGBA16, 4, 2},
                         Entry{ImageFormat::GRAY32F, 1, 4}, Entry{ImageFormat::THREE_CHANNEL8, 3, 1},
                         Entry{ImageFormat::FOUR_CHANNEL8, 4, 1}}) {
    EXPECT_EQ(ImageFrame::NumberOfChannelsForFormat(e.format), e.channels) << e.format;
    EXPECT_EQ(ImageFrame::ByteDepthForFormat(e.format), e.depth) << e.format;
    EXPECT_EQ(ImageFrame::ChannelSizeForFormat(e.format), e.depth) << e.format;
  }
  EXPECT_TRUE(ImageFrame::IsValidAlignmentNumber(1));
  EXPECT_FALSE(ImageFrame::IsValidAlignmentNumber(0));
  EXPECT_FALSE(ImageFrame::IsValidAlignmentNumber(12));
}

TEST(ImageFrameTest, PaddingRepeatsTheLastPixelThenZeros) {
  for (uint32_t alignment : {16u, 32u}) {
    ImageFrame frame(ImageFormat::RGB8, 5, 2, alignment);
    memset(frame.MutablePixelData(), 0xEE, frame.WidthStep() * 2);
    for (int row = 0; row < 2; ++row) {
      uint8_t* pixels = frame.MutablePixelData() + row * frame.WidthStep();
      for (int i = 0; i < 15; ++i) pixels[i] = static_cast<uint8_t>(10 * row + i);
    }
    frame.SetAlignmentPaddingAreas();
    const int whole_pixels = (frame.WidthStep() - 15) / 3;
    EXPECT_EQ(whole_pixels, alignment == 16 ? 0 : 5);
    for (int row = 0; row < 2; ++row) {
      const uint8_t* pixels = frame.PixelData() + row * frame.WidthStep();
      std::vector<uint8_t> expected(pixels, pixels + 15);
      for (int p = 0; p < whole_pixels; ++p) {
        expected.insert(expected.end(), pixels + 12, pixels + 15);
      }
      expected.resize(frame.WidthStep(), 0);
      EXPECT_EQ(std::vector<uint8_t>(pixels, pixels + frame.WidthStep()), expected)
          << "alignment " << alignment << " row " << row;
    }
  }
}

TEST(ImageFrameTest, CopiesRoundTripThroughStridedLayouts) {
  // A 3 x 2 GRAY16 source whose rows are 10 bytes apart (6 bytes of pixels, 4 of junk).
  std::vector<uint8_t> source(20, 0xFF);
  for (int row = 0; row < 2; ++row) {
    for (int i = 0; i < 6; ++i) source[row * 10 + i] = static_cast<uint8_t>(row * 6 + i);
  }
  ImageFrame frame;
  frame.CopyPixelData(ImageFormat::GRAY16, 3, 2, 10, source.data(), 16);
  EXPECT_EQ(frame.WidthStep(), 16);

  ImageFrame copy;
  copy.CopyFrom(frame, 1);
  EXPECT_TRUE(copy.IsContiguous());
  EXPECT_NE(copy.PixelData(), frame.PixelData());

  std::vector<uint16_t> strided_out(6), packed_out(6);
  frame.CopyToBuffer(strided_out.data(), 6);
  copy.CopyToBuffer(packed_out.data(), 6);
  std::vector<uint8_t> expected(12);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(0, memcmp(strided_out.data(), expected.data(), 12));
  EXPECT_EQ(0, memcmp(packed_out.data(), expected.data(), 12));

  frame.SetToZero();
  for (int i = 0; i < frame.WidthStep() * 2; ++i) ASSERT_EQ(frame.PixelData()[i], 0) << i;
}

TEST(ImageFrameTest, MoveAndReleaseHandOverTheData) {
  int deleted = 0;
  uint8_t pixels[16] = {};
  ImageFrame adopted(ImageFormat::GRAY8, 4, 4, 4, pixels, [&](uint8_t* p) {
    EXPECT_EQ(p, pixels);
    ++deleted;
  });
  ImageFrame moved(std::move(adopted));
  EXPECT_EQ(adopted.Format(), ImageFormat::UNKNOWN);
  EXPECT_EQ(adopted.Width(), 0);
  EXPECT_EQ(adopted.Height(), 0);
  EXPECT_EQ(adopted.WidthStep(), 0);
  EXPECT_EQ(adopted.PixelData(), nullptr);
  EXPECT_EQ(moved.PixelData(), pixels);

  // Assigning over `moved` frees its old data through its own deleter.
  moved = ImageFrame(ImageFormat::RGBA8, 2, 2);
  EXPECT_EQ(deleted, 1);

  ImageFrame::OwnedPixelData released = moved.Release();
  ASSERT_NE(released, nullptr);
  EXPECT_EQ(moved.PixelData(), nullptr);
  EXPECT_EQ(moved.Width(), 2);
  EXPECT_EQ(moved.WidthStep(), 16);
  EXPECT_FALSE(moved.IsContiguous());
  EXPECT_FALSE(moved.IsAligned(16));
  EXPECT_TRUE(released.get_deleter());
}

TEST(ImageFrameDeathTest, MisuseIsFatal) {
  uint8_t pixels[64] = {};
  ImageFrame gray(ImageFormat::GRAY8, 4, 2);
  EXPECT_DEATH(ImageFrame(ImageFormat::UNKNOWN, 4, 4),
               "Check failed: ImageFormat::UNKNOWN != format_ \\(0 vs. 0\\)");
  EXPECT_DEATH(ImageFrame(ImageFormat::YCBCR420_PLANAR, 4, 4), "Invalid format\\.");
  EXPECT_DEATH(ImageFrame::NumberOfChannelsForFormat(static_cast<ImageFormat::Format>(12)),
               "Invalid format\\.");
  EXPECT_DEATH(ImageFrame(ImageFormat::RGB8, 4, 4, 3),
               "Check failed: IsValidAlignmentNumber\\(alignment_boundary\\)");
  EXPECT_DEATH(gray.IsAligned(0), "Check failed: IsValidAlignmentNumber\\(alignment_boundary\\)");
  EXPECT_DEATH(ImageFrame(ImageFormat::RGB8, 4, 4, 11, pixels, ImageFrame::PixelDataDeleter::kNone),
               "Check failed: width_step_ >= width \\* NumberOfChannels\\(\\) \\* ByteDepth\\(\\) "
               "\\(11 vs. 12\\)");
  uint16_t wide[8];
  EXPECT_DEATH(gray.CopyToBuffer(wide, 8), "Check failed: 2 == ByteDepth\\(\\) \\(2 vs. 1\\)");
  EXPECT_DEATH(gray.CopyToBuffer(pixels, 7), "Check failed: data_size <= buffer_size \\(8 vs. 7\\)");
  EXPECT_DEATH(gray.CopyToBuffer(static_cast<uint8_t*>(nullptr), 8), "Check failed: buffer");
  EXPECT_DEATH(ImageFrame(ImageFormat::GRAY8, 0, 2).SetAlignmentPaddingAreas(),
               "Check failed: width_ >= 1 \\(0 vs. 1\\)");
  ImageFrame other;
  EXPECT_DEATH(other.CopyPixelData(ImageFormat::RGB8, -1, 2, pixels, 16),
               "cannot allocate pixel data for a -1 x 2 image");
}

TEST(ImageFrameDeathTest, FailedAllocationIsFatalWithItsSize) {
  // About 2^51 bytes: no allocator hands that out.
  const char* expected =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
      "";  // The sanitizer's allocator reports the oversized request itself.
#else
      "failed to allocate 2251799813685248 bytes of pixel data for a 134217728 x 2097152 image";
#endif
  EXPECT_DEATH(ImageFrame(ImageFormat::RGBA16, 1 << 27, 1 << 21, 8), expected);
}

}  // namespace
}  // namespace kaldren
