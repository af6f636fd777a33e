// UnionFindTable: the parent array behind e-class identity.
//
// Ids are created densely from 0 and never freed; entry k is the parent of k and k is a root when
// it is its own parent. find() only reads, so it can run on a shared e-graph (matching);
// find_mut() halves the path as it walks, which keeps later finds short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "egraph/symbol_lang.h"
#include "support/internal_failure.h"

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
    return id;
  }

  std::size_t size() const { return parents_.size(); }
  bool is_root(ClassId id) const { return parents_[id] == id; }

  ClassId find(ClassId id) const {
    check(id);
    if (non_roots_ == 0) return id;  // nothing merged yet: every id is a root, no need to read
    while (parents_[id] != id) id = parents_[id];
    return id;
  }

  // Path halving: every visited id is pointed at its grandparent.
  ClassId find_mut(ClassId id) {
    check(id);
    if (non_roots_ == 0) return id;
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
    ++non_roots_;
  }

  void reserve(std::size_t count) { parents_.reserve(count); }

 private:
  void check(ClassId id) const {
    if (id >= parents_.size()) index_out_of_bounds(parents_.size(), id);
  }

  std::vector<ClassId> parents_;
  std::size_t non_roots_ = 0;  // ids whose parent is not themselves
};

}  // namespace veltrix::egraph
