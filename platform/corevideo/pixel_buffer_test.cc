#include "platform/corevideo/pixel_buffer.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/corefoundation/core_foundation.h"
#include "platform/corevideo/failure_injection.h"

namespace {

using platform::corevideo::GetLockState;
using platform::corevideo::GetPlane;
using platform::corevideo::InjectFailures;
using platform::corevideo::Operation;

class CVPixelBufferTest : public testing::Test {
 protected:
  void TearDown() override { platform::corevideo::ClearInjectedFailures(); }
};

CVPixelBufferRef MakeBuffer(size_t width, size_t height, OSType format, CFDictionaryRef attributes = nullptr) {
  CVPixelBufferRef buffer = nullptr;
  EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, width, height, format, attributes, &buffer),
            kCVReturnSuccess);
  return buffer;
}

// Fills every byte of every row of every plane; the sanitizers see any overrun.
void Scribble(CVPixelBufferRef buffer) {
  for (size_t p = 0; p < 2; ++p) {
    platform::corevideo::Plane plane = GetPlane(buffer, p);
    for (size_t y = 0; y < plane.height; ++y) {
      std::memset(plane.data + y * plane.bytes_per_row, 0xab, plane.bytes_per_row);
    }
  }
}

struct FormatCase {
  std::string name;
  OSType format;
  int bytes_per_pixel;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class CVSinglePlaneFormatTest : public testing::TestWithParam<FormatCase> {};

TEST_P(CVSinglePlaneFormatTest, RowsHoldTheFormatsPixelsPaddedTo64Bytes) {
  const FormatCase& c = GetParam();
  const size_t width = 33, height = 3;
  CVPixelBufferRef buffer = MakeBuffer(width, height, c.format);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(CVPixelBufferGetPixelFormatType(buffer), c.format);
  EXPECT_EQ(CVPixelBufferGetWidth(buffer), width);
  EXPECT_EQ(CVPixelBufferGetHeight(buffer), height);
  EXPECT_FALSE(CVPixelBufferIsPlanar(buffer));
  EXPECT_EQ(CVPixelBufferGetPlaneCount(buffer), 0u);
  EXPECT_EQ(CVPixelBufferGetWidthOfPlane(buffer, 0), 0u);
  EXPECT_EQ(GetPlane(buffer, 0).bytes_per_pixel, c.bytes_per_pixel);
  size_t bytes_per_row = CVPixelBufferGetBytesPerRow(buffer);
  EXPECT_EQ(bytes_per_row, (width * c.bytes_per_pixel + 63) / 64 * 64);
  EXPECT_EQ(CVPixelBufferGetDataSize(buffer), bytes_per_row * height);
  CVPixelBufferLockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly);
  auto* base = static_cast<const uint8_t*>(CVPixelBufferGetBaseAddress(buffer));
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % 64, 0u);
  for (size_t i = 0; i < bytes_per_row * height; ++i) ASSERT_EQ(base[i], 0) << i;
  CVPixelBufferUnlockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly);
  Scribble(buffer);
  CVPixelBufferRelease(buffer);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CVSinglePlaneFormatTest,
    testing::Values(FormatCase{"BGRA", kCVPixelFormatType_32BGRA, 4},
                    FormatCase{"RGBA", kCVPixelFormatType_32RGBA, 4},
                    FormatCase{"RGB24", kCVPixelFormatType_24RGB, 3},
                    FormatCase{"L008", kCVPixelFormatType_OneComponent8, 1},
                    FormatCase{"L00h", kCVPixelFormatType_OneComponent16Half, 2},
                    FormatCase{"L00f", kCVPixelFormatType_OneComponent32Float, 4},
                    FormatCase{"TwoC0h", kCVPixelFormatType_TwoComponent16Half, 4},
                    FormatCase{"RGhA", kCVPixelFormatType_64RGBAHalf, 8},
                    FormatCase{"RGfA", kCVPixelFormatType_128RGBAFloat, 16},
                    FormatCase{"fdep", kCVPixelFormatType_DepthFloat32, 4}),
    [](const testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

struct PlanarCase {
  std::string name;
  OSType format;
  size_t width, height;
  size_t chroma_width, chroma_height;
};

void PrintTo(const PlanarCase& c, std::ostream* os) { *os << c.name; }

class CVBiPlanarTest : public testing::TestWithParam<PlanarCase> {};

TEST_P(CVBiPlanarTest, LumaFullSizeChromaHalvedRoundingUp) {
  const PlanarCase& c = GetParam();
  CVPixelBufferRef buffer = MakeBuffer(c.width, c.height, c.format);
  ASSERT_NE(buffer, nullptr);
  EXPECT_TRUE(CVPixelBufferIsPlanar(buffer));
  EXPECT_EQ(CVPixelBufferGetPlaneCount(buffer), 2u);
  EXPECT_EQ(CVPixelBufferGetWidthOfPlane(buffer, 0), c.width);
  EXPECT_EQ(CVPixelBufferGetHeightOfPlane(buffer, 0), c.height);
  EXPECT_EQ(CVPixelBufferGetWidthOfPlane(buffer, 1), c.chroma_width);
  EXPECT_EQ(CVPixelBufferGetHeightOfPlane(buffer, 1), c.chroma_height);
  size_t luma_row = CVPixelBufferGetBytesPerRowOfPlane(buffer, 0);
  size_t chroma_row = CVPixelBufferGetBytesPerRowOfPlane(buffer, 1);
  EXPECT_EQ(luma_row, (c.width + 63) / 64 * 64);
  EXPECT_EQ(chroma_row, (c.chroma_width * 2 + 63) / 64 * 64);
  EXPECT_EQ(CVPixelBufferGetBytesPerRowOfPlane(buffer, 2), 0u);
  EXPECT_EQ(CVPixelBufferGetWidthOfPlane(buffer, 2), 0u);

  CVPixelBufferLockBaseAddress(buffer, 0);
  auto* luma = static_cast<uint8_t*>(CVPixelBufferGetBaseAddressOfPlane(buffer, 0));
  auto* chroma = static_cast<uint8_t*>(CVPixelBufferGetBaseAddressOfPlane(buffer, 1));
  EXPECT_EQ(CVPixelBufferGetBaseAddress(buffer), luma);
  EXPECT_EQ(CVPixelBufferGetBaseAddressOfPlane(buffer, 2), nullptr);
  ASSERT_NE(chroma, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(chroma) % 64, 0u);
  EXPECT_GE(chroma, luma + luma_row * c.height);  // the planes do not overlap
  EXPECT_EQ(static_cast<size_t>(chroma - luma) + chroma_row * c.chroma_height,
            CVPixelBufferGetDataSize(buffer));
  CVPixelBufferUnlockBaseAddress(buffer, 0);
  Scribble(buffer);
  CVPixelBufferRelease(buffer);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, CVBiPlanarTest,
    testing::Values(PlanarCase{"FullRange640x480", kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 640, 480, 320, 240},
                    PlanarCase{"VideoRange640x480", kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, 640, 480, 320, 240},
                    PlanarCase{"FullRangeOdd5x3", kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 5, 3, 3, 2},
                    PlanarCase{"FullRange1x1", kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 1, 1, 1, 1}),
    [](const testing::TestParamInfo<PlanarCase>& info) { return info.param.name; });

TEST_F(CVPixelBufferTest, RetainCountsAndTypeID) {
  CVPixelBufferRef buffer = MakeBuffer(4, 4, kCVPixelFormatType_32BGRA);
  EXPECT_EQ(CFGetTypeID(buffer), CVPixelBufferGetTypeID());
  EXPECT_NE(CVPixelBufferGetTypeID(), CFDictionaryGetTypeID());
  EXPECT_EQ(CFGetRetainCount(buffer), 1);
  EXPECT_EQ(CVPixelBufferRetain(buffer), buffer);
  CFRetain(buffer);
  EXPECT_EQ(CFGetRetainCount(buffer), 3);
  CFRelease(buffer);
  CVPixelBufferRelease(buffer);
  EXPECT_EQ(CFGetRetainCount(buffer), 1);
  CVPixelBufferRelease(buffer);
  // NULL is fine for the Core Video forms, and every getter answers 0 / NULL for it.
  CVPixelBufferRelease(nullptr);
  EXPECT_EQ(CVPixelBufferRetain(nullptr), nullptr);
  EXPECT_EQ(CVPixelBufferGetWidth(nullptr), 0u);
  EXPECT_EQ(CVPixelBufferGetBaseAddress(nullptr), nullptr);
  EXPECT_EQ(CVPixelBufferLockBaseAddress(nullptr, 0), kCVReturnInvalidArgument);
}

TEST_F(CVPixelBufferTest, LocksNestPerKindAndGuardTheBaseAddress) {
  CVPixelBufferRef buffer = MakeBuffer(8, 8, kCVPixelFormatType_OneComponent8);
  EXPECT_EQ(CVPixelBufferGetBaseAddress(buffer), nullptr);
  EXPECT_EQ(CVPixelBufferUnlockBaseAddress(buffer, 0), kCVReturnInvalidArgument);

  ASSERT_EQ(CVPixelBufferLockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly), kCVReturnSuccess);
  ASSERT_EQ(CVPixelBufferLockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly), kCVReturnSuccess);
  EXPECT_NE(CVPixelBufferGetBaseAddress(buffer), nullptr);
  EXPECT_EQ(GetLockState(buffer).read_only, 2);
  EXPECT_EQ(GetLockState(buffer).read_write, 0);
  // A read-only lock is not released by a read-write unlock.
  EXPECT_EQ(CVPixelBufferUnlockBaseAddress(buffer, 0), kCVReturnInvalidArgument);
  EXPECT_EQ(CVPixelBufferLockBaseAddress(buffer, 0), kCVReturnSuccess);
  EXPECT_EQ(GetLockState(buffer).read_write, 1);
  EXPECT_EQ(CVPixelBufferUnlockBaseAddress(buffer, 0), kCVReturnSuccess);
  EXPECT_EQ(CVPixelBufferUnlockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly), kCVReturnSuccess);
  EXPECT_NE(CVPixelBufferGetBaseAddress(buffer), nullptr);  // one read-only lock left
  EXPECT_EQ(CVPixelBufferUnlockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly), kCVReturnSuccess);
  EXPECT_EQ(CVPixelBufferGetBaseAddress(buffer), nullptr);
  EXPECT_EQ(CVPixelBufferUnlockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly), kCVReturnInvalidArgument);
  EXPECT_EQ(CVPixelBufferLockBaseAddress(buffer, 2), kCVReturnInvalidArgument);
  EXPECT_EQ(GetLockState(buffer).read_only, 0);
  CVPixelBufferRelease(buffer);
}

