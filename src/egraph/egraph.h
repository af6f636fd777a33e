// EGraph: hash-consed e-nodes partitioned into equivalence classes, with deferred congruence
// repair.
//
// add() and merge() only record work (the `pending` stack); rebuild() repairs congruence in one
// batch and normalises the classes: afterwards every class lists its nodes sorted, without
// duplicates and with root children, and the signature index lists, for each (operator, arity)
// it tracks, the classes holding such a node in ascending id order. Matching requires that clean
// state.
//
// Layout: every id owns one slot in flat per-id arrays (union-find parent, the node added under
// it, the node list and parent list it heads while it is a root, flags). A class lists its nodes
// as node ids: a one-node list sits in the class's own record, longer lists in one shared pool.
// Parents are singly linked lists in another pool, newest first, so adding a parent touches only
// the list head and union concatenates in constant time. The memo holds, per live key, only the
// id whose node is that key (8 bytes a slot); a key that goes stale when its node's children are
// re-canonicalised leaves the table and is only counted, so size() still counts it.
//
// Work that provably changes nothing is skipped: only classes touched since the last rebuild
// (merged, or holding a node whose child class moved) are re-normalised, and without
// re-canonicalising children, which repair already did; a new node's class needs no normalising,
// only its signature registered; a queued node whose children did not move and whose memo entry
// still names it is not probed again; a rebuild after adds alone (no merge since the last
// rebuild) has nothing to repair; and only the signatures that patterns ask for are indexed, with
// node counts that let a scheduler know a search's size without running it.
//
// Large e-graphs do not fit in the cache, and their accesses are mostly random (a node's children
// and memo position are anywhere). Bulk adds, searches, applies and repair therefore start
// loading what a step will touch a few steps ahead (prefetch_*), so that cache misses overlap.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "egraph/class_list_pool.h"
#include "egraph/flat_term.h"
#include "egraph/signature_index.h"
#include "egraph/symbol_lang.h"
#include "egraph/union_find.h"
#include "support/hash_table.h"
#include "support/memory_blocks.h"
#include "support/pod_array.h"
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

// Many terms at once, as flat arrays: entry i has operator ops[i] and the children
// children[child_ends[i] .. child_ends[i + 1]), each the index of an earlier entry.
struct TermArrays {
  std::span<const Symbol> ops;
  std::span<const std::uint64_t> child_ends;  // ops.size() + 1 entries, starting at 0
  std::span<const std::uint32_t> children;
};

class EGraph {
 public:
  EGraph() = default;

  // Adds a node (children are canonicalised first) and returns its class's root.
  ClassId add(SymbolLang node) { return find(add_uncanonical(std::move(node))); }
  // The same for a node given as operator and children; no node is built unless it is new.
  ClassId add(Symbol op, std::span<const ClassId> children);
  // Starts loading what add(op, children) with these (root) children will touch; only worth it
  // on an e-graph too large for the cache, and ignored on smaller ones.
  void prefetch_add(Symbol op, std::span<const ClassId> children) const;
  // The second step of that, issued once the memo chunk has arrived: when the node is already
  // in the e-graph, starts loading it and its class's records, which add() and the merge after it
  // read.
  void prefetch_existing(Symbol op, std::span<const ClassId> children) const;
  // Starts loading the records of a class that matching or merging it will read, and its root's
  // own node (usually one of the class's nodes). Ignored on small e-graphs.
  void prefetch_class(ClassId eclass) const;
  // The later steps of that, each issued once the previous one's loads have arrived: the class's
  // list block (a one-node list needs none), then the nodes and flags of the ids listed there.
  // A walk over many classes issues them at decreasing distances ahead.
  void prefetch_class_list(ClassId eclass) const;
  void prefetch_class_members(ClassId eclass) const;
  // For a walk over `classes` now at position i: the three steps above for the classes a
  // fixed distance ahead, each step nearer than the one whose loads it reads (the class's records,
  // then its list block, then the nodes listed there), so that a walk's misses overlap.
  void prefetch_ahead(std::span<const ClassId> classes, std::size_t i) const;
  // How far ahead walks load: far enough for a miss to arrive before its step, near enough
  // that the lines are still cached when it does. Adding many terms prefetches memo probes as
  // far ahead.
  static constexpr std::size_t kLookahead = 8;

