#include "platform/corevideo/pixel_buffer_pool.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/corefoundation/core_foundation.h"
#include "platform/corevideo/failure_injection.h"

namespace {

using platform::corevideo::GetPoolCounts;
using platform::corevideo::InjectFailures;
using platform::corevideo::Operation;

CFMutableDictionaryRef NewDictionary() {
  return CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                   &kCFTypeDictionaryValueCallBacks);
}

void SetInt32(CFMutableDictionaryRef d, CFStringRef key, int32_t value) {
  CFNumberRef n = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value);
  CFDictionarySetValue(d, key, n);
  CFRelease(n);
}

void SetDouble(CFMutableDictionaryRef d, CFStringRef key, double value) {
  CFNumberRef n = CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &value);
  CFDictionarySetValue(d, key, n);
  CFRelease(n);
}

// The attributes a pool of GPU output buffers is made with.
CFMutableDictionaryRef BufferAttributes(int32_t width, int32_t height, OSType format) {
  CFMutableDictionaryRef d = NewDictionary();
  SetInt32(d, kCVPixelBufferPixelFormatTypeKey, static_cast<int32_t>(format));
  SetInt32(d, kCVPixelBufferWidthKey, width);
  SetInt32(d, kCVPixelBufferHeightKey, height);
  CFDictionarySetValue(d, kCVPixelFormatOpenGLESCompatibility, kCFBooleanTrue);
  CFMutableDictionaryRef surface = NewDictionary();
  CFDictionarySetValue(d, kCVPixelBufferIOSurfacePropertiesKey, surface);
  CFRelease(surface);
  return d;
}

CFDictionaryRef ThresholdAttributes(int32_t threshold) {
  CFMutableDictionaryRef d = NewDictionary();
  SetInt32(d, kCVPixelBufferPoolAllocationThresholdKey, threshold);
  return d;
}

// A pool clock the test moves by hand.
class CVPixelBufferPoolTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::corevideo::SetPoolClock([this] { return now_.load(); });
  }
  void TearDown() override {
    platform::corevideo::SetPoolClock(nullptr);
    platform::corevideo::ClearInjectedFailures();
  }

  CVPixelBufferPoolRef MakePool(int32_t minimum, std::optional<double> maximum_age,
                                OSType format = kCVPixelFormatType_32BGRA) {
    CFMutableDictionaryRef pool_attributes = NewDictionary();
    SetInt32(pool_attributes, kCVPixelBufferPoolMinimumBufferCountKey, minimum);
    if (maximum_age) SetDouble(pool_attributes, kCVPixelBufferPoolMaximumBufferAgeKey, *maximum_age);
    CFMutableDictionaryRef buffer_attributes = BufferAttributes(64, 48, format);
    CVPixelBufferPoolRef pool = nullptr;
    EXPECT_EQ(CVPixelBufferPoolCreate(kCFAllocatorDefault, pool_attributes, buffer_attributes, &pool),
              kCVReturnSuccess);
    CFRelease(pool_attributes);
    CFRelease(buffer_attributes);
    return pool;
  }

  static CVPixelBufferRef Take(CVPixelBufferPoolRef pool) {
    CVPixelBufferRef buffer = nullptr;
    EXPECT_EQ(CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, pool, &buffer), kCVReturnSuccess);
    return buffer;
  }

  void Advance(double seconds) { now_.store(now_.load() + seconds); }

  std::atomic<double> now_{1000.0};
};