TEST_F(CVPixelBufferTest, CreationErrorsLeaveOutUntouched) {
  CVPixelBufferRef sentinel = reinterpret_cast<CVPixelBufferRef>(0x1);
  struct Case {
    size_t width, height;
    OSType format;
    CVReturn expected;
  } cases[] = {
      {0, 4, kCVPixelFormatType_32BGRA, kCVReturnInvalidSize},
      {4, 0, kCVPixelFormatType_32BGRA, kCVReturnInvalidSize},
      {4, 4, platform::corevideo::FourCharCode("nope"), kCVReturnInvalidPixelFormat},
      {4, 4, 0, kCVReturnInvalidPixelFormat},
      {size_t{1} << 62, 4, kCVPixelFormatType_128RGBAFloat, kCVReturnAllocationFailed},
      {1 << 20, 1 << 20, kCVPixelFormatType_32BGRA, kCVReturnAllocationFailed},
  };
  for (const Case& c : cases) {
    CVPixelBufferRef out = sentinel;
    EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, c.width, c.height, c.format, nullptr, &out), c.expected)
        << c.width << "x" << c.height;
    EXPECT_EQ(out, sentinel);
  }
  EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 4, 4, kCVPixelFormatType_32BGRA, nullptr, nullptr),
            kCVReturnInvalidArgument);
}

