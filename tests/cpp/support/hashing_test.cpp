#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/hashing.h"
#include "support/keyed_fold_hash.h"
#include "support/siphash.h"

namespace veltrix {
namespace {

std::uint64_t sip(HashKey key, const std::string& bytes) {
  SipHasher13 h(key);
  h.write_bytes(bytes.data(), bytes.size());
  return h.finish();
}

TEST(SipHasher13, SplitWritesEqualOneWrite) {
  const HashKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  const std::string text = "the quick brown fox jumps over the lazy dog, twice over";
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    SipHasher13 h(key);
    h.write_bytes(text.data(), cut);
    h.write_bytes(text.data() + cut, text.size() - cut);
    EXPECT_EQ(h.finish(), sip(key, text)) << cut;
  }
}

TEST(SipHasher13, WordWritesMatchByteWrites) {
  const HashKey key{1, 2};
  SipHasher13 words(key);
  words.write_u8(9);
  words.write_u64(0x1122334455667788ULL);
  words.write_u32(7);
  SipHasher13 bytes(key);
  const unsigned char raw[] = {9, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 7, 0, 0, 0};
  bytes.write_bytes(raw, sizeof raw);
  EXPECT_EQ(words.finish(), bytes.finish());
}

TEST(SipHasher13, KeyAndLengthChangeTheHash) {
  const HashKey a{1, 2}, b{1, 3};
  EXPECT_NE(sip(a, "node"), sip(b, "node"));
  EXPECT_NE(sip(a, ""), sip(a, std::string(1, '\0')));
  EXPECT_NE(sip(a, std::string(7, '\0')), sip(a, std::string(8, '\0')));
}

TEST(RandomHashKey, KeysDiffer) {
  std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
  for (int i = 0; i < 1000; ++i) {
    const HashKey k = random_hash_key();
    EXPECT_TRUE(seen.insert({k.k0, k.k1}).second);
  }
}

std::uint64_t fold_hash(HashKey key, std::initializer_list<std::uint64_t> words) {
  KeyedFoldHasher h(key);
  for (std::uint64_t w : words) h.write_u64(w);
  return h.finish();
}

TEST(KeyedFoldHasher, DependsOnKeyOrderAndEveryWord) {
  const HashKey a{1, 2}, b{1, 3};
  EXPECT_NE(fold_hash(a, {7, 8}), fold_hash(b, {7, 8}));
  EXPECT_NE(fold_hash(a, {7, 8}), fold_hash(a, {8, 7}));
  EXPECT_NE(fold_hash(a, {7, 8}), fold_hash(a, {7, 8, 0}));
  EXPECT_NE(fold_hash(a, {0}), fold_hash(a, {0, 0}));
}

// Dense, structured inputs (the node index hashes small ids) still spread evenly over buckets:
// both the low bits (the control tag) and the high bits (the chunk) of the index's position.
TEST(KeyedFoldHasher, SpreadsDenseInputsEvenly) {
  const HashKey key = random_hash_key();
  constexpr int kBuckets = 256, kInputs = 256 * 400;
  std::vector<int> low(kBuckets), high(kBuckets);
  for (std::uint64_t i = 0; i < kInputs; ++i) {
    const std::uint64_t h = mix64(fold_hash(key, {i & 0xFF, i >> 8}) >> 32);
    ++low[h & 0xFF];
    ++high[h >> 56];
  }
  for (int b = 0; b < kBuckets; ++b) {
    EXPECT_NEAR(low[b], 400, 120) << b;
    EXPECT_NEAR(high[b], 400, 120) << b;
  }
}

TEST(HashBytes, EveryLengthClassSeparatesNeighbours) {
  std::set<std::uint64_t> seen;
  std::string text;
  for (int n = 0; n <= 70; ++n) {
    EXPECT_TRUE(seen.insert(hash_bytes(text.data(), text.size())).second) << n;
    std::string flipped = text + 'y';
    text += 'x';
    EXPECT_NE(hash_bytes(text.data(), text.size()), hash_bytes(flipped.data(), flipped.size()));
  }
}

TEST(HashBytes, IsStableAcrossRuns) {
  // The value is part of the symbol table's contract (it picks the shard), so it must not drift.
  EXPECT_EQ(hash_bytes("op|add", 6), hash_bytes(std::string("op|add").c_str(), 6));
  EXPECT_EQ(hash_bytes("", 0), hash_bytes("", 0));
}

}  // namespace
}  // namespace veltrix
