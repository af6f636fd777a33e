#include "support/hashing.h"

namespace veltrix {
namespace {

constexpr std::uint64_t kM = 0x5851f42d4c957f2dULL;
constexpr std::uint64_t kP = 0xbe5466cf34e90c6cULL;
constexpr std::uint64_t kK1 = 0xc0ac29b7c97c50ddULL;
constexpr std::uint64_t kK2 = 0x3f84d5b5b5470917ULL;
constexpr std::uint64_t kS = 0x42d8414413678157ULL;

std::uint64_t load64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // little-endian hosts only; the build refuses others
}
std::uint64_t load32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
std::uint64_t load16(const unsigned char* p) {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

std::uint64_t absorb(std::uint64_t h, std::uint64_t add, std::uint64_t a, std::uint64_t b) {
  return rotl64((h + add) ^ fold_multiply(a ^ kK1, b ^ kK2), 23);
}

}  // namespace

std::uint64_t hash_bytes(const void* data, std::size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint64_t h = static_cast<std::uint64_t>(n) * kM;
  if (n <= 16) {
    std::uint64_t a = 0, b = 0;
    if (n >= 9) {
      a = load64(p);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      a = load32(p);
      b = load32(p + n - 4);
    } else if (n >= 2) {
      a = load16(p);
      b = p[n - 1];
    } else if (n == 1) {
      a = b = p[0];
    }
    h = absorb(h, kS, a, b);
  } else {
    h = absorb(h, kS, load64(p + n - 16), load64(p + n - 8));
    for (std::size_t k = 0; k < n - 16; k += 16) h = absorb(h, kP, load64(p + k), load64(p + k + 8));
  }
  h ^= 0xff;
  h = fold_multiply(h, kM);
  const std::uint64_t r = fold_multiply(h, kP);
  return rotl64(r, static_cast<unsigned>(h % 64));
}

}  // namespace veltrix
