#ifndef BASE_STRINGS_VARINT_H_
#define BASE_STRINGS_VARINT_H_

#include <cstdint>
#include <string>

// Unsigned base-128 varints as in the protocol-buffer wire format: seven bits
// per byte, low bits first, bit 7 set on every byte but the last.
//
// Parsers return the position after the varint, or null for an invalid one; they
// leave the output untouched on failure. The backward parsers read a varint that ends
// right before a given position, for buffers read from the end.
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

  static int Length64(uint64_t v) {
    const int b = 63 - __builtin_clzll(v | 1);
    return (9 * b + 73) / 64;
  }

  // Writes 1 to 5 (64: 1 to 10) bytes at `dst` and returns the position after them.
  static char* Encode32(char* dst, uint32_t v);
  static char* Encode64(char* dst, uint64_t v);

  // Append the encoding of `v` to `*s`.
  static void Append32Slow(std::string* s, uint32_t v);
  static void Append64Slow(std::string* s, uint64_t v);

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

  // Reads a varint of at most 10 bytes; null when it is longer or its tenth byte
  // carries bits beyond 64 (is above 1).
  static const char* Parse64Fallback(const char* p, uint64_t* out);
  // As Parse64Fallback, but never reads at or past `limit`.
  static const char* Parse64WithLimit(const char* p, const char* limit, uint64_t* out);

  // Parse the varint that ends right before `end` and starts no earlier than `base`;
  // return its start, or null when no valid varint ends there.
  static const char* Parse32BackwardSlow(const char* end, const char* base, uint32_t* out);
  static const char* Parse64BackwardSlow(const char* end, const char* base, uint64_t* out);
  // The start of that varint, or null.
  static const char* Skip32BackwardSlow(const char* end, const char* base);
  static const char* Skip64BackwardSlow(const char* end, const char* base);
};

#endif  // BASE_STRINGS_VARINT_H_
