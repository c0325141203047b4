#include "base/strings/varint.h"

namespace {

constexpr uint8_t kMore = 0x80;

}  // namespace

char* Varint::Encode32(char* dst, uint32_t v) {
  uint8_t* p = reinterpret_cast<uint8_t*>(dst);
  while (v >= kMore) {
    *p++ = static_cast<uint8_t>(v | kMore);
    v >>= 7;
  }
  *p++ = static_cast<uint8_t>(v);
  return reinterpret_cast<char*>(p);
}

const char* Varint::Parse32Fallback(const char* p, uint32_t* out) {
  const uint8_t* q = reinterpret_cast<const uint8_t*>(p);
  uint32_t result = 0;
  for (int i = 0; i < kMax32 - 1; ++i) {
    const uint8_t b = q[i];
    result |= static_cast<uint32_t>(b & 0x7F) << (7 * i);
    if (b < kMore) {
      *out = result;
      return p + i + 1;
    }
  }
  // Fifth byte: only its low four bits fit into 32 bits, and it must end.
  const uint8_t last = q[kMax32 - 1];
  if (last > 0x0F) return nullptr;
  *out = result | (static_cast<uint32_t>(last) << 28);
  return p + kMax32;
}

const char* Varint::Parse32WithLimit(const char* p, const char* limit, uint32_t* out) {
  if (limit - p >= kMax32) return Parse32(p, out);
  // Fewer than five bytes remain: the varint must end before `limit`.
  for (const char* q = p; q < limit; ++q) {
    if (static_cast<uint8_t>(*q) < kMore) return Parse32(p, out);
  }
  return nullptr;
}
