#include "base/strings/varint.h"

#include <string>

namespace {

constexpr uint8_t kMore = 0x80;

// Reads at most kMaxBytes bytes. The last possible byte holds only the bits that
// still fit into T (at most kLastMax) and must end the varint.
template <typename T, int kMaxBytes, uint8_t kLastMax>
const char* ParseFallback(const char* p, T* out) {
  const uint8_t* q = reinterpret_cast<const uint8_t*>(p);
  T result = 0;
  for (int i = 0; i < kMaxBytes - 1; ++i) {
    const uint8_t b = q[i];
    result |= static_cast<T>(b & 0x7F) << (7 * i);
    if (b < kMore) {
      *out = result;
      return p + i + 1;
    }
  }
  const uint8_t last = q[kMaxBytes - 1];
  if (last > kLastMax) return nullptr;
  *out = result | (static_cast<T>(last) << (7 * (kMaxBytes - 1)));
  return p + kMaxBytes;
}

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
  return ParseFallback<uint32_t, Varint::kMax32, 0x0F>(p, out);
}

const char* Varint::Parse32WithLimit(const char* p, const char* limit, uint32_t* out) {
  if (limit - p >= kMax32) return Parse32(p, out);
  // Fewer than five bytes remain: the varint must end before `limit`.
  for (const char* q = p; q < limit; ++q) {
    if (static_cast<uint8_t>(*q) < kMore) return Parse32(p, out);
  }
  return nullptr;
}

char* Varint::Encode64(char* dst, uint64_t v) {
  if (v < (uint64_t{1} << 28)) return Encode32(dst, static_cast<uint32_t>(v));
  uint8_t* p = reinterpret_cast<uint8_t*>(dst);
  while (v >= kMore) {
    *p++ = static_cast<uint8_t>(v | kMore);
    v >>= 7;
  }
  *p++ = static_cast<uint8_t>(v);
  return reinterpret_cast<char*>(p);
}

void Varint::Append32Slow(std::string* s, uint32_t v) {
  const size_t old_size = s->size();
  s->resize(old_size + Length32(v));
  Encode32(s->data() + old_size, v);
}

void Varint::Append64Slow(std::string* s, uint64_t v) {
  const size_t old_size = s->size();
  s->resize(old_size + Length64(v));
  Encode64(s->data() + old_size, v);
}

const char* Varint::Parse64Fallback(const char* p, uint64_t* out) {
  return ParseFallback<uint64_t, Varint::kMax64, 0x01>(p, out);
}

const char* Varint::Parse64WithLimit(const char* p, const char* limit, uint64_t* out) {
  if (limit - p >= kMax64) return Parse64Fallback(p, out);
  for (const char* q = p; q < limit; ++q) {
    if (static_cast<uint8_t>(*q) < kMore) return Parse64Fallback(p, out);
  }
  return nullptr;
}

namespace {

// Start of the varint of at most `max_length` bytes that ends right before `end`,
// not before `base`; null when there is none.
const char* VarintStartBefore(const char* end, const char* base, int max_length) {
  if (end <= base || static_cast<uint8_t>(end[-1]) >= kMore) return nullptr;
  const char* start = end - 1;
  while (start > base && static_cast<uint8_t>(start[-1]) >= kMore) {
    // One more continuation byte would make the varint longer than allowed.
    if (end - start == max_length) return nullptr;
    --start;
  }
  return start;
}

}  // namespace

const char* Varint::Skip32BackwardSlow(const char* end, const char* base) {
  return VarintStartBefore(end, base, kMax32);
}

const char* Varint::Skip64BackwardSlow(const char* end, const char* base) {
  return VarintStartBefore(end, base, kMax64);
}

const char* Varint::Parse32BackwardSlow(const char* end, const char* base, uint32_t* out) {
  const char* start = Skip32BackwardSlow(end, base);
  if (start == nullptr || Parse32Fallback(start, out) == nullptr) return nullptr;
  return start;
}

const char* Varint::Parse64BackwardSlow(const char* end, const char* base, uint64_t* out) {
  const char* start = Skip64BackwardSlow(end, base);
  if (start == nullptr || Parse64Fallback(start, out) == nullptr) return nullptr;
  return start;
}
