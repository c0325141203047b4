#include "gpu/pixel_buffer_conversions.h"

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/corefoundation/number.h"
#include "platform/corevideo/failure_injection.h"
#include "platform/corevideo/pixel_format.h"

namespace {

using kaldren::ImageFrame;
using pellumo::ImageFormat;
using platform::corevideo::GetLockState;
using testing::HasSubstr;

// A locked-write fill of a new buffer: pixel i of row y gets bytes base + 16 * y + 4 * i + k.
CFHolder<CVPixelBufferRef> MakeBuffer(OSType format, int width, int height, uint8_t base = 1) {
  CVPixelBufferRef raw = nullptr;
  EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, width, height, format, nullptr, &raw),
            kCVReturnSuccess);
  CVPixelBufferLockBaseAddress(raw, 0);
  auto* bytes = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(raw));
  const size_t row_bytes = CVPixelBufferGetBytesPerRow(raw);
  const int pixel_bytes = platform::corevideo::FindPixelFormat(format)->planes[0].bytes_per_pixel;
  for (int y = 0; y < height; ++y) {
    for (int i = 0; i < width * pixel_bytes; ++i) {
      bytes[y * row_bytes + i] = static_cast<uint8_t>(base + 16 * y + i);
    }
  }
  CVPixelBufferUnlockBaseAddress(raw, 0);
  return MakeCFHolderAdopting(raw);
}

std::vector<uint8_t> FirstPixel(const ImageFrame& frame) {
  return std::vector<uint8_t>(frame.PixelData(), frame.PixelData() + 4);
}

