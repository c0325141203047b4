#ifndef BASE_STRINGS_VARINT_H_
#define BASE_STRINGS_VARINT_H_

#include <cstdint>

// Unsigned base-128 varints as in the protocol-buffer wire format: seven bits
// per byte, low bits first, bit 7 set on every byte but the last.
class Varint {
 public:
  static constexpr int kMax32 = 5;
  static constexpr int kMax64 = 10;

  // Number of bytes the encoding of `v` takes: 1 to 5.
  static int Length32(uint32_t v) {
    // Index of the highest set bit, with bit 0 forced on so that 0 takes a byte.
    const int b = 31 - __builtin_clz(v | 1);
    return (9 * b + 73) / 64;
  }

  // Writes 1 to 5 bytes at `dst` and returns the position after them.
  static char* Encode32(char* dst, uint32_t v);

  // Reads a varint of at most 5 bytes at `p` into `*out` and returns the
  // position after it. Null when the varint is longer, or when its fifth byte
  // carries bits beyond 32 (a fifth byte above 0x0F). `*out` is untouched then.
  static const char* Parse32(const char* p, uint32_t* out) {
    const uint8_t b = static_cast<uint8_t>(*p);
    if (b < 0x80) {
      *out = b;
      return p + 1;
    }
    return Parse32Fallback(p, out);
  }
  static const char* Parse32Fallback(const char* p, uint32_t* out);

  // As Parse32, but never reads at or past `limit`: null when the varint
  // runs up to `limit` without ending.
  static const char* Parse32WithLimit(const char* p, const char* limit, uint32_t* out);
};

#endif  // BASE_STRINGS_VARINT_H_
