#ifndef PLATFORM_METAL_HALF_H_
#define PLATFORM_METAL_HALF_H_

// IEEE 754 binary16 ("half") values stored as their 16 raw bits, as Metal's half-float pixel
// formats hold them.
//
//   uint16_t h = platform::metal::FloatToHalf(0.1f);   // 0x2E66, the nearest half
//   float f = platform::metal::HalfToFloat(h);          // 0.0999755859375f
//
// HalfToFloat is exact for every one of the 65,536 patterns (signed zeros, subnormals,
// infinities, NaNs keep their payload). FloatToHalf rounds to nearest, ties to even; values
// from 65520 up become infinity, NaNs stay NaNs (quiet). Both are pure and thread-safe.

#include <cstddef>
#include <cstdint>

namespace platform::metal {

float HalfToFloat(uint16_t half);
uint16_t FloatToHalf(float value);
// FloatToHalf of `count` floats, eight at a time where the processor has F16C.
void FloatsToHalves(const float* values, size_t count, uint16_t* halves);

}  // namespace platform::metal

#endif  // PLATFORM_METAL_HALF_H_
