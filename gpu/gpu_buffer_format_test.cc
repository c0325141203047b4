#include "gpu/gpu_buffer_format.h"

#include <GLES3/gl3.h>
#include <GLES2/gl2ext.h>

#include <ostream>
#include <string>

#include "gtest/gtest.h"
#include "platform/corevideo/pixel_format.h"

namespace pellumo {

void PrintTo(const GlTextureInfo& i, std::ostream* os) {
  *os << std::hex << "{0x" << i.gl_internal_format << ", 0x" << i.gl_format << ", 0x" << i.gl_type
      << ", " << std::dec << i.downscale << "}";
}

namespace {

using F = GpuBufferFormat;

struct TableRow {
  std::string name;
  F format;
  int plane;
  GlTextureInfo es3;
  GlTextureInfo es2;
};

void PrintTo(const TableRow& row, std::ostream* os) { *os << row.name; }

class GlTextureTableTest : public testing::TestWithParam<TableRow> {};

TEST_P(GlTextureTableTest, Es3RowAndDerivedEs2Row) {
  const TableRow& row = GetParam();
  EXPECT_EQ(GlTextureInfoForGpuBufferFormat(row.format, row.plane, GlVersion::kOpenGlEs3), row.es3);
  EXPECT_EQ(GlTextureInfoForGpuBufferFormat(row.format, row.plane), row.es3);
  EXPECT_EQ(GlTextureInfoForGpuBufferFormat(row.format, row.plane, GlVersion::kOpenGlEs2), row.es2);
  // Any selector other than 2 reads the ES 3 table.
  EXPECT_EQ(GlTextureInfoForGpuBufferFormat(row.format, row.plane, static_cast<GlVersion>(4)),
            row.es3);
}

constexpr uint32_t kUB = GL_UNSIGNED_BYTE;
INSTANTIATE_TEST_SUITE_P(
    Formats, GlTextureTableTest,
    testing::Values(
        TableRow{"BGRA", F::kFormatBGRA, 0, {GL_RGBA, GL_BGRA_EXT, kUB, 1},
                 {GL_RGBA, GL_BGRA_EXT, kUB, 1}},
        TableRow{"L008", F::kFormatL008, 0, {GL_LUMINANCE, GL_LUMINANCE, kUB, 1},
                 {GL_LUMINANCE, GL_LUMINANCE, kUB, 1}},
        TableRow{"v420Luma", F::kFormat420v, 0, {GL_R8, GL_RED, kUB, 1}, {GL_RED, GL_RED, kUB, 1}},
        TableRow{"v420Chroma", F::kFormat420v, 1, {GL_RG8, GL_RG, kUB, 2}, {GL_RG, GL_RG, kUB, 2}},
        TableRow{"f420Luma", F::kFormat420f, 0, {GL_R8, GL_RED, kUB, 1}, {GL_RED, GL_RED, kUB, 1}},
        TableRow{"f420Chroma", F::kFormat420f, 1, {GL_RG8, GL_RG, kUB, 2}, {GL_RG, GL_RG, kUB, 2}},
        TableRow{"TwoHalf", F::kFormat2C0h, 0, {GL_RG16F, GL_RG, GL_HALF_FLOAT, 1},
                 {GL_LUMINANCE_ALPHA, GL_LUMINANCE_ALPHA, GL_HALF_FLOAT, 1}},
        TableRow{"L00h", F::kFormatL00h, 0, {GL_R16F, GL_RED, GL_HALF_FLOAT, 1},
                 {GL_LUMINANCE, GL_LUMINANCE, GL_HALF_FLOAT, 1}},
        TableRow{"L00f", F::kFormatL00f, 0, {GL_R32F, GL_RED, GL_FLOAT, 1},
                 {GL_LUMINANCE, GL_LUMINANCE, GL_FLOAT, 1}},
        TableRow{"RGB24", F::kFormatRGB24, 0, {GL_RGB, GL_RGB, kUB, 1}, {GL_RGB, GL_RGB, kUB, 1}},
        TableRow{"RGhA", F::kFormatRGhA, 0, {GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT, 1},
                 {GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT, 1}},
        TableRow{"RGfA", F::kFormatRGfA, 0, {GL_RGBA, GL_RGBA, GL_FLOAT, 1},
                 {GL_RGBA, GL_RGBA, GL_FLOAT, 1}}),
    [](const testing::TestParamInfo<TableRow>& info) { return info.param.name; });

TEST(GpuBufferFormatTest, EnumeratorsAreCoreVideoCodes) {
  EXPECT_EQ(static_cast<uint32_t>(F::kFormatBGRA), 0x42475241u);
  EXPECT_EQ(static_cast<uint32_t>(F::kFormat2C0h), 0x32433068u);
  EXPECT_EQ(static_cast<uint32_t>(F::kFormatRGB24), 24u);
  EXPECT_EQ(static_cast<uint32_t>(F::kFormat420f), 0x34323066u);
}

TEST(GpuBufferFormatTest, ImageFormatMappings) {
  EXPECT_EQ(ImageFormatForGpuBufferFormat(F::kFormatBGRA), ImageFormat::RGBA8);
  EXPECT_EQ(ImageFormatForGpuBufferFormat(F::kFormatL008), ImageFormat::GRAY8);
  EXPECT_EQ(ImageFormatForGpuBufferFormat(F::kFormatL00f), ImageFormat::GRAY32F);
  EXPECT_EQ(ImageFormatForGpuBufferFormat(F::kFormatRGB24), ImageFormat::RGB8);
  EXPECT_EQ(ImageFormatForGpuBufferFormat(F::kFormat420v), ImageFormat::YCBCR420_PLANAR);
  EXPECT_EQ(ImageFormatForGpuBufferFormat(F::kFormat420f), ImageFormat::YCBCR420_PLANAR);
  for (F f : {F::kFormatNone, F::kFormatL00h, F::kFormat2C0h, F::kFormatRGhA, F::kFormatRGfA}) {
    EXPECT_EQ(ImageFormatForGpuBufferFormat(f), ImageFormat::UNKNOWN);
  }

  EXPECT_EQ(GpuBufferFormatForImageFormat(ImageFormat::RGB8), F::kFormatRGB24);
  EXPECT_EQ(GpuBufferFormatForImageFormat(ImageFormat::RGBA8), F::kFormatBGRA);
  EXPECT_EQ(GpuBufferFormatForImageFormat(ImageFormat::GRAY8), F::kFormatL008);
  EXPECT_EQ(GpuBufferFormatForImageFormat(ImageFormat::YCBCR420_PLANAR), F::kFormat420f);
  EXPECT_EQ(GpuBufferFormatForImageFormat(ImageFormat::GRAY32F), F::kFormatL00f);
  for (int f : {0, 4, 6, 7, 8, 10, 11, 12, -1}) {
    EXPECT_EQ(GpuBufferFormatForImageFormat(static_cast<ImageFormat_Format>(f)), F::kFormatNone) << f;
  }
}

TEST(GpuBufferFormatTest, PixelFormatCodes) {
  EXPECT_EQ(GpuBufferFormatForCVPixelFormat(kCVPixelFormatType_DepthFloat32), F::kFormatL00f);
  EXPECT_EQ(GpuBufferFormatForCVPixelFormat(kCVPixelFormatType_32BGRA), F::kFormatBGRA);
  EXPECT_EQ(GpuBufferFormatForCVPixelFormat(kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange),
            F::kFormat420v);
  EXPECT_EQ(GpuBufferFormatForCVPixelFormat(kCVPixelFormatType_32RGBA), F::kFormatNone);
  EXPECT_EQ(GpuBufferFormatForCVPixelFormat(0), F::kFormatNone);
  EXPECT_EQ(CVPixelFormatForGpuBufferFormat(F::kFormatNone), -1);
  EXPECT_EQ(CVPixelFormatForGpuBufferFormat(F::kFormatRGhA), kCVPixelFormatType_64RGBAHalf);
}

TEST(GpuBufferFormatDeathTest, UnknownFormatOrPlaneIsFatal) {
  EXPECT_DEATH(GlTextureInfoForGpuBufferFormat(F::kFormatNone, 0),
               "Check failed: iter != format_info->end\\(\\) unsupported format");
  EXPECT_DEATH(GlTextureInfoForGpuBufferFormat(F::kFormat420f, 2),
               "Check failed: plane < planes.size\\(\\) invalid plane number");
  EXPECT_DEATH(GlTextureInfoForGpuBufferFormat(F::kFormatBGRA, -1, GlVersion::kOpenGlEs2),
               "Check failed: plane >= 0 invalid plane number");
}

}  // namespace
}  // namespace pellumo