TEST(ImageFrameForPixelBufferTest, BgraBecomesRgba) {
  CFHolder<CVPixelBufferRef> buffer = MakeBuffer(kCVPixelFormatType_32BGRA, 3, 2);
  const CFIndex count = CFGetRetainCount(*buffer);

  // The default copies with the channels swapped and lets go of the buffer at once.
  auto copied = CreateImageFrameForCVPixelBuffer(*buffer);
  EXPECT_EQ(copied->Format(), ImageFormat::RGBA8);
  EXPECT_EQ(FirstPixel(*copied), (std::vector<uint8_t>{3, 2, 1, 4}));
  EXPECT_EQ(copied->PixelData()[copied->WidthStep()], 16 + 3);  // second row, swapped too
  EXPECT_EQ(copied->WidthStep(), 16);
  EXPECT_EQ(CFGetRetainCount(*buffer), count);
  EXPECT_EQ(GetLockState(*buffer).read_only, 0);

  // BGR as RGB: the buffer's own bytes, untouched.
  auto shared = CreateImageFrameForCVPixelBuffer(*buffer, false, true);
  EXPECT_EQ(FirstPixel(*shared), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(shared->PixelData(), platform::corevideo::GetPlane(*buffer, 0).data);
  shared.reset();

  // Can overwrite: swapped in the buffer's memory.
  auto in_place = CreateImageFrameForCVPixelBuffer(*buffer, true, false);
  EXPECT_EQ(in_place->PixelData(), platform::corevideo::GetPlane(*buffer, 0).data);
  EXPECT_EQ(FirstPixel(*in_place), (std::vector<uint8_t>{3, 2, 1, 4}));
}

TEST(ImageFrameForPixelBufferTest, WrappedBufferStaysRetainedAndLocked) {
  struct Case {
    OSType format;
    ImageFormat::Format image_format;
  };
  for (const Case& c : {Case{kCVPixelFormatType_24RGB, ImageFormat::RGB8},
                        Case{kCVPixelFormatType_32RGBA, ImageFormat::RGBA8},
                        Case{kCVPixelFormatType_OneComponent8, ImageFormat::GRAY8}}) {
    CFHolder<CVPixelBufferRef> buffer = MakeBuffer(c.format, 5, 2);
    const CFIndex count = CFGetRetainCount(*buffer);
    auto frame = CreateImageFrameForCVPixelBuffer(*buffer);
    EXPECT_EQ(frame->Format(), c.image_format);
    EXPECT_EQ(frame->Width(), 5);
    EXPECT_EQ(frame->WidthStep(), static_cast<int>(CVPixelBufferGetBytesPerRow(*buffer)));
    EXPECT_EQ(frame->PixelData(), platform::corevideo::GetPlane(*buffer, 0).data);
    EXPECT_EQ(CFGetRetainCount(*buffer), count + 1);
    EXPECT_EQ(GetLockState(*buffer).read_only, 1);
    frame.reset();
    EXPECT_EQ(CFGetRetainCount(*buffer), count);
    EXPECT_EQ(GetLockState(*buffer).read_only, 0);
  }
}

TEST(ImageFrameForPixelBufferDeathTest, FailuresAreFatal) {
  CFHolder<CVPixelBufferRef> half = MakeBuffer(kCVPixelFormatType_OneComponent16Half, 2, 2);
  EXPECT_DEATH(CreateImageFrameForCVPixelBuffer(*half), "unsupported pixel format: L00h");
  CFHolder<CVPixelBufferRef> gray = MakeBuffer(kCVPixelFormatType_OneComponent8, 2, 2);
  EXPECT_DEATH(
      {
        platform::corevideo::InjectFailures(platform::corevideo::Operation::kLockBaseAddress, 1,
                                            kCVReturnError);
        CreateImageFrameForCVPixelBuffer(*gray);
      },
      "Check failed: status == kCVReturnSuccess \\(-6660 vs. 0\\) CVPixelBufferLockBaseAddress "
      "failed: -6660");
}

TEST(PixelBufferForImageFrameTest, GrayFrameIsSharedAndKeptAlive) {
  auto frame = std::make_unique<ImageFrame>(ImageFormat::GRAY8, 6, 3);
  for (int i = 0; i < frame->WidthStep() * 3; ++i) frame->MutablePixelData()[i] = i;
  const uint8_t* pixels = frame->PixelData();
  CFHolder<CVPixelBufferRef> buffer;
  {
    kaldren::Packet packet = kaldren::Adopt(frame.release());
    ASSERT_TRUE(CreateCVPixelBufferForImageFramePacket(packet, &buffer).ok());
  }  // the buffer alone keeps the frame now
  EXPECT_EQ(CVPixelBufferGetPixelFormatType(*buffer), kCVPixelFormatType_OneComponent8);
  EXPECT_EQ(CVPixelBufferGetBytesPerRow(*buffer), 16u);
  EXPECT_EQ(platform::corevideo::GetPlane(*buffer, 0).data, pixels);
  EXPECT_EQ(platform::corevideo::GetPlane(*buffer, 0).data[17], 17);  // ASan: still alive
  EXPECT_EQ(CFGetRetainCount(*buffer), 1);
}

TEST(PixelBufferForImageFrameTest, RgbaFrameBecomesBgra) {
  auto frame = std::make_unique<ImageFrame>(ImageFormat::RGBA8, 2, 1);
  const uint8_t rgba[8] = {10, 20, 30, 40, 50, 60, 70, 80};
  memcpy(frame->MutablePixelData(), rgba, 8);
  kaldren::Packet packet = kaldren::Adopt(frame.release());
  const ImageFrame& held = packet.Get<ImageFrame>();

  CFHolder<CVPixelBufferRef> copy;
  ASSERT_TRUE(CreateCVPixelBufferForImageFramePacket(packet, &copy).ok());
  EXPECT_EQ(CVPixelBufferGetPixelFormatType(*copy), kCVPixelFormatType_32BGRA);
  EXPECT_NE(platform::corevideo::GetPlane(*copy, 0).data, held.PixelData());
  const uint8_t bgra[8] = {30, 20, 10, 40, 70, 60, 50, 80};
  EXPECT_EQ(0, memcmp(platform::corevideo::GetPlane(*copy, 0).data, bgra, 8));
  EXPECT_EQ(held.PixelData()[0], 10);  // the frame is left alone

  CFHolder<CVPixelBufferRef> shared;
  ASSERT_TRUE(CreateCVPixelBufferForImageFramePacket(packet, true, &shared).ok());
  EXPECT_EQ(platform::corevideo::GetPlane(*shared, 0).data, held.PixelData());
  EXPECT_EQ(held.PixelData()[0], 30);

  // The form without a holder hands the caller one reference.
  CVPixelBufferRef owned = CreateCVPixelBufferForImageFramePacket(packet);
  EXPECT_EQ(CFGetRetainCount(owned), 1);
  CVPixelBufferRelease(owned);
}

TEST(PixelBufferForImageFrameTest, Errors) {
  kaldren::Packet rgb = kaldren::MakePacket<ImageFrame>(ImageFormat::RGB8, 2, 2);
  CFHolder<CVPixelBufferRef> untouched = MakeBuffer(kCVPixelFormatType_32BGRA, 1, 1);
  CVPixelBufferRef before = *untouched;

  absl::Status status = CreateCVPixelBufferForImageFramePacket(rgb, &untouched);
  EXPECT_EQ(status.code(), absl::StatusCode::kUnknown);
  EXPECT_EQ(status.message(), "unsupported ImageFrame format: 1");
  EXPECT_EQ(*untouched, before);

  status = CreateCVPixelBufferForImageFramePacket(rgb, nullptr);
  EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(status.message(), "out_buffer cannot be NULL");

  kaldren::Packet rgba = kaldren::MakePacket<ImageFrame>(ImageFormat::RGBA8, 2, 2);
  kaldren::Packet gray = kaldren::MakePacket<ImageFrame>(ImageFormat::GRAY8, 2, 2);
  using platform::corevideo::Operation;
  struct Case {
    Operation operation;
    const kaldren::Packet* packet;
    const char* text;
  };
  for (const Case& c : {Case{Operation::kCreatePixelBuffer, &rgba, "CVPixelBufferCreate failed: -6662"},
                        Case{Operation::kLockBaseAddress, &rgba, "CVPixelBufferLockBaseAddress failed: -6662"},
                        Case{Operation::kUnlockBaseAddress, &rgba, "CVPixelBufferUnlockBaseAddress failed: -6662"},
                        Case{Operation::kCreatePixelBuffer, &gray, "failed to create pixel buffer: -6662"}}) {
    platform::corevideo::InjectFailures(c.operation, 1, kCVReturnAllocationFailed);
    status = CreateCVPixelBufferForImageFramePacket(*c.packet, &untouched);
    platform::corevideo::ClearInjectedFailures();
    EXPECT_EQ(status.code(), absl::StatusCode::kInternal) << c.text;
    EXPECT_THAT(std::string(status.message()), HasSubstr("RET_CHECK failure (gpu/pixel_buffer_conversions"));
    EXPECT_THAT(std::string(status.message()), HasSubstr(c.text));
    EXPECT_EQ(*untouched, before);
  }
  EXPECT_DEATH(CreateCVPixelBufferForImageFramePacket(rgb),
               "Check failed: ::util::OkStatus\\(\\) == \\(status\\).*Failed to create CVPixelBufferRef");
}

TEST(CGImageConversionTest, RoundTripThroughAnImage) {
  CFHolder<CVPixelBufferRef> bgra = MakeBuffer(kCVPixelFormatType_32BGRA, 3, 2, 1);
  // Opaque pixels, so that premultiplication changes nothing.
  CVPixelBufferLockBaseAddress(*bgra, 0);
  auto* bytes = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(*bgra));
  for (size_t y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) bytes[y * CVPixelBufferGetBytesPerRow(*bgra) + 4 * x + 3] = 255;
  }
  CVPixelBufferUnlockBaseAddress(*bgra, 0);

  CFHolder<CGImageRef> image;
  ASSERT_TRUE(CreateCGImageFromCVPixelBuffer(*bgra, &image).ok());
  ASSERT_TRUE(image);
  EXPECT_EQ(CGImageGetWidth(*image), 3u);
  EXPECT_EQ(GetLockState(*bgra).read_only, 0);

  CFHolder<CVPixelBufferRef> back;
  ASSERT_TRUE(CreateCVPixelBufferFromCGImage(*image, &back).ok());
  EXPECT_EQ(CVPixelBufferGetPixelFormatType(*back), kCVPixelFormatType_32BGRA);
  for (int y = 0; y < 2; ++y) {
    EXPECT_EQ(0, memcmp(platform::corevideo::GetPlane(*back, 0).data +
                            y * CVPixelBufferGetBytesPerRow(*back),
                        bytes + y * CVPixelBufferGetBytesPerRow(*bgra), 12))
        << "row " << y;
  }

  CFHolder<CVPixelBufferRef> gray = MakeBuffer(kCVPixelFormatType_OneComponent8, 2, 2, 7);
  ASSERT_TRUE(CreateCGImageFromCVPixelBuffer(*gray, &image).ok());
  EXPECT_EQ(CGColorSpaceGetModel(CGImageGetColorSpace(*image)), kCGColorSpaceModelMonochrome);
  EXPECT_EQ(platform::coregraphics::ImageBytes(*image)[1], 8);

  CFHolder<CVPixelBufferRef> rgba = MakeBuffer(kCVPixelFormatType_32RGBA, 2, 2);
  EXPECT_DEATH(CreateCGImageFromCVPixelBuffer(*rgba, &image).IgnoreError(),
               "Unsupported pixelFormat 1380401729");
}

