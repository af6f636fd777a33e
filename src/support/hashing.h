// Unkeyed hash functions for in-memory tables whose keys an outsider does not choose freely
// (symbol texts, dense ids). Tables keyed by user-controlled content use the keyed SipHasher13
// (siphash.h) instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace veltrix {

inline std::uint64_t rotl64(std::uint64_t x, unsigned r) {
  r &= 63;
  return r == 0 ? x : (x << r) | (x >> (64 - r));
}

// High half XOR low half of the full 128-bit product: a cheap, well-mixing combine step.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
  __extension__ using u128 = unsigned __int128;
  const u128 product = static_cast<u128>(a) * b;
  return static_cast<std::uint64_t>(product >> 64) ^ static_cast<std::uint64_t>(product);
}

// A bijective 64-bit finaliser; turns dense ids into well-spread hash values.
inline std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// Fast byte-string hash (multiply-fold over 16-byte blocks). Its values are fixed: the symbol
// table derives each text's shard from them.
std::uint64_t hash_bytes(const void* data, std::size_t size);

}  // namespace veltrix
