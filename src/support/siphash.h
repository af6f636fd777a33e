// Keyed SipHash-1-3, fed incrementally. Tables whose keys come from outside (graph nodes built
// from Python input) hash with a fresh random key per table, so that nobody can precompute a
// set of colliding contents and degrade interning to a linear scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support/hashing.h"

namespace veltrix {

struct HashKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// A key drawn from a process-wide random source; every call returns a different key.
HashKey random_hash_key();

class SipHasher13 {
 public:
  explicit SipHasher13(HashKey key)
      : v0_(key.k0 ^ 0x736f6d6570736575ULL),
        v1_(key.k1 ^ 0x646f72616e646f6dULL),
        v2_(key.k0 ^ 0x6c7967656e657261ULL),
        v3_(key.k1 ^ 0x7465646279746573ULL) {}

  void write_u64(std::uint64_t word) {
    if (tail_size_ == 0) {
      compress(word);
      length_ += 8;
      return;
    }
    write_bytes(&word, 8);
  }

  void write_u32(std::uint32_t word) { write_bytes(&word, 4); }
  void write_u8(std::uint8_t byte) { write_bytes(&byte, 1); }

  void write_bytes(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    length_ += size;
    if (tail_size_ != 0) {
      while (size > 0 && tail_size_ < 8) {
        tail_ |= static_cast<std::uint64_t>(*p++) << (8 * tail_size_++);
        --size;
      }
      if (tail_size_ < 8) return;
      compress(tail_);
      tail_ = 0;
      tail_size_ = 0;
    }
    while (size >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      compress(word);
      p += 8;
      size -= 8;
    }
    while (size > 0) {
      tail_ |= static_cast<std::uint64_t>(*p++) << (8 * tail_size_++);
      --size;
    }
  }

  std::uint64_t finish() const {
    std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    const std::uint64_t last = (static_cast<std::uint64_t>(length_) << 56) | tail_;
    v3 ^= last;
    round(v0, v1, v2, v3);
    v0 ^= last;
    v2 ^= 0xff;
    round(v0, v1, v2, v3);
    round(v0, v1, v2, v3);
    round(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
  }

 private:
  static void round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
    v0 += v1;
    v1 = rotl64(v1, 13);
    v1 ^= v0;
    v0 = rotl64(v0, 32);
    v2 += v3;
    v3 = rotl64(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl64(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl64(v1, 17);
    v1 ^= v2;
    v2 = rotl64(v2, 32);
  }

  void compress(std::uint64_t m) {
    v3_ ^= m;
    round(v0_, v1_, v2_, v3_);
    v0_ ^= m;
  }

  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t tail_ = 0;
  unsigned tail_size_ = 0;
  std::size_t length_ = 0;
};

}  // namespace veltrix
