#include "base/strings/hash.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>

#include "absl/strings/ascii.h"
#include "base/raw_logging.h"

namespace {

constexpr uint32_t kInit32 = 0x12F905FF;
constexpr uint64_t kInit64 = 0x2C2CA38CD0CC731BULL;

constexpr bool IsPrime(uint64_t n) {
  if (n < 2) return false;
  for (uint64_t d = 2; d * d <= n; ++d) {
    if (n % d == 0) return false;
  }
  return true;
}

// The 16 smallest primes above `floor`.
template <typename T>
constexpr std::array<T, 16> PrimesAbove(uint64_t floor) {
  std::array<T, 16> primes{};
  uint64_t n = floor;
  for (size_t i = 0; i < primes.size(); ++i) {
    do {
      ++n;
    } while (!IsPrime(n));
    primes[i] = static_cast<T>(n);
  }
  return primes;
}

constexpr std::array<uint32_t, 16> kPrimes32 = PrimesAbove<uint32_t>(uint64_t{1} << 16);
// The 16 smallest primes above 2^32, written out: searching for them at compile time takes more
// constant-evaluation steps than clang allows.
constexpr std::array<uint64_t, 16> kPrimes64 = {
    0x10000000fULL, 0x10000003dULL, 0x10000004bULL, 0x100000051ULL,
    0x10000005bULL, 0x10000005dULL, 0x1000000a3ULL, 0x1000000b5ULL,
    0x1000000c9ULL, 0x1000000d9ULL, 0x1000000f3ULL, 0x1000000f7ULL,
    0x1000000fdULL, 0x100000109ULL, 0x10000010bULL, 0x100000111ULL};
static_assert(kPrimes32[0] == 65537 && kPrimes32[15] == 65651);

void Mix(uint32_t& a, uint32_t& b, uint32_t& c) {
  a -= b; a -= c; a ^= (c >> 13);
  b -= c; b -= a; b ^= (a << 8);
  c -= a; c -= b; c ^= (b >> 13);
  a -= b; a -= c; a ^= (c >> 12);
  b -= c; b -= a; b ^= (a << 16);
  c -= a; c -= b; c ^= (b >> 5);
  a -= b; a -= c; a ^= (c >> 3);
  b -= c; b -= a; b ^= (a << 10);
  c -= a; c -= b; c ^= (b >> 15);
}

void Mix(uint64_t& a, uint64_t& b, uint64_t& c) {
  a -= b; a -= c; a ^= (c >> 43);
  b -= c; b -= a; b ^= (a << 9);
  c -= a; c -= b; c ^= (b >> 8);
  a -= b; a -= c; a ^= (c >> 38);
  b -= c; b -= a; b ^= (a << 23);
  c -= a; c -= b; c ^= (b >> 5);
  a -= b; a -= c; a ^= (c >> 35);
  b -= c; b -= a; b ^= (a << 49);
  c -= a; c -= b; c ^= (b >> 11);
  a -= b; a -= c; a ^= (c >> 12);
  b -= c; b -= a; b ^= (a << 18);
  c -= a; c -= b; c ^= (b >> 22);
}

// Little-endian unit of `size` bytes at `s`, of which only `available` exist.
template <typename T>
T ReadUnit(const char* s, size_t available) {
  T unit = 0;
  for (size_t k = 0; k < sizeof(T) && k < available; ++k) {
    unit |= static_cast<T>(static_cast<unsigned char>(s[k])) << (8 * k);
  }
  return unit;
}

// One-call form shared by both widths: blocks of `Block` bytes, the last one 1 to
// `Block` bytes long.
template <typename Word, size_t Block, Word (*BlockHash)(const char*, uint32_t, Word)>
Word HashWithSeed(const char* s, size_t len, Word seed, Word init) {
  if (len == 0) return seed;
  Word a;
  Word b = init;
  Word c = seed;
  while (len > Block) {
    a = BlockHash(s, Block, c);
    Mix(a, b, c);
    s += Block;
    len -= Block;
  }
  a = BlockHash(s, static_cast<uint32_t>(len), c);
  Mix(a, b, c);
  return c;
}

}  // namespace

