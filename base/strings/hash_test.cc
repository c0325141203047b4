#include "base/strings/hash.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

std::string RandomBytes(std::mt19937_64& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Cut points for `n` bytes: sorted random positions, repeats allowed (empty pieces).
std::vector<size_t> RandomCuts(std::mt19937_64& rng, size_t n) {
  std::vector<size_t> cuts = {0};
  const int pieces = static_cast<int>(rng() % 6);
  for (int i = 0; i < pieces; ++i) cuts.push_back(n == 0 ? 0 : rng() % (n + 1));
  cuts.push_back(n);
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

TEST(HashTest, EmptyInputIsTheSeed) {
  EXPECT_EQ(Hash32StringWithSeed("", 0, 1234), 1234u);
  EXPECT_EQ(Hash64StringWithSeed("", 0, 0xFEEDFACECAFEBEEFull), 0xFEEDFACECAFEBEEFull);
  Hasher32 h32(99);
  EXPECT_EQ(h32.Result(), 99u);
  Hasher64 h64(98);
  EXPECT_EQ(h64.Result(), 98u);
}

TEST(HashTest, BlockHashReadsLittleEndianUnitsWithRotatingPrimes) {
  // The 16 smallest primes above 2^16, written out independently of the code's search.
  const uint32_t kPrimes[16] = {65537, 65539, 65543, 65551, 65557, 65563, 65579, 65581,
                                65587, 65599, 65609, 65617, 65629, 65633, 65647, 65651};
  std::mt19937_64 rng(7);
  for (uint32_t len : {0u, 1u, 2u, 3u, 12u, 33u, 40u}) {
    const std::string s = RandomBytes(rng, len);
    uint32_t expected = 0xABCD1234;
    for (uint32_t i = 0; 2 * i < len; ++i) {
      uint32_t unit = static_cast<uint8_t>(s[2 * i]);
      if (2 * i + 1 < len) unit |= static_cast<uint32_t>(static_cast<uint8_t>(s[2 * i + 1])) << 8;
      expected = expected * kPrimes[i % 16] ^ unit * kPrimes[(i + 8) % 16];
    }
    EXPECT_EQ(Hash32StringWithSeedReferenceImplementation(s.data(), len, 0xABCD1234), expected)
        << len;
  }
}

TEST(HashTest, IncrementalEqualsOneCallOnRandomSplits) {
  std::mt19937_64 rng(20);
  for (int round = 0; round < 500; ++round) {
    const std::string s = RandomBytes(rng, rng() % 100);
    const uint64_t seed = rng();
    const std::vector<size_t> cuts = RandomCuts(rng, s.size());
    Hasher32 h32(static_cast<uint32_t>(seed));
    Hasher64 h64(seed);
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
      h32.AddString(s.data() + cuts[i], static_cast<uint32_t>(cuts[i + 1] - cuts[i]));
      h64.AddString(s.data() + cuts[i], static_cast<uint32_t>(cuts[i + 1] - cuts[i]));
    }
    ASSERT_EQ(h32.Result(), Hash32StringWithSeed(s.data(), s.size(), static_cast<uint32_t>(seed)))
        << "length " << s.size();
    ASSERT_EQ(h64.Result(), Hash64StringWithSeed(s.data(), s.size(), seed))
        << "length " << s.size();
  }
}

TEST(HashTest, EveryByteAndTheSeedMatter) {
  std::mt19937_64 rng(3);
  for (size_t len : {1u, 11u, 12u, 13u, 24u, 25u, 50u}) {
    const std::string s = RandomBytes(rng, len);
    const uint32_t h32 = Hash32StringWithSeed(s.data(), len, 5);
    const uint64_t h64 = Hash64StringWithSeed(s.data(), len, 5);
    EXPECT_NE(Hash32StringWithSeed(s.data(), len, 6), h32);
    EXPECT_NE(Hash64StringWithSeed(s.data(), len, 6), h64);
    for (size_t i = 0; i < len; ++i) {
      std::string t = s;
      t[i] ^= 0x01;
      EXPECT_NE(Hash32StringWithSeed(t.data(), len, 5), h32) << len << " byte " << i;
      EXPECT_NE(Hash64StringWithSeed(t.data(), len, 5), h64) << len << " byte " << i;
    }
  }
}

TEST(HashTest, ResetStartsOver) {
  Hasher32 h(1);
  h.AddString("abc", 3);
  h.Result();
  h.Reset(2);
  h.AddString("xyz", 3);
  EXPECT_EQ(h.ResultNonReserved(), Hash32StringWithSeed("xyz", 3, 2));
}

TEST(HashDeathTest, AddingAfterResultIsFatal) {
  Hasher32 h32;
  h32.Result();
  EXPECT_DEATH(h32.AddString("a", 1), "Check !done_ failed: Can not call AddString after Result.");
  Hasher64 h64;
  h64.Result();
  EXPECT_DEATH(h64.AddString("a", 1), "Check !done_ failed: Can not call AddString after Result.");
}

TEST(StringPieceCaseHashTest, IgnoresAsciiCase) {
  const StringPieceCaseHash hash;
  EXPECT_EQ(hash("Hello, World"), hash("hELLO, wORLD"));
  EXPECT_NE(hash("hello"), hash("hellp"));
}

}  // namespace
