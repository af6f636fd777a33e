// ClassListPool: where the e-graph keeps each class's node ids.
//
// A one-node list sits in its ClassList record itself (the common case: most classes never
// merge); a longer list occupies a block of the pool whose capacity is a power of two at least
// its size. Freed blocks are kept per capacity and handed out again, so merges that grow lists
// reuse room instead of extending the pool. Lists only ever grow by concatenation (a merge) and
// shrink by trimming duplicates (normalisation).
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "egraph/symbol_lang.h"
#include "egraph/union_find.h"
#include "support/pod_array.h"

namespace veltrix::egraph {

// A class's node ids: one id inline (`start` is the id), or `size` ids at the pool's `start`.
struct ClassList {
  ClassId start = 0;
  std::uint32_t size = 0;

  static ClassList single(ClassId id) { return ClassList{id, 1}; }
};

class ClassListPool {
 public:
  std::span<ClassId> ids(ClassList& list) {
    return list.size == 1 ? std::span<ClassId>(&list.start, 1)
                          : std::span<ClassId>(pool_.data() + list.start, list.size);
  }
  std::span<const ClassId> ids(const ClassList& list) const {
    return list.size == 1 ? std::span<const ClassId>(&list.start, 1)
                          : std::span<const ClassId>(pool_.data() + list.start, list.size);
  }

  // The list of `winner` followed by that of `loser` (the longer one first, the winner's on
  // equal lengths), reusing the longer list's block when it has room. Both inputs are used up.
  ClassList concatenate(ClassList winner, ClassList loser);

  // Keeps the first `kept` ids of a list (at least one); a list down to one id leaves the pool.
  void truncate(ClassList& list, std::uint32_t kept);

  // Starts loading a list's block, when it has one inside the pool.
  void prefetch(const ClassList& list) const {
    if (list.size > 1 && list.start < pool_.size()) __builtin_prefetch(pool_.data() + list.start);
  }
  // Whether a list's ids are all inside the pool (a guard for look-ahead over stale records).
  bool in_bounds(const ClassList& list) const { return list.size < 2 || list.start + list.size <= pool_.size(); }

 private:
  std::uint32_t allocate(std::uint32_t capacity);
  void release(std::uint32_t start, std::uint32_t capacity) { free_[std::countr_zero(capacity)].push_back(start); }

  PodArray<ClassId> pool_;               // blocks of lists longer than one
  std::vector<std::uint32_t> free_[32];  // freed blocks, by log2 of their capacity
};

}  // namespace veltrix::egraph