TEST_F(CVPixelBufferPoolTest, ReleasedBufferIsReusedByTheNextRequest) {
  CVPixelBufferPoolRef pool = MakePool(2, 0.1, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
  CVPixelBufferRef first = Take(pool);
  EXPECT_EQ(CVPixelBufferGetWidth(first), 64u);
  EXPECT_EQ(CVPixelBufferGetHeight(first), 48u);
  EXPECT_EQ(CVPixelBufferGetPixelFormatType(first), kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
  EXPECT_EQ(CVPixelBufferGetWidthOfPlane(first, 1), 32u);
  EXPECT_TRUE(platform::corevideo::IsSurfaceBacked(first));
  CVPixelBufferLockBaseAddress(first, 0);  // left locked on purpose
  CVPixelBufferRetain(first);
  CVPixelBufferRelease(first);
  EXPECT_EQ(GetPoolCounts(pool).in_use, 1);
  CVPixelBufferRelease(first);
  EXPECT_EQ(GetPoolCounts(pool).free, 1);
  EXPECT_EQ(GetPoolCounts(pool).in_use, 0);

  CVPixelBufferRef second = Take(pool);
  EXPECT_EQ(second, first);
  EXPECT_EQ(CFGetRetainCount(second), 1);
  EXPECT_EQ(platform::corevideo::GetLockState(second).read_write, 0);
  CVPixelBufferRef third = Take(pool);
  EXPECT_NE(third, second);
  EXPECT_EQ(GetPoolCounts(pool).in_use, 2);
  CVPixelBufferRelease(second);
  CVPixelBufferRelease(third);
  CVPixelBufferPoolRelease(pool);
}

TEST_F(CVPixelBufferPoolTest, FreeBuffersAgeOutOldestFirstDownToTheMinimum) {
  CVPixelBufferPoolRef pool = MakePool(2, 0.1);
  std::vector<CVPixelBufferRef> buffers;
  for (int i = 0; i < 4; ++i) buffers.push_back(Take(pool));
  for (CVPixelBufferRef b : buffers) CVPixelBufferRelease(b);  // returned in order 0, 1, 2, 3
  EXPECT_EQ(GetPoolCounts(pool).free, 4);

  Advance(0.05);
  CVPixelBufferPoolFlush(pool, 0);
  EXPECT_EQ(GetPoolCounts(pool).free, 4);  // not old enough yet

  // The next request ages out the two oldest; the minimum of two stays however old.
  Advance(0.1);
  CVPixelBufferRef reused = Take(pool);
  EXPECT_EQ(reused, buffers[3]);
  EXPECT_EQ(GetPoolCounts(pool).free, 1);
  Advance(10);
  CVPixelBufferPoolFlush(pool, 0);
  EXPECT_EQ(GetPoolCounts(pool).free, 1);
  EXPECT_EQ(Take(pool), buffers[2]);
  CVPixelBufferRelease(buffers[2]);
  CVPixelBufferRelease(reused);
  CVPixelBufferPoolRelease(pool);
}

TEST_F(CVPixelBufferPoolTest, MaximumAgeDefaultsToOneSecondAndZeroNeverAges) {
  CVPixelBufferPoolRef default_age = MakePool(0, std::nullopt);
  CVPixelBufferPoolRef no_age = MakePool(0, 0.0);
  CVPixelBufferRelease(Take(default_age));
  CVPixelBufferRelease(Take(no_age));
  Advance(0.9);
  CVPixelBufferPoolFlush(default_age, 0);
  EXPECT_EQ(GetPoolCounts(default_age).free, 1);
  Advance(0.2);
  CVPixelBufferPoolFlush(default_age, 0);
  CVPixelBufferPoolFlush(no_age, 0);
  EXPECT_EQ(GetPoolCounts(default_age).free, 0);
  EXPECT_EQ(GetPoolCounts(no_age).free, 1);
  // Flushing the excess drops every free buffer beyond the minimum, whatever its age.
  CVPixelBufferPoolFlush(no_age, kCVPixelBufferPoolFlushExcessBuffers);
  EXPECT_EQ(GetPoolCounts(no_age).free, 0);
  CVPixelBufferPoolRelease(default_age);
  CVPixelBufferPoolRelease(no_age);
}

TEST_F(CVPixelBufferPoolTest, ThresholdRefusesToGrowPastBuffersInUse) {
  CVPixelBufferPoolRef pool = MakePool(2, 0.1);
  CFDictionaryRef threshold = ThresholdAttributes(2);
  CVPixelBufferRef a = nullptr, b = nullptr, c = nullptr;
  ASSERT_EQ(CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(kCFAllocatorDefault, pool, threshold, &a),
            kCVReturnSuccess);
  ASSERT_EQ(CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(kCFAllocatorDefault, pool, threshold, &b),
            kCVReturnSuccess);
  EXPECT_EQ(CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(kCFAllocatorDefault, pool, threshold, &c), -6689);
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(GetPoolCounts(pool).in_use, 2);

  // A returned buffer is reused under the threshold; without one the pool grows.
  CVPixelBufferRelease(b);
  ASSERT_EQ(CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(kCFAllocatorDefault, pool, threshold, &c),
            kCVReturnSuccess);
  EXPECT_EQ(c, b);
  CVPixelBufferRef d = nullptr;
  ASSERT_EQ(CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(kCFAllocatorDefault, pool, nullptr, &d),
            kCVReturnSuccess);
  EXPECT_EQ(GetPoolCounts(pool).in_use, 3);
  for (CVPixelBufferRef buffer : {a, c, d}) CVPixelBufferRelease(buffer);
  CFRelease(threshold);
  CVPixelBufferPoolRelease(pool);
}

TEST_F(CVPixelBufferPoolTest, BuffersOutliveTheirPool) {
  CVPixelBufferPoolRef pool = MakePool(2, 0.1);
  CVPixelBufferRef kept = Take(pool);
  CVPixelBufferRelease(Take(pool));
  CVPixelBufferPoolRelease(pool);  // the free buffer goes now
  CVPixelBufferLockBaseAddress(kept, 0);
  std::memset(CVPixelBufferGetBaseAddress(kept), 7, CVPixelBufferGetDataSize(kept));
  CVPixelBufferUnlockBaseAddress(kept, 0);
  CVPixelBufferRelease(kept);  // destroyed, not returned (the leak checker sees the rest)
}

TEST_F(CVPixelBufferPoolTest, InjectedFailures) {
  InjectFailures(Operation::kCreatePool, 1, kCVReturnPoolAllocationFailed);
  CFMutableDictionaryRef attributes = BufferAttributes(8, 8, kCVPixelFormatType_32BGRA);
  CVPixelBufferPoolRef pool = nullptr;
  EXPECT_EQ(CVPixelBufferPoolCreate(kCFAllocatorDefault, nullptr, attributes, &pool),
            kCVReturnPoolAllocationFailed);
  EXPECT_EQ(pool, nullptr);
  ASSERT_EQ(CVPixelBufferPoolCreate(kCFAllocatorDefault, nullptr, attributes, &pool), kCVReturnSuccess);
  CVPixelBufferRelease(Take(pool));

  // A request fails even when a free buffer is waiting.
  InjectFailures(Operation::kCreatePixelBuffer, 1, kCVReturnAllocationFailed);
  CVPixelBufferRef buffer = nullptr;
  EXPECT_EQ(CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, pool, &buffer), kCVReturnAllocationFailed);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(GetPoolCounts(pool).free, 1);
  CVPixelBufferRelease(Take(pool));
  CFRelease(attributes);
  CVPixelBufferPoolRelease(pool);
}

TEST_F(CVPixelBufferPoolTest, CreationChecksItsAttributes) {
  struct Case {
    std::string name;
    std::function<void(CFMutableDictionaryRef pool, CFMutableDictionaryRef buffer)> edit;
    CVReturn expected;
  } cases[] = {
      {"as made", [](auto, auto) {}, kCVReturnSuccess},
      {"zero width", [](auto, auto b) { SetInt32(b, kCVPixelBufferWidthKey, 0); }, kCVReturnInvalidSize},
      {"negative height", [](auto, auto b) { SetInt32(b, kCVPixelBufferHeightKey, -4); }, kCVReturnInvalidSize},
      {"unknown format",
       [](auto, auto b) { SetInt32(b, kCVPixelBufferPixelFormatTypeKey, platform::corevideo::FourCharCode("nope")); },
       kCVReturnInvalidPixelFormat},
      {"format beyond 32 bits",
       [](auto, auto b) {
         int64_t wide = int64_t{1} << 32 | kCVPixelFormatType_32BGRA;
         CFNumberRef n = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &wide);
         CFDictionarySetValue(b, kCVPixelBufferPixelFormatTypeKey, n);
         CFRelease(n);
       },
       kCVReturnInvalidPixelBufferAttributes},
      {"format not a number",
       [](auto, auto b) { CFDictionarySetValue(b, kCVPixelBufferPixelFormatTypeKey, CFSTR("BGRA")); },
       kCVReturnInvalidPixelBufferAttributes},
      {"negative minimum", [](auto p, auto) { SetInt32(p, kCVPixelBufferPoolMinimumBufferCountKey, -1); },
       kCVReturnInvalidPoolAttributes},
      {"negative age", [](auto p, auto) { SetDouble(p, kCVPixelBufferPoolMaximumBufferAgeKey, -0.5); },
       kCVReturnInvalidPoolAttributes},
      {"age not a number",
       [](auto p, auto) { CFDictionarySetValue(p, kCVPixelBufferPoolMaximumBufferAgeKey, kCFBooleanTrue); },
       kCVReturnInvalidPoolAttributes},
  };
  for (const Case& c : cases) {
    CFMutableDictionaryRef pool_attributes = NewDictionary();
    CFMutableDictionaryRef buffer_attributes = BufferAttributes(8, 8, kCVPixelFormatType_32BGRA);
    c.edit(pool_attributes, buffer_attributes);
    CVPixelBufferPoolRef pool = nullptr;
    EXPECT_EQ(CVPixelBufferPoolCreate(kCFAllocatorDefault, pool_attributes, buffer_attributes, &pool), c.expected)
        << c.name;
    EXPECT_EQ(pool != nullptr, c.expected == kCVReturnSuccess) << c.name;
    CVPixelBufferPoolRelease(pool);
    CFRelease(pool_attributes);
    CFRelease(buffer_attributes);
  }
  CVPixelBufferPoolRef pool = nullptr;
  CFMutableDictionaryRef missing = NewDictionary();
  SetInt32(missing, kCVPixelBufferWidthKey, 8);
  SetInt32(missing, kCVPixelBufferHeightKey, 8);
  EXPECT_EQ(CVPixelBufferPoolCreate(kCFAllocatorDefault, nullptr, missing, &pool),
            kCVReturnInvalidPixelBufferAttributes);
  EXPECT_EQ(CVPixelBufferPoolCreate(kCFAllocatorDefault, nullptr, nullptr, &pool),
            kCVReturnInvalidPixelBufferAttributes);
  EXPECT_EQ(CVPixelBufferPoolCreate(kCFAllocatorDefault, nullptr, missing, nullptr), kCVReturnInvalidArgument);
  CVPixelBufferRef buffer = nullptr;
  EXPECT_EQ(CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, nullptr, &buffer), kCVReturnInvalidArgument);
  CFRelease(missing);
}

