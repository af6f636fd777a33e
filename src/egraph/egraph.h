// EGraph: hash-consed e-nodes partitioned into equivalence classes, with deferred congruence
// repair.
//
// add() and merge() only record work (the `pending` stack); rebuild() repairs congruence in one
// batch and normalises the classes: afterwards every class lists its nodes sorted, without
// duplicates and with root children, and the node-kind index lists, for each (operator, arity),
// the classes holding such a node in ascending id order. Matching requires that clean state.
//
// Layout: every id owns one slot in flat per-id vectors (union-find parent, the node added under
// it, the node list and parent list it heads while it is a root). A class lists its nodes as node
// ids; parents are singly linked lists in one shared pool, newest first, so adding a parent
// touches only the list head and union concatenates in constant time. The memo maps each node,
// as canonical when it was inserted, to an id; stale keys stay, so size() counts them.
//
// Work that provably changes nothing is skipped: only classes touched since the last rebuild
// (new, merged, or holding a node whose child class moved) are re-normalised, and a queued node
// whose children did not move and whose memo entry still names it is not probed again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "egraph/flat_term.h"
#include "egraph/symbol_lang.h"
#include "egraph/union_find.h"
#include "support/hash_table.h"
#include "support/small_vector.h"

namespace veltrix::egraph {

// A read-only view of a class's nodes; valid until the e-graph is next changed.
class ClassNodes {
 public:
  class iterator {
   public:
    using value_type = SymbolLang;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const SymbolLang* nodes, const ClassId* at) : nodes_(nodes), at_(at) {}
    const SymbolLang& operator*() const { return nodes_[*at_]; }
    const SymbolLang* operator->() const { return &nodes_[*at_]; }
    iterator& operator++() {
      ++at_;
      return *this;
    }
    iterator operator++(int) {
      iterator before = *this;
      ++at_;
      return before;
    }
    friend bool operator==(const iterator& a, const iterator& b) { return a.at_ == b.at_; }

   private:
    const SymbolLang* nodes_ = nullptr;
    const ClassId* at_ = nullptr;
  };

  ClassNodes(const SymbolLang* nodes, std::span<const ClassId> ids) : nodes_(nodes), ids_(ids) {}
  std::size_t size() const { return ids_.size(); }
  bool empty() const { return ids_.empty(); }
  const SymbolLang& operator[](std::size_t i) const { return nodes_[ids_[i]]; }
  iterator begin() const { return {nodes_, ids_.data()}; }
  iterator end() const { return {nodes_, ids_.data() + ids_.size()}; }

 private:
  const SymbolLang* nodes_;
  std::span<const ClassId> ids_;
};

class EGraph {
 public:
  EGraph() = default;

  // Adds a node (children are canonicalised first) and returns its class's root.
  ClassId add(SymbolLang node) { return find(add_uncanonical(std::move(node))); }

  // Adds every entry of a term (children index earlier entries) and returns the root of the class
  // of each entry.
  std::vector<ClassId> add_term(const FlatTerm<SymbolLang>& term);

  // Adds a node and returns the id stored for it: a new id, or the id the memo already holds for
  // the canonical node (which need not be a root).
  ClassId add_uncanonical(SymbolLang node);

  // The root of the class holding the node with canonicalised children, if the memo has it.
  std::optional<ClassId> lookup(Symbol op, std::span<const ClassId> children) const;
  std::optional<ClassId> lookup(const SymbolLang& node) const { return lookup(node.op(), node.children()); }

  // Merges the classes of `a` and `b`; true when they were different. The root of the class with
  // more parents survives (that of `a` on a tie).
  bool merge(ClassId a, ClassId b);

  // Repairs congruence and normalises the classes; returns the number of merges it made.
  std::size_t rebuild();

  ClassId find(ClassId id) const { return union_find_.find(id); }
  ClassId find_mut(ClassId id) { return union_find_.find_mut(id); }

  // Memo entries (stale keys included): the e-graph's size as limits and reports see it.
  std::size_t size() const { return memo_.size(); }
  std::size_t class_count() const { return class_count_; }
  // Ids ever created, roots or not.
  std::size_t id_count() const { return union_find_.size(); }
  bool is_clean() const { return clean_; }

  // The nodes and the number of recorded parents of find(id)'s class.
  ClassNodes class_nodes(ClassId id) const;
  std::size_t parent_count(ClassId id) const { return parent_lists_[find(id)].count; }

  // find(eclass) when a node of that class is exactly (op, children) and the memo maps it to its
  // own id, which is what add() of that node would return without changing anything. Only short
  // class lists are scanned; nullopt means "not known", not "absent".
  std::optional<ClassId> held_by_class(ClassId eclass, Symbol op, std::span<const ClassId> children) const;

  // Classes holding a node with this operator and arity, ascending; read only when clean.
  std::span<const ClassId> classes_with(Symbol op, std::size_t arity) const;

  // Visits every class root in ascending id order.
  template <class Visit>
  void for_each_class(Visit&& visit) const {
    for (std::size_t id = 0; id < union_find_.size(); ++id) {
      if (union_find_.is_root(static_cast<ClassId>(id))) visit(static_cast<ClassId>(id));
    }
  }

 private:
  struct ParentList {
    std::uint32_t head = kNoClass;  // newest link
    std::uint32_t tail = kNoClass;  // oldest link
    std::uint32_t count = 0;
  };

  struct ParentLink {
    ClassId id;
    std::uint32_t next;  // the next older link
  };

  struct MemoEntry {
    SymbolLang key;
    ClassId id;
  };

  struct KindSet {
    std::vector<ClassId> classes;  // ascending, roots only (as of the last rebuild)
    std::vector<ClassId> added;    // registered by this rebuild
  };

  // Per-id flags.
  static constexpr std::uint8_t kQueued = 1;       // listed for normalisation in this rebuild
  static constexpr std::uint8_t kMemoCurrent = 2;  // the memo maps this id's node, as stored, to it

  static std::uint64_t memo_hash(const MemoEntry& entry) { return entry.key.hash(); }

  void link_parent(ClassId child_root, ClassId parent);
  std::size_t repair_congruence();
  std::size_t normalise_touched_classes();
  std::size_t normalise(ClassId root);
  void register_kind(const SymbolLang& node, ClassId root);
  void merge_kind_sets();

  UnionFindTable union_find_;
  std::vector<SymbolLang> nodes_;                      // per id: the node added under it
  std::vector<SmallVector<ClassId, 2>> class_nodes_;   // per root: ids whose nodes make up its class
  std::vector<ParentList> parent_lists_;               // per root
  std::vector<std::uint8_t> flags_;                    // per id
  std::vector<ParentLink> parent_links_;
  std::vector<ClassId> pending_;  // ids whose nodes await congruence repair (a stack)
  RawHashTable<MemoEntry> memo_;
  std::size_t class_count_ = 0;
  bool clean_ = false;

  std::vector<ClassId> touched_;  // ids whose class must be re-normalised
  std::vector<ClassId> queue_;    // scratch: the distinct roots of touched_, ascending
  HashMap<std::uint64_t, std::uint32_t> kind_slots_;
  std::vector<KindSet> kind_sets_;
  std::vector<std::uint32_t> dirty_kinds_;
  std::vector<ClassId> merge_scratch_;
};

}  // namespace veltrix::egraph