  // Adds every entry of a term (children index earlier entries) and returns the root of the class
  // of each entry: the same as adding the entries one by one, only faster.
  std::vector<ClassId> add_term(const FlatTerm<SymbolLang>& term);
  std::vector<ClassId> add_terms(const TermArrays& terms);
  // The same for terms that another thread is still writing into the arrays (reserved in full,
  // so they never move): entry i is read only once `published` (read with acquire) exceeds i.
  // If `abandoned` is set while it waits, nothing more will come: it throws TermsAbandoned and
  // the e-graph is left half-loaded.
  struct TermsAbandoned {};
  std::vector<ClassId> add_published_terms(const TermArrays& terms, const std::atomic<std::size_t>& published,
                                           const std::atomic<bool>& abandoned);

  // Adds a node and returns the id stored for it: a new id, or the id the memo already holds for
  // the canonical node (which need not be a root).
  ClassId add_uncanonical(SymbolLang node);

  // Makes room for `ids` more ids with `children` child references in all, so that adding them
  // moves no array.
  void reserve(std::size_t ids, std::size_t children);

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
  // The classes alone, for a caller that needs only to know which class an id ended in: the
  // nodes, the hash-cons and the parent lists, most of the e-graph's memory, go with the e-graph.
  UnionFindTable take_classes() && { return std::move(union_find_); }

  // How many queued nodes repair has re-canonicalised (read every child of) since the e-graph was
  // made: at most one per merge that moved one of the node's children, however many links it has
  // to the merged classes.
  std::size_t repair_canonicalisations() const { return repair_canonicalisations_; }

  // Memo entries (stale keys included): the e-graph's size as limits and reports see it.
  std::size_t size() const { return memo_.size() + stale_keys_; }
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

  // Classes holding a node of this signature, ascending; read only when clean. A signature asked
  // for the first time is indexed then (one pass over the ids) and kept up to date from then on.
  std::span<const ClassId> classes_with(Symbol op, std::size_t arity) const;
  // Indexes these signatures now, in one pass: cheaper than being asked for them one by one,
  // and free before any node is added.
  void track_signatures(std::span<const Signature> signatures);
  // The number of nodes of a tracked signature over all class lists (duplicates that the next
  // rebuild trims included); nullopt for one not tracked. When clean, it is exactly the number
  // of (class, node) pairs a one-node pattern of that signature matches.
  std::optional<std::size_t> tracked_node_count(Symbol op, std::size_t arity) const;

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

  // A live memo key: the id whose stored node is the key, and the high half of the key's hash
  // (the table position derives from it, so growing never re-reads nodes).
  struct MemoSlot {
    ClassId id;
    std::uint32_t hash;
  };

  // Per-id flags.
  static constexpr std::uint8_t kQueued = 1;       // listed for normalisation in this rebuild
  static constexpr std::uint8_t kMemoCurrent = 2;  // a live memo key names this id (its node, as stored)
  static constexpr std::uint8_t kTrimmed = 4;      // dropped from its class list as a duplicate
  // Pushed on the repair stack since its node was last canonicalised. A node is pushed once for
  // every link to a child class that loses a merge, so a wide node can sit on the stack many
  // times; only the newest push can find a child that moved, and the others cost nothing.
  static constexpr std::uint8_t kRepairDue = 8;

  static std::uint32_t memo_hash(Symbol op, std::span<const ClassId> children) {
    return static_cast<std::uint32_t>(hash_node(op, children) >> 32);
  }
  static std::uint64_t memo_position(std::uint32_t hash) { return hash * 0x9E3779B97F4A7C15ULL; }
  MemoSlot* find_memo(std::uint32_t hash, Symbol op, std::span<const ClassId> children) const;
  void erase_memo_key(ClassId id);

