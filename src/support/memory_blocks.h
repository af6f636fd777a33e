// Raw memory blocks for the project's large arrays and tables.
//
// Graphs reach millions of nodes, so their arrays reach hundreds of megabytes. Blocks from one
// megabyte up are mapped pages: growing one remaps it (no copy, nothing left behind for the
// allocator to keep), freeing one returns its pages to the system at once, and pages that were
// never written are never resident. A freed block is not kept for a later one: a kept block stays
// resident in full, where a fresh one becomes resident only as it is written (growing arrays leave
// room they never write), so keeping them raised a reduction's peak by a sixth and saved it no
// time. Smaller blocks come from the ordinary allocator. Every block is aligned to a cache line.
// Allocation failure throws std::bad_alloc (memory exhaustion ends the process at the module
// boundary).
#pragma once

#include <cstddef>
#include <vector>

namespace veltrix {

inline constexpr std::size_t kBlockAlignment = 64;

void* allocate_block(std::size_t bytes);
// For a block read and written at random positions (a hash table's slots): a large one asks for
// transparent huge pages, since nearly every access to it would otherwise also miss the
// address-translation cache.
void* allocate_random_access_block(std::size_t bytes);
// For a block about to be written in full (a copy): its pages are mapped in one go up front,
// which costs far less than taking one page fault after another.
void* allocate_filled_block(std::size_t bytes);
// Grows or shrinks a block, keeping the first min(old, new) bytes.
void* resize_block(void* block, std::size_t old_bytes, std::size_t new_bytes);
void free_block(void* block, std::size_t bytes);

// An allocator for standard containers whose large arrays should be blocks (mapped) rather than
// the ordinary allocator's.
template <class T>
struct BlockAllocator {
  using value_type = T;
  BlockAllocator() = default;
  template <class U>
  BlockAllocator(const BlockAllocator<U>&) {}  // NOLINT: converting, as allocators are
  T* allocate(std::size_t n) { return static_cast<T*>(allocate_block(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) { free_block(p, n * sizeof(T)); }
  friend bool operator==(const BlockAllocator&, const BlockAllocator&) { return true; }
};

template <class T>
using BlockVector = std::vector<T, BlockAllocator<T>>;

}  // namespace veltrix
