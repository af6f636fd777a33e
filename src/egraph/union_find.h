// UnionFindTable: the parent array behind e-class identity.
//
// Ids are created densely from 0 and never freed; entry k is the parent of k and k is a root when
// it is its own parent. find() only reads, so it can run on a shared e-graph (matching);
// find_mut() halves the path as it walks, which keeps later finds short.
//
// Most ids asked about are roots. One bit per id says whether an id has ever been given a parent,
// so that answering for a root reads a bitmap 32 times smaller than the parent array, which
// stays in cache where the parent array of a large e-graph does not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "egraph/symbol_lang.h"
#include "support/internal_failure.h"
#include "support/pod_array.h"

namespace veltrix::egraph {

// Reserved as "no id" by the e-graph's linked lists, so it is never handed out.
inline constexpr ClassId kNoClass = std::numeric_limits<ClassId>::max();

class UnionFindTable {
 public:
  // Creates a new id that is its own root.
  ClassId make_set() {
    if (parents_.size() >= kNoClass) internal_failure("e-graph ids exhausted: 32-bit ids are all in use");
    const auto id = static_cast<ClassId>(parents_.size());
    parents_.push_back(id);
    if ((id & 63) == 0) merged_.push_back(0);
    return id;
  }

  std::size_t size() const { return parents_.size(); }
  bool is_root(ClassId id) const { return !was_merged(id); }

  ClassId find(ClassId id) const {
    check(id);
    if (!was_merged(id)) return id;
    while (parents_[id] != id) id = parents_[id];
    return id;
  }

  // Path halving: every visited id is pointed at its grandparent.
  ClassId find_mut(ClassId id) {
    check(id);
    if (!was_merged(id)) return id;
    while (parents_[id] != id) {
      const ClassId grandparent = parents_[parents_[id]];
      parents_[id] = grandparent;
      id = grandparent;
    }
    return id;
  }

  // Makes `root` the parent of the root `id`.
  void set_parent(ClassId id, ClassId root) {
    parents_[id] = root;
    merged_[id >> 6] |= std::uint64_t{1} << (id & 63);
  }

  void reserve(std::size_t count) {
    parents_.reserve(count);
    merged_.reserve((count + 63) / 64);
  }

 private:
  void check(ClassId id) const {
    if (id >= parents_.size()) index_out_of_bounds(parents_.size(), id);
  }

  bool was_merged(ClassId id) const { return (merged_[id >> 6] >> (id & 63)) & 1; }

  PodArray<ClassId> parents_;
  PodArray<std::uint64_t> merged_;  // bit per id: no longer a root
};

}  // namespace veltrix::egraph
