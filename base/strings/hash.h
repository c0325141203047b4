// Seeded string hashes over Bob Jenkins' 96-bit and 192-bit mixes, in one call or
// incrementally. The value depends only on the bytes and the seed, not on how they
// are split: feeding a Hasher32 the bytes in pieces of any sizes gives exactly
// Hash32StringWithSeed of the whole.
//
//   Hasher32 h;
//   h.Reset(seed);
//   h.AddString("hello ", 6);
//   h.AddString("world", 5);
//   h.Result() == Hash32StringWithSeed("hello world", 11, seed);
//
// These are not cryptographic. An empty input hashes to the seed. The length is not
// mixed in: zero bytes that only complete the last 16-bit (64-bit form: 32-bit) unit
// leave the value unchanged ("a" and "a\0" hash alike).

#ifndef BASE_STRINGS_HASH_H_
#define BASE_STRINGS_HASH_H_

#include <cstddef>
#include <cstdint>

#include "absl/strings/string_view.h"

uint32_t Hash32StringWithSeed(const char* s, size_t len, uint32_t seed);
uint64_t Hash64StringWithSeed(const char* s, size_t len, uint64_t seed);

// The block step of the hashes above: `h` folded with the input read as little-endian
// 16-bit (64-bit form: 32-bit) units, each multiplied by one of 16 fixed primes.
uint32_t Hash32StringWithSeedReferenceImplementation(const char* s, uint32_t len, uint32_t h);
uint64_t Hash64StringWithSeedReferenceImplementation(const char* s, uint32_t len, uint64_t h);

namespace hash_internal {

// The state both incremental hashers share: the mix words a, b, c, a partly filled
// block, the byte counts and whether Result() has been called.
template <typename Word, uint32_t kBlock>
class IncrementalHasher {
 public:
  void Reset(Word seed);
  // Adding after Result() is a fatal error.
  void AddString(const char* s, uint32_t len);
  // The hash of everything added; ends the hasher until the next Reset.
  Word Result();

 private:
  Word a_, b_, c_;
  char buffer_[kBlock];
  uint32_t buffered_;
  uint32_t total_;
  bool done_;
};

extern template class IncrementalHasher<uint32_t, 12>;
extern template class IncrementalHasher<uint64_t, 24>;

}  // namespace hash_internal

class Hasher32 : public hash_internal::IncrementalHasher<uint32_t, 12> {
 public:
  Hasher32() { Reset(0); }
  explicit Hasher32(uint32_t seed) { Reset(seed); }

  // Result(), with 0xFFFFFFFF replaced by 0xFFFFFFFE so callers can reserve it.
  uint32_t ResultNonReserved() {
    const uint32_t r = Result();
    return r == 0xFFFFFFFFu ? 0xFFFFFFFEu : r;
  }
};

class Hasher64 : public hash_internal::IncrementalHasher<uint64_t, 24> {
 public:
  Hasher64() { Reset(0); }
  explicit Hasher64(uint64_t seed) { Reset(seed); }
};

// Hash of a text ignoring ASCII case, for hash maps keyed by case-insensitive text.
// Salted with an address, so values differ between runs: never store them.
struct StringPieceCaseHash {
  size_t operator()(absl::string_view text) const;
};

#endif  // BASE_STRINGS_HASH_H_