TEST(VImageConversionTest, GrayToBgraHasAlphaOne) {
  std::vector<uint8_t> gray = {0, 90, 255, 17}, bgra(16, 0);
  vImage_Buffer src{gray.data(), 2, 2, 2}, dst{bgra.data(), 2, 2, 8};
  ASSERT_EQ(vImageGrayToBGRA(&src, &dst), kvImageNoError);
  EXPECT_EQ(bgra, (std::vector<uint8_t>{0, 0, 0, 255, 90, 90, 90, 255, 255, 255, 255, 255, 17, 17,
                                        17, 255}));
  // And back: gray values survive.
  std::vector<uint8_t> again(4, 0);
  vImage_Buffer gray_out{again.data(), 2, 2, 2};
  ASSERT_EQ(vImageBGRAToGray(&dst, &gray_out), kvImageNoError);
  EXPECT_EQ(again, gray);
  // RGBA red and BGRA red weigh the same.
  std::vector<uint8_t> rgba_red = {255, 0, 0, 255}, bgra_red = {0, 0, 255, 255}, one(1), other(1);
  vImage_Buffer r1{rgba_red.data(), 1, 1, 4}, r2{bgra_red.data(), 1, 1, 4};
  vImage_Buffer o1{one.data(), 1, 1, 1}, o2{other.data(), 1, 1, 1};
  ASSERT_EQ(vImageRGBAToGray(&r1, &o1), kvImageNoError);
  ASSERT_EQ(vImageBGRAToGray(&r2, &o2), kvImageNoError);
  EXPECT_EQ(one, other);
  EXPECT_EQ(one[0], 54);
}