TEST_F(CVPixelBufferTest, AttributesChooseRowAlignmentAndBackingSurface) {
  CFMutableDictionaryRef attributes = CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFDictionaryRef empty = CFDictionaryCreate(kCFAllocatorDefault, nullptr, nullptr, 0,
                                             &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFDictionarySetValue(attributes, kCVPixelBufferIOSurfacePropertiesKey, empty);
  CFDictionarySetValue(attributes, kCVPixelFormatOpenGLESCompatibility, kCFBooleanTrue);
  int32_t sixteen = 16;
  CFNumberRef alignment = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &sixteen);
  CFDictionarySetValue(attributes, kCVPixelBufferBytesPerRowAlignmentKey, alignment);

  CVPixelBufferRef plain = MakeBuffer(5, 2, kCVPixelFormatType_24RGB);
  CVPixelBufferRef surfaced = MakeBuffer(5, 2, kCVPixelFormatType_24RGB, attributes);
  EXPECT_FALSE(platform::corevideo::IsSurfaceBacked(plain));
  EXPECT_TRUE(platform::corevideo::IsSurfaceBacked(surfaced));
  EXPECT_EQ(CVPixelBufferGetBytesPerRow(plain), 64u);
  EXPECT_EQ(CVPixelBufferGetBytesPerRow(surfaced), 16u);

  // A non-positive alignment is refused.
  int32_t zero = 0;
  CFNumberRef bad = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &zero);
  CFDictionarySetValue(attributes, kCVPixelBufferBytesPerRowAlignmentKey, bad);
  CVPixelBufferRef out = nullptr;
  EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 5, 2, kCVPixelFormatType_24RGB, attributes, &out),
            kCVReturnInvalidPixelBufferAttributes);
  for (CFTypeRef object : {CFTypeRef(plain), CFTypeRef(surfaced), CFTypeRef(attributes), CFTypeRef(empty),
                           CFTypeRef(alignment), CFTypeRef(bad)}) {
    CFRelease(object);
  }
}

