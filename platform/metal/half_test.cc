#include "platform/metal/half.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "gtest/gtest.h"
#include "platform/metal/pixel_format.h"

namespace {

using platform::metal::FloatToHalf;
using platform::metal::HalfToFloat;

// The value of a half from its fields, by the definition of the format.
double ReferenceValue(uint16_t h) {
  const int exponent = (h >> 10) & 0x1f;
  const int mantissa = h & 0x3ff;
  const double sign = (h & 0x8000) ? -1.0 : 1.0;
  if (exponent == 0) return sign * std::ldexp(mantissa, -24);
  if (exponent == 31) return mantissa == 0 ? sign * INFINITY : NAN;
  return sign * std::ldexp(1024 + mantissa, exponent - 25);
}

TEST(HalfTest, EveryHalfConvertsExactlyAndBack) {
  for (uint32_t bits = 0; bits <= 0xffff; ++bits) {
    const uint16_t h = static_cast<uint16_t>(bits);
    const float f = HalfToFloat(h);
    const double expected = ReferenceValue(h);
    if (std::isnan(expected)) {
      ASSERT_TRUE(std::isnan(f)) << std::hex << bits;
      ASSERT_EQ(FloatToHalf(f) & 0x7e00, 0x7e00) << "NaN stays a quiet NaN, " << std::hex << bits;
      continue;
    }
    ASSERT_EQ(static_cast<double>(f), expected) << std::hex << bits;
    ASSERT_EQ(std::signbit(f), (bits & 0x8000) != 0) << std::hex << bits;
    ASSERT_EQ(FloatToHalf(f), h) << std::hex << bits;
  }
}

TEST(HalfTest, RoundsToNearestEven) {
  struct Case {
    float value;
    uint16_t half;
  };
  const Case cases[] = {
      {0.1f, 0x2e66},
      {1.0f + 0x1p-11f, 0x3c00},          // tie between 1 and the next half: even (1)
      {1.0f + 3 * 0x1p-11f, 0x3c02},      // tie: even (the upper one)
      {1.0f + 0x1p-11f + 0x1p-20f, 0x3c01},  // just above the tie
      {65504.0f, 0x7bff},
      {65519.0f, 0x7bff},
      {65520.0f, 0x7c00},  // tie between the largest half and 65536: even is infinity
      {1e10f, 0x7c00},
      {-1e10f, 0xfc00},
      {0x1p-14f, 0x0400},                 // smallest normal
      {0x1p-14f - 0x1p-25f, 0x0400},      // tie between the largest subnormal and it: even
      {0x1p-25f, 0x0000},                 // tie between 0 and the smallest subnormal: even (0)
      {1.5f * 0x1p-25f, 0x0001},
      {3 * 0x1p-25f, 0x0002},             // tie between 1 and 2 steps: even (2)
      {-0.0f, 0x8000},
      {-2.0f, 0xc000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FloatToHalf(c.value), c.half) << std::hexfloat << c.value;
  }
}

TEST(HalfTest, HalfFloatTexelsRoundLikeFloatToHalf) {
  // Writing RGBA16Float texels may take a faster path; it must give the same bits.
  const platform::metal::PixelFormatInfo* format = platform::metal::FindPixelFormatInfo(MTLPixelFormatRGBA16Float);
  ASSERT_NE(format, nullptr);
  for (uint64_t bits = 0; bits <= 0xffffffffu; bits += 4093) {
    platform::metal::float4 value;
    for (int c = 0; c < 4; ++c) value[c] = std::bit_cast<float>(static_cast<uint32_t>(bits + c * 977));
    uint16_t halves[4];
    format->encode(value, reinterpret_cast<uint8_t*>(halves));
    for (int c = 0; c < 4; ++c) {
      ASSERT_EQ(halves[c], FloatToHalf(value[c])) << std::hexfloat << value[c];
    }
  }
}

TEST(HalfTest, FloatsToHalvesRoundLikeFloatToHalf) {
  // Runs of every length around the eight-at-a-time step, over floats of every kind.
  std::vector<float> values;
  for (uint64_t bits = 0; bits <= 0xffffffffu; bits += 65521) {
    values.push_back(std::bit_cast<float>(static_cast<uint32_t>(bits)));
  }
  for (size_t count : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{17}, values.size()}) {
    std::vector<uint16_t> halves(count + 1, 0xabcd);
    platform::metal::FloatsToHalves(values.data(), count, halves.data());
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(halves[i], FloatToHalf(values[i])) << std::hexfloat << values[i];
    EXPECT_EQ(halves[count], 0xabcd) << "wrote past " << count;
  }
}

}  // namespace
