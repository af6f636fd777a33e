// Raw memory blocks for the project's large arrays and tables.
//
// Graphs reach millions of nodes, so their arrays reach hundreds of megabytes. Blocks from one
// megabyte up are mapped pages: growing one remaps it (no copy, nothing left behind for the
// allocator to keep), freeing one returns its pages to the system at once, and pages that were
// never written are never resident. Smaller blocks come from the ordinary allocator. Every
// block is aligned to a cache line. Allocation failure throws std::bad_alloc (memory
// exhaustion ends the process at the module boundary).
#pragma once

#include <cstddef>

namespace veltrix {

inline constexpr std::size_t kBlockAlignment = 64;

void* allocate_block(std::size_t bytes);
// For a block about to be written in full (a copy): its pages are mapped in one go up front,
// which costs far less than taking one page fault after another.
void* allocate_filled_block(std::size_t bytes);
// Grows or shrinks a block, keeping the first min(old, new) bytes.
void* resize_block(void* block, std::size_t old_bytes, std::size_t new_bytes);
void free_block(void* block, std::size_t bytes);

}  // namespace veltrix