struct ReleaseRecord {
  std::atomic<int> calls{0};
  std::atomic<const void*> base{nullptr};
};

void RecordRelease(void* ref_con, const void* base_address) {
  auto* record = static_cast<ReleaseRecord*>(ref_con);
  record->base.store(base_address);
  record->calls.fetch_add(1);
}

TEST_F(CVPixelBufferTest, WrappedMemoryIsSharedAndReleasedOnceOnTheLastRelease) {
  std::vector<uint8_t> pixels(10 * 3, 0);
  pixels[10] = 42;  // first pixel of row 1
  ReleaseRecord record;
  CVPixelBufferRef buffer = nullptr;
  ASSERT_EQ(CVPixelBufferCreateWithBytes(kCFAllocatorDefault, 7, 3, kCVPixelFormatType_OneComponent8,
                                         pixels.data(), 10, RecordRelease, &record, nullptr, &buffer),
            kCVReturnSuccess);
  EXPECT_EQ(CVPixelBufferGetBytesPerRow(buffer), 10u);
  EXPECT_EQ(CVPixelBufferGetDataSize(buffer), 30u);
  EXPECT_FALSE(platform::corevideo::IsSurfaceBacked(buffer));
  CVPixelBufferLockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly);
  EXPECT_EQ(CVPixelBufferGetBaseAddress(buffer), pixels.data());
  EXPECT_EQ(static_cast<const uint8_t*>(CVPixelBufferGetBaseAddress(buffer))[10], 42);
  CVPixelBufferUnlockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly);

  // Eight threads each drop one of eight references at once; the callback runs once.
  for (int i = 0; i < 7; ++i) CVPixelBufferRetain(buffer);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([buffer] { CVPixelBufferRelease(buffer); });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(record.calls.load(), 1);
  EXPECT_EQ(record.base.load(), pixels.data());
}

TEST_F(CVPixelBufferTest, WrappingRefusesBadInputWithoutRunningTheCallback) {
  std::vector<uint8_t> pixels(64 * 4);
  ReleaseRecord record;
  struct Case {
    void* base;
    size_t bytes_per_row;
    OSType format;
    CVReturn expected;
  } cases[] = {
      {nullptr, 64, kCVPixelFormatType_32BGRA, kCVReturnInvalidArgument},
      {pixels.data(), 63, kCVPixelFormatType_32BGRA, kCVReturnInvalidArgument},  // 16 x 4 bytes needed
      {pixels.data(), 64, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, kCVReturnInvalidPixelFormat},
      {pixels.data(), 64, platform::corevideo::FourCharCode("nope"), kCVReturnInvalidPixelFormat},
  };
  for (const Case& c : cases) {
    CVPixelBufferRef out = nullptr;
    EXPECT_EQ(CVPixelBufferCreateWithBytes(kCFAllocatorDefault, 16, 4, c.format, c.base, c.bytes_per_row,
                                           RecordRelease, &record, nullptr, &out),
              c.expected);
    EXPECT_EQ(out, nullptr);
  }
  InjectFailures(Operation::kCreatePixelBuffer, 1, kCVReturnAllocationFailed);
  CVPixelBufferRef out = nullptr;
  EXPECT_EQ(CVPixelBufferCreateWithBytes(kCFAllocatorDefault, 16, 4, kCVPixelFormatType_32BGRA, pixels.data(),
                                         64, RecordRelease, &record, nullptr, &out),
            kCVReturnAllocationFailed);
  EXPECT_EQ(record.calls.load(), 0);
}