  template <class OpOf, class ChildrenOf, class Arrived>
  std::vector<ClassId> add_many(std::size_t count, OpOf&& op_of, ChildrenOf&& children_of, Arrived&& arrived);
  ClassId add_new(SymbolLang node, std::uint32_t hash);
  void link_parent(ClassId child_root, ClassId parent);

  std::size_t repair_congruence();
  void prefetch_repair(SmallVector<ClassId, 4>& scratch) const;
  bool read_child_roots(ClassId id, SmallVector<ClassId, 4>& roots);
  std::size_t reinsert_key(ClassId id);
  std::size_t normalise_touched_classes();
  std::size_t normalise(ClassId root);
  std::size_t normalise_in_parallel();
  template <class Uncount>
  std::uint32_t sort_class(std::span<ClassId> ids, Uncount&& uncount);

  // Registers every class holding a node of a newly tracked signature.
  void index_signatures(std::span<const std::uint32_t> slots) const;
  void start_tracking(std::span<const Signature> signatures) const;

  // The per-id arrays and the pools are page-backed (pod_array.h): when rules add nodes past the
  // reserved room they grow in place, without copying a large array and faulting in new pages
  // for all of it.
  UnionFindTable union_find_;
  BlockVector<SymbolLang> nodes_;      // per id: the node added under it (canonicalised in place)
  PodArray<ClassList> lists_;          // per root
  PodArray<ParentList> parent_lists_;  // per root
  PodArray<std::uint8_t> flags_;       // per id
  ClassListPool class_lists_;          // the ids that lists_ records do not hold inline
  PodArray<ParentLink> parent_links_;
  BlockVector<ClassId> pending_;  // ids whose nodes await congruence repair (a stack)
  RawHashTable<MemoSlot> memo_;
  std::size_t stale_keys_ = 0;  // keys that left the memo when their node changed
  std::size_t class_count_ = 0;
  std::size_t merges_since_rebuild_ = 0;
  std::size_t repair_canonicalisations_ = 0;
  bool clean_ = false;

  std::vector<ClassId> touched_;  // ids whose class must be re-normalised
  std::vector<ClassId> queue_;    // scratch: the distinct roots of touched_, ascending

  // Reading the index (classes_with) may start tracking a signature, so it is mutable; an
  // e-graph is used by one thread at a time.
  mutable SignatureIndex signatures_;
};

// Inline: search and apply call it once per class, and as a call of its own it cost them a
// fifth of their time on large e-graphs (measured at 10^6 and 10^7 nodes).
inline void EGraph::prefetch_ahead(std::span<const ClassId> classes, std::size_t i) const {
  if (i + 3 * kLookahead < classes.size()) prefetch_class(classes[i + 3 * kLookahead]);
  if (i + 2 * kLookahead < classes.size()) prefetch_class_list(classes[i + 2 * kLookahead]);
  if (i + kLookahead < classes.size()) prefetch_class_members(classes[i + kLookahead]);
}

// Inline: apply asks it for every binding, and an out-of-line optional came back through memory.
inline std::optional<ClassId> EGraph::held_by_class(ClassId eclass, Symbol op,
                                                    std::span<const ClassId> children) const {
  // Longer lists would cost more to scan than the memo probe this saves.
  constexpr std::size_t kScanLimit = 8;
  const ClassId root = find(eclass);
  const std::span<const ClassId> ids = class_lists_.ids(lists_[root]);
  if (ids.size() > kScanLimit) return std::nullopt;
  for (ClassId k : ids) {
    if ((flags_[k] & kMemoCurrent) && nodes_[k].equals(op, children)) return root;
  }
  return std::nullopt;
}

}  // namespace veltrix::egraph