TEST_F(CVPixelBufferPoolTest, KeepsItsAttributeDictionaries) {
  CFMutableDictionaryRef buffer_attributes = BufferAttributes(8, 8, kCVPixelFormatType_OneComponent8);
  CVPixelBufferPoolRef pool = nullptr;
  ASSERT_EQ(CVPixelBufferPoolCreate(kCFAllocatorDefault, nullptr, buffer_attributes, &pool), kCVReturnSuccess);
  EXPECT_EQ(CFGetTypeID(pool), CVPixelBufferPoolGetTypeID());
  EXPECT_EQ(CVPixelBufferPoolGetPixelBufferAttributes(pool), buffer_attributes);
  EXPECT_EQ(CVPixelBufferPoolGetAttributes(pool), nullptr);
  EXPECT_EQ(CFGetRetainCount(buffer_attributes), 2);
  EXPECT_EQ(CVPixelBufferPoolRetain(pool), pool);
  CVPixelBufferPoolRelease(pool);
  CVPixelBufferPoolRelease(pool);
  EXPECT_EQ(CFGetRetainCount(buffer_attributes), 1);
  CFRelease(buffer_attributes);
}

TEST_F(CVPixelBufferPoolTest, ConcurrentPoolsAndRequests) {
  CVPixelBufferPoolRef shared = MakePool(2, 0.1);
  CFDictionaryRef threshold = ThresholdAttributes(3);
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        CVPixelBufferRef buffer = nullptr;
        CVReturn err =
            CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(kCFAllocatorDefault, shared, threshold, &buffer);
        if (err == kCVReturnWouldExceedAllocationThreshold) {
          refused.fetch_add(1);
          continue;
        }
        ASSERT_EQ(err, kCVReturnSuccess);
        CVPixelBufferLockBaseAddress(buffer, 0);
        static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(buffer))[0] = static_cast<uint8_t>(t);
        CVPixelBufferUnlockBaseAddress(buffer, 0);
        CVPixelBufferRelease(buffer);
        if (i % 50 == 0) {
          Advance(0.2);
          CVPixelBufferPoolRef own = MakePool(1, 0.1);
          CVPixelBufferRelease(Take(own));
          CVPixelBufferPoolRelease(own);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(GetPoolCounts(shared).in_use, 0);
  EXPECT_LE(GetPoolCounts(shared).free, 3);
  CFRelease(threshold);
  CVPixelBufferPoolRelease(shared);
}

}  // namespace
