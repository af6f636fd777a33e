#include "support/memory_blocks.h"

#include <algorithm>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace veltrix {
namespace {

#if defined(__linux__)
constexpr std::size_t kMappedThreshold = std::size_t{1} << 20;
constexpr std::size_t kPage = 4096;

bool mapped(std::size_t bytes) { return bytes >= kMappedThreshold; }
std::size_t page_round(std::size_t bytes) { return (bytes + kPage - 1) & ~(kPage - 1); }

constexpr std::size_t kHugePageThreshold = std::size_t{8} << 20;

// Blocks take the system's ordinary pages, except hash tables' slots (allocate_random_access_block):
// where the kernel makes huge pages on request by compacting memory first (a common setting), the
// first touch of a fresh region stalls on compaction at a fraction of a GB/s, while small pages
// are zeroed at several. Arrays walked in order lose little to small pages; a hash table probed at
// random loses an address-translation miss on nearly every probe, so large ones still ask. A
// reduction of ten million nodes in a fresh process ran about a sixth faster this way than with
// every large block on huge pages, and of a million nodes no slower. Below the threshold the most
// a huge page can leave resident but unused (its tail) would weigh too much against the block.
#else
bool mapped(std::size_t) { return false; }
#endif

void* allocate_small(std::size_t bytes) {
  return ::operator new(std::max<std::size_t>(bytes, 1), std::align_val_t(kBlockAlignment));
}
void free_small(void* block) { ::operator delete(block, std::align_val_t(kBlockAlignment)); }

void* allocate(std::size_t bytes, [[maybe_unused]] bool populate) {
#if defined(__linux__)
  if (mapped(bytes)) {
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS | (populate ? MAP_POPULATE : 0);
    void* block = mmap(nullptr, page_round(bytes), PROT_READ | PROT_WRITE, flags, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    return block;
  }
#endif
  return allocate_small(bytes);
}

}  // namespace

void* allocate_block(std::size_t bytes) { return allocate(bytes, false); }

void* allocate_random_access_block(std::size_t bytes) {
  void* block = allocate(bytes, false);
#if defined(__linux__)
  if (bytes >= kHugePageThreshold) (void)madvise(block, page_round(bytes), MADV_HUGEPAGE);  // only a hint
#endif
  return block;
}

void* allocate_filled_block(std::size_t bytes) { return allocate(bytes, true); }

void* resize_block(void* block, std::size_t old_bytes, std::size_t new_bytes) {
  if (!block) return allocate_block(new_bytes);
#if defined(__linux__)
  if (mapped(old_bytes) && mapped(new_bytes)) {
    void* moved = mremap(block, page_round(old_bytes), page_round(new_bytes), MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    return moved;
  }
#endif
  void* fresh = allocate_block(new_bytes);
  std::memcpy(fresh, block, std::min(old_bytes, new_bytes));
  free_block(block, old_bytes);
  return fresh;
}

void free_block(void* block, std::size_t bytes) {
  if (!block) return;
#if defined(__linux__)
  if (mapped(bytes)) {
    munmap(block, page_round(bytes));
    return;
  }
#endif
  free_small(block);
}

}  // namespace veltrix