uint32_t Hash32StringWithSeedReferenceImplementation(const char* s, uint32_t len, uint32_t h) {
  for (uint32_t i = 0; 2 * i < len; ++i) {
    const uint32_t unit = ReadUnit<uint16_t>(s + 2 * i, len - 2 * i);
    h = h * kPrimes32[i % 16] ^ unit * kPrimes32[(i + 8) % 16];
  }
  return h;
}

uint64_t Hash64StringWithSeedReferenceImplementation(const char* s, uint32_t len, uint64_t h) {
  for (uint32_t i = 0; 4 * i < len; ++i) {
    const uint64_t unit = ReadUnit<uint32_t>(s + 4 * i, len - 4 * i);
    h = h * kPrimes64[i % 16] ^ unit * kPrimes64[(i + 8) % 16];
  }
  return h;
}

uint32_t Hash32StringWithSeed(const char* s, size_t len, uint32_t seed) {
  return HashWithSeed<uint32_t, 12, Hash32StringWithSeedReferenceImplementation>(s, len, seed,
                                                                                kInit32);
}

uint64_t Hash64StringWithSeed(const char* s, size_t len, uint64_t seed) {
  return HashWithSeed<uint64_t, 24, Hash64StringWithSeedReferenceImplementation>(s, len, seed,
                                                                                kInit64);
}

namespace hash_internal {
namespace {

// The initial b word and the block hash of each width.
template <typename Word>
struct Width;
template <>
struct Width<uint32_t> {
  static constexpr uint32_t kInit = kInit32;
  static uint32_t Block(const char* s, uint32_t len, uint32_t h) {
    return Hash32StringWithSeedReferenceImplementation(s, len, h);
  }
};
template <>
struct Width<uint64_t> {
  static constexpr uint64_t kInit = kInit64;
  static uint64_t Block(const char* s, uint32_t len, uint64_t h) {
    return Hash64StringWithSeedReferenceImplementation(s, len, h);
  }
};

}  // namespace

template <typename Word, uint32_t kBlock>
void IncrementalHasher<Word, kBlock>::Reset(Word seed) {
  a_ = b_ = Width<Word>::kInit;
  c_ = seed;
  buffered_ = 0;
  total_ = 0;
  done_ = false;
}

template <typename Word, uint32_t kBlock>
void IncrementalHasher<Word, kBlock>::AddString(const char* s, uint32_t len) {
  RAW_CHECK(!done_, "Can not call AddString after Result.");
  total_ += len;
  while (len > 0) {
    const uint32_t n = std::min(len, kBlock - buffered_);
    std::memcpy(buffer_ + buffered_, s, n);
    buffered_ += n;
    s += n;
    len -= n;
    if (buffered_ == kBlock) {
      a_ = Width<Word>::Block(buffer_, kBlock, c_);
      Mix(a_, b_, c_);
      buffered_ = 0;
    }
  }
}

template <typename Word, uint32_t kBlock>
Word IncrementalHasher<Word, kBlock>::Result() {
  // An empty buffer means the input ended on a block boundary (or was empty, which
  // hashes to the seed), exactly where the one-call form stops too.
  if (buffered_ > 0) {
    a_ = Width<Word>::Block(buffer_, buffered_, c_);
    Mix(a_, b_, c_);
    buffered_ = 0;
  }
  done_ = true;
  return c_;
}

template class IncrementalHasher<uint32_t, 12>;
template class IncrementalHasher<uint64_t, 24>;

}  // namespace hash_internal

size_t StringPieceCaseHash::operator()(absl::string_view text) const {
  static const char salt = 0;
  return std::hash<std::string>()(absl::AsciiStrToLower(text)) ^
         reinterpret_cast<uintptr_t>(&salt);
}