// The first use of the cached converters and attributes may come from several threads at once.
TEST(VImageConversionTest, FirstUseFromManyThreads) {
  std::vector<std::thread> threads;
  std::vector<CFDictionaryRef> seen(4);
  std::vector<std::vector<uint8_t>> results(4, std::vector<uint8_t>(4));
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      seen[t] = GetCVPixelBufferAttributesForGlCompatibility();
      uint8_t gray = static_cast<uint8_t>(t);
      vImage_Buffer src{&gray, 1, 1, 1}, dst{results[t].data(), 1, 1, 4};
      EXPECT_EQ(vImageGrayToBGRA(&src, &dst), kvImageNoError);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(seen[t], seen[0]);
    const uint8_t v = static_cast<uint8_t>(t);
    EXPECT_EQ(results[t], (std::vector<uint8_t>{v, v, v, 255}));
  }
}

TEST(VImageConversionTest, ConvertBetweenPixelBuffers) {
  CFHolder<CVPixelBufferRef> bgra = MakeBuffer(kCVPixelFormatType_32BGRA, 2, 2);
  CFHolder<CVPixelBufferRef> rgba = MakeBuffer(kCVPixelFormatType_32RGBA, 2, 2, 0);
  CFHolder<CVPixelBufferRef> half = MakeBuffer(kCVPixelFormatType_OneComponent16Half, 2, 2);
  for (CVPixelBufferRef b : {*bgra, *rgba, *half}) CVPixelBufferLockBaseAddress(b, 0);
  ASSERT_EQ(vImageConvertCVPixelBuffers(*bgra, *rgba), kvImageNoError);
  const uint8_t swapped[4] = {3, 2, 1, 4};
  EXPECT_EQ(0, memcmp(CVPixelBufferGetBaseAddress(*rgba), swapped, 4));
  // Neither side has a Core Graphics layout: no converter, an error code.
  EXPECT_NE(vImageConvertCVPixelBuffers(*half, *half), kvImageNoError);
  for (CVPixelBufferRef b : {*bgra, *rgba, *half}) CVPixelBufferUnlockBaseAddress(b, 0);
}

TEST(VImageConversionTest, GlCompatibilityAttributesAreShared) {
  CFDictionaryRef attributes = GetCVPixelBufferAttributesForGlCompatibility();
  EXPECT_EQ(attributes, GetCVPixelBufferAttributesForGlCompatibility());
  EXPECT_EQ(CFDictionaryGetCount(attributes), 2);
  EXPECT_EQ(CFDictionaryGetValue(attributes, kCVPixelFormatOpenGLESCompatibility), kCFBooleanTrue);
  EXPECT_EQ(CFDictionaryGetCount(static_cast<CFDictionaryRef>(
                CFDictionaryGetValue(attributes, kCVPixelBufferIOSurfacePropertiesKey))),
            0);
}

TEST(VImageConversionTest, DumpListsFormats) {
  testing::internal::CaptureStdout();
  DumpCVPixelFormats();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_THAT(out, HasSubstr("Core Video Supported Pixel Format Types:"));
  EXPECT_THAT(out, HasSubstr("\nCore Video Pixel Format Type (FourCC): BGRA\n"));
  EXPECT_THAT(out, HasSubstr("\nCore Video Pixel Format Type: 24\n"));
}

}  // namespace