TEST_F(CVPixelBufferTest, InjectedFailuresAreConsumedInOrder) {
  InjectFailures(Operation::kCreatePixelBuffer, 2, kCVReturnAllocationFailed);
  CVPixelBufferRef buffer = nullptr;
  // Argument errors do not consume an injected failure.
  EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 0, 1, kCVPixelFormatType_32BGRA, nullptr, &buffer),
            kCVReturnInvalidSize);
  EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 2, 2, kCVPixelFormatType_32BGRA, nullptr, &buffer),
            kCVReturnAllocationFailed);
  EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 2, 2, kCVPixelFormatType_32BGRA, nullptr, &buffer),
            kCVReturnAllocationFailed);
  EXPECT_EQ(buffer, nullptr);
  ASSERT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 2, 2, kCVPixelFormatType_32BGRA, nullptr, &buffer),
            kCVReturnSuccess);

  InjectFailures(Operation::kLockBaseAddress, 1, kCVReturnError);
  EXPECT_EQ(CVPixelBufferLockBaseAddress(buffer, 0), kCVReturnError);
  EXPECT_EQ(GetLockState(buffer).read_write, 0);
  ASSERT_EQ(CVPixelBufferLockBaseAddress(buffer, 0), kCVReturnSuccess);
  InjectFailures(Operation::kUnlockBaseAddress, 1, kCVReturnError);
  EXPECT_EQ(CVPixelBufferUnlockBaseAddress(buffer, 0), kCVReturnError);
  EXPECT_EQ(GetLockState(buffer).read_write, 1);
  EXPECT_EQ(CVPixelBufferUnlockBaseAddress(buffer, 0), kCVReturnSuccess);
  CVPixelBufferRelease(buffer);
}

TEST_F(CVPixelBufferTest, LocksFromManyThreadsBalance) {
  CVPixelBufferRef buffer = MakeBuffer(16, 16, kCVPixelFormatType_32BGRA);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([buffer, t] {
      CVPixelBufferLockFlags flags = t % 2 == 0 ? kCVPixelBufferLock_ReadOnly : 0;
      for (int i = 0; i < 500; ++i) {
        CVPixelBufferRetain(buffer);
        ASSERT_EQ(CVPixelBufferLockBaseAddress(buffer, flags), kCVReturnSuccess);
        ASSERT_NE(CVPixelBufferGetBaseAddress(buffer), nullptr);
        ASSERT_EQ(CVPixelBufferUnlockBaseAddress(buffer, flags), kCVReturnSuccess);
        CVPixelBufferRelease(buffer);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(GetLockState(buffer).read_only, 0);
  EXPECT_EQ(GetLockState(buffer).read_write, 0);
  EXPECT_EQ(CFGetRetainCount(buffer), 1);
  CVPixelBufferRelease(buffer);
}

TEST(CVPixelFormatTest, EveryFormatHasALayoutAndCodesReadBigEndian) {
  EXPECT_EQ(platform::corevideo::AllPixelFormats().size(), 12u);
  for (const auto& layout : platform::corevideo::AllPixelFormats()) {
    EXPECT_EQ(platform::corevideo::FindPixelFormat(layout.format), &layout) << layout.name;
  }
  EXPECT_EQ(platform::corevideo::FindPixelFormat(platform::corevideo::FourCharCode("yuvs")), nullptr);
  EXPECT_EQ(platform::corevideo::FourCharCode("RGhA"), 0x52476841u);
  EXPECT_EQ(kCVPixelFormatType_DepthFloat32, 0x66646570u);
}

}  // namespace
