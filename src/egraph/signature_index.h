// SignatureIndex: for each tracked signature (an operator and an arity, what a pattern's root
// asks of a class), the classes holding a node with it, in ascending id order, and how many
// such nodes the class lists hold.
//
// The e-graph registers classes as it adds nodes and normalises classes; registrations since
// the last rebuild are merged into the sorted class lists when the rebuild ends, dropping
// classes that were merged away. Lookups are on the hot path of every add, so a small filter
// answers "not tracked" for most operators without a probe, and the last answer per filter bit
// is cached.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "egraph/symbol.h"
#include "egraph/symbol_lang.h"
#include "support/hash_table.h"

namespace veltrix::egraph {

struct Signature {
  Symbol op;
  std::uint32_t arity = 0;
  friend bool operator==(const Signature&, const Signature&) = default;
};

class SignatureIndex {
 public:
  static constexpr std::uint32_t kUntracked = UINT32_MAX;

  bool empty() const { return sets_.empty(); }

  // The slot of a tracked signature, or kUntracked.
  std::uint32_t slot_of(Symbol op, std::size_t arity) {
    const unsigned bit = filter_bit(op);
    if (((filter_[bit >> 6] >> (bit & 63)) & 1) == 0) return kUntracked;
    const std::uint64_t key = key_of(op, arity);
    CacheEntry& cached = cache_[bit];
    if (cached.key != key) {
      const std::uint32_t* slot = slots_.find(key);
      cached = CacheEntry{key, slot ? *slot : kUntracked};
    }
    return cached.slot;
  }

  // The same without the cache, for threads that share the index and only read it.
  std::uint32_t find_slot(Symbol op, std::size_t arity) const {
    const unsigned bit = filter_bit(op);
    if (((filter_[bit >> 6] >> (bit & 63)) & 1) == 0) return kUntracked;
    const std::uint32_t* slot = slots_.find(key_of(op, arity));
    return slot ? *slot : kUntracked;
  }
  std::size_t slot_count() const { return sets_.size(); }

  // Starts tracking these signatures; returns the slots of those not tracked before. The
  // caller then reports every node of those signatures already in the e-graph (index_node) and
  // ends with finish_indexing per slot.
  std::vector<std::uint32_t> track(std::span<const Signature> signatures);
  void index_node(std::uint32_t slot, ClassId root) {
    ++sets_[slot].nodes;
    sets_[slot].added.push_back(root);
  }
  // Sorts and deduplicates a new slot's classes; a clean e-graph's become its class list at
  // once, a dirty one's wait for the next rebuild.
  void finish_indexing(std::uint32_t slot, bool clean);

  // Records that `root` holds a node of the slot's signature (merged in at the next rebuild).
  void register_class(std::uint32_t slot, ClassId root) {
    Set& set = sets_[slot];
    if (set.added.empty()) dirty_.push_back(slot);
    set.added.push_back(root);
  }
  void count_node(std::uint32_t slot) { ++sets_[slot].nodes; }
  void uncount_node(std::uint32_t slot) { --sets_[slot].nodes; }
  void uncount_nodes(std::uint32_t slot, std::size_t count) { sets_[slot].nodes -= count; }

  // Merges the registrations since the last call into the sorted class lists, keeping only
  // classes for which `is_root` holds.
  template <class IsRoot>
  void merge_registrations(IsRoot&& is_root);

  std::span<const ClassId> classes(std::uint32_t slot) const { return sets_[slot].classes; }
  std::size_t node_count(std::uint32_t slot) const { return sets_[slot].nodes; }

 private:
  struct Set {
    Signature signature;
    std::vector<ClassId> classes;  // ascending, roots only (as of the last rebuild)
    std::vector<ClassId> added;    // registered since the last rebuild
    std::size_t nodes = 0;         // nodes of this signature over all class lists
  };
  struct CacheEntry {
    std::uint64_t key = ~std::uint64_t{0};  // no signature has this key: arities are 32-bit
    std::uint32_t slot = kUntracked;
  };

  static std::uint64_t key_of(Symbol op, std::size_t arity) { return (std::uint64_t{op.value} << 32) | arity; }
  // Which bit of the filter an operator sets.
  static unsigned filter_bit(Symbol op) { return (op.value * 0x9E3779B1u) >> 24; }

  void sort_registrations(Set& set);

  std::vector<Set> sets_;
  HashMap<std::uint64_t, std::uint32_t> slots_;
  std::uint64_t filter_[4] = {0, 0, 0, 0};  // bit per operator hash: may be tracked
  std::array<CacheEntry, 256> cache_{};     // by filter bit: the last signature asked
  std::vector<std::uint32_t> dirty_;        // slots with registrations since the last merge
  std::vector<ClassId> scratch_;
};

template <class IsRoot>
void SignatureIndex::merge_registrations(IsRoot&& is_root) {
  for (std::uint32_t slot : dirty_) {
    Set& set = sets_[slot];
    sort_registrations(set);
    scratch_.clear();
    scratch_.reserve(set.classes.size() + set.added.size());
    // Ascending merge of the old list and the new registrations; classes merged away since the
    // last rebuild are dropped here (their survivor was touched, so it is among the additions).
    const auto keep = [&](ClassId id) {
      if (is_root(id) && (scratch_.empty() || scratch_.back() != id)) scratch_.push_back(id);
    };
    std::size_t i = 0, j = 0;
    while (i < set.classes.size() && j < set.added.size()) {
      keep(set.classes[i] <= set.added[j] ? set.classes[i++] : set.added[j++]);
    }
    while (i < set.classes.size()) keep(set.classes[i++]);
    while (j < set.added.size()) keep(set.added[j++]);
    std::swap(set.classes, scratch_);
    set.added.clear();
  }
  dirty_.clear();
}

}  // namespace veltrix::egraph
