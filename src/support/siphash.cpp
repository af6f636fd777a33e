#include "support/siphash.h"

#include <atomic>
#include <random>

namespace veltrix {
namespace {

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Drawn once per process from the operating system; later keys are derived from it, so creating
// a table costs no system call.
std::uint64_t process_seed() {
  static const std::uint64_t seed = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  }();
  return seed;
}

}  // namespace

HashKey random_hash_key() {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t state = process_seed() ^ mix64(counter.fetch_add(1, std::memory_order_relaxed));
  HashKey key;
  key.k0 = splitmix64(state);
  key.k1 = splitmix64(state);
  return key;
}

}  // namespace veltrix
