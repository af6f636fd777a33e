#include "egraph/class_list_pool.h"

#include <algorithm>

#include "support/internal_failure.h"

namespace veltrix::egraph {

std::uint32_t ClassListPool::allocate(std::uint32_t capacity) {
  std::vector<std::uint32_t>& free = free_[std::countr_zero(capacity)];
  if (!free.empty()) {
    const std::uint32_t start = free.back();
    free.pop_back();
    return start;
  }
  const std::size_t start = pool_.size();
  if (start + capacity > kNoClass) internal_failure("e-graph class lists exhausted");
  pool_.extend(capacity);
  return static_cast<std::uint32_t>(start);
}

ClassList ClassListPool::concatenate(ClassList winner, ClassList loser) {
  const bool loser_first = loser.size > winner.size;
  const ClassList first = loser_first ? loser : winner;
  const ClassList second = loser_first ? winner : loser;
  const std::uint32_t total = first.size + second.size;
  ClassList result{0, total};
  if (first.size >= 2 && std::bit_ceil(first.size) >= total) {
    result.start = first.start;  // room left in the longer list's block
  } else {
    result.start = allocate(std::bit_ceil(total));
    if (first.size == 1) {
      pool_[result.start] = first.start;
    } else {
      std::copy_n(pool_.begin() + first.start, first.size, pool_.begin() + result.start);
      release(first.start, std::bit_ceil(first.size));
    }
  }
  ClassId* tail = pool_.data() + result.start + first.size;
  if (second.size == 1) {
    *tail = second.start;
  } else if (second.size > 1) {
    std::copy_n(pool_.begin() + second.start, second.size, tail);
    release(second.start, std::bit_ceil(second.size));
  }
  return result;
}

void ClassListPool::truncate(ClassList& list, std::uint32_t kept) {
  if (kept == list.size) return;
  if (kept == 1) {
    const ClassId only = pool_[list.start];
    release(list.start, std::bit_ceil(list.size));
    list = ClassList::single(only);
  } else {
    list.size = kept;
  }
}

}  // namespace veltrix::egraph
