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

// Known answers from an independent implementation of the algorithm (a short script outside
// this code base), for lengths around the block sizes of both widths.
TEST(HashTest, KnownAnswers) {
  const std::string text =
      "Pack my box with five dozen liquor jugs, then seal it tight and mail it home today.";
  const struct {
    size_t length;
    uint32_t h32_seed0, h32_seed_golden;
    uint64_t h64_seed0, h64_seed_golden;
  } cases[] = {
      {1, 0xBA5C9C9Bu, 0x291F83DCu, 0xA57528C5717CEEBBull, 0x3F921DFFCD39B239ull},
      {2, 0xB8BDC8A9u, 0xB1C1B590u, 0x394A31AF229F32FFull, 0xA8E87246763EE119ull},
      {3, 0x0D4CA79Du, 0x547BC7D7u, 0x875F4EC5679C05C4ull, 0x108E9C4C96700B0Aull},
      {11, 0xD8D773B1u, 0x23C5E119u, 0x036A69866122DD96ull, 0xF8F842E08E320A08ull},
      {12, 0x17B04DC0u, 0x07B63199u, 0x79A14757A2457636ull, 0xEFEB90178D6EE0BDull},
      {13, 0x95C95A54u, 0xEE16D704u, 0x15BE02593FE71712ull, 0x9EE748DE3D4A8A32ull},
      {24, 0xA58A9ED0u, 0xC6B6C9D2u, 0x6816FC5391C886C0ull, 0xE53CFEE0B560B272ull},
      {25, 0x784FAE7Cu, 0x9A74EBF6u, 0xBE4A8E1B7D5458EAull, 0xE635B497996DCDA5ull},
      {49, 0xD595FB61u, 0x64C2EE64u, 0x42BBE1D5118DAD7Eull, 0x28293C4FF14CA2DCull},
      {83, 0x037A797Bu, 0xDEA9C144u, 0xE513A7AEA5E4A3A9ull, 0x68EEFBF56933F88Eull},
  };
  constexpr uint32_t kSeed32 = 0x9E3779B9u;
  constexpr uint64_t kSeed64 = 0x9E3779B97F4A7C15ull;
  ASSERT_EQ(text.size(), 83u);
  for (const auto& c : cases) {
    const char* s = text.data();
    EXPECT_EQ(Hash32StringWithSeed(s, c.length, 0), c.h32_seed0) << c.length;
    EXPECT_EQ(Hash32StringWithSeed(s, c.length, kSeed32), c.h32_seed_golden) << c.length;
    EXPECT_EQ(Hash64StringWithSeed(s, c.length, 0), c.h64_seed0) << c.length;
    EXPECT_EQ(Hash64StringWithSeed(s, c.length, kSeed64), c.h64_seed_golden) << c.length;
    Hasher32 h32(kSeed32);
    h32.AddString(s, static_cast<uint32_t>(c.length));
    EXPECT_EQ(h32.Result(), c.h32_seed_golden) << c.length;
    Hasher64 h64(kSeed64);
    h64.AddString(s, static_cast<uint32_t>(c.length));
    EXPECT_EQ(h64.Result(), c.h64_seed_golden) << c.length;
  }
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
