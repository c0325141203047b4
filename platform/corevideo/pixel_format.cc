#include "platform/corevideo/pixel_format.h"

#include <iterator>

namespace platform::corevideo {
namespace {

static_assert(FourCharCode("BGRA") == kCVPixelFormatType_32BGRA);
static_assert(FourCharCode("420f") == kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);

constexpr PixelFormatLayout kFormats[] = {
    {kCVPixelFormatType_32BGRA, "32BGRA", 0, {{4, 1}}},
    {kCVPixelFormatType_32RGBA, "32RGBA", 0, {{4, 1}}},
    {kCVPixelFormatType_24RGB, "24RGB", 0, {{3, 1}}},
    {kCVPixelFormatType_OneComponent8, "OneComponent8", 0, {{1, 1}}},
    {kCVPixelFormatType_OneComponent16Half, "OneComponent16Half", 0, {{2, 1}}},
    {kCVPixelFormatType_OneComponent32Float, "OneComponent32Float", 0, {{4, 1}}},
    {kCVPixelFormatType_TwoComponent16Half, "TwoComponent16Half", 0, {{4, 1}}},
    {kCVPixelFormatType_64RGBAHalf, "64RGBAHalf", 0, {{8, 1}}},
    {kCVPixelFormatType_128RGBAFloat, "128RGBAFloat", 0, {{16, 1}}},
    {kCVPixelFormatType_DepthFloat32, "DepthFloat32", 0, {{4, 1}}},
    {kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, "420YpCbCr8BiPlanarVideoRange", 2, {{1, 1}, {2, 2}}},
    {kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, "420YpCbCr8BiPlanarFullRange", 2, {{1, 1}, {2, 2}}},
};

}  // namespace

const PixelFormatLayout* FindPixelFormat(OSType format) {
  for (const PixelFormatLayout& layout : kFormats) {
    if (layout.format == format) return &layout;
  }
  return nullptr;
}

std::span<const PixelFormatLayout> AllPixelFormats() { return kFormats; }

}  // namespace platform::corevideo
