#include "egraph/egraph.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <string>

#include "egraph/log.h"
#include "support/internal_failure.h"

namespace veltrix::egraph {
namespace {

// Small class lists are the common case; insertion sort beats the general sort on them.
constexpr std::size_t kInsertionSortLimit = 20;

// Adding many terms looks this many entries ahead and prefetches their memo probes, so that the
// misses of a large memo overlap instead of following one another.
constexpr std::size_t kLookahead = 8;
// Below this size the memo stays in cache and looking ahead would only cost time.
constexpr std::size_t kPrefetchMemoBytes = std::size_t{1} << 20;
// Likewise for the per-id arrays.
constexpr std::size_t kPrefetchIds = std::size_t{1} << 16;
// Loading a class's list block and members in further steps pays only once the per-id arrays
// (some 40 bytes an id) outgrow the last-level cache as well; below that it measured slower.
constexpr std::size_t kPrefetchMembersIds = std::size_t{1} << 19;

std::uint64_t kind_key(Symbol op, std::size_t arity) { return (std::uint64_t{op.value} << 32) | arity; }

// Which bit of the kind filter an operator sets: a cheap "certainly not tracked" for most adds.
unsigned filter_bit(Symbol op) { return (op.value * 0x9E3779B1u) >> 24; }

}  // namespace

void EGraph::reserve(std::size_t ids, std::size_t children) {
  const std::size_t total = union_find_.size() + ids;
  union_find_.reserve(total);
  // Rules add nodes after the reserved ones; moving every node when they do would cost a copy of
  // the array and new pages for all of it. Room that is never written costs address space only.
  nodes_.reserve(2 * total);
  lists_.reserve(total);
  parent_lists_.reserve(total);
  flags_.reserve(total);
  pending_.reserve(pending_.size() + ids);
  parent_links_.reserve(parent_links_.size() + children);
  // The memo gets that room too: growing it later re-inserts every key at a random place, which
  // in a large e-graph costs a cache miss per key, while an empty table's extra room is only
  // spread over more pages.
  memo_.reserve(memo_.size() + 2 * ids, [](const MemoSlot& slot) { return memo_position(slot.hash); });
}

EGraph::MemoSlot* EGraph::find_memo(std::uint32_t hash, Symbol op, std::span<const ClassId> children) const {
  return memo_.find(memo_position(hash), [&](const MemoSlot& slot) {
    return slot.hash == hash && nodes_[slot.id].equals(op, children);
  });
}

// Removes the live key of `id` (its stored node) before that node changes; the key stays
// counted in size(), as a stale entry.
void EGraph::erase_memo_key(ClassId id) {
  const SymbolLang& node = nodes_[id];
  const std::uint32_t hash = memo_hash(node.op(), node.children());
  MemoSlot* slot = memo_.find(memo_position(hash), [&](const MemoSlot& s) { return s.id == id; });
  if (!slot) internal_failure("the memo holds the key of every node flagged current");
  memo_.erase(slot);
  ++stale_keys_;
}

ClassId EGraph::add_uncanonical(SymbolLang node) {
  for (ClassId& child : node.children()) child = find(child);
  const std::uint32_t hash = memo_hash(node.op(), node.children());
  if (const MemoSlot* found = find_memo(hash, node.op(), node.children())) return found->id;
  return add_new(std::move(node), hash);
}

ClassId EGraph::add(Symbol op, std::span<const ClassId> children) {
  SmallVector<ClassId, 4> canonical;
  for (ClassId child : children) canonical.push_back(find(child));
  const std::uint32_t hash = memo_hash(op, canonical.span());
  if (const MemoSlot* found = find_memo(hash, op, canonical.span())) return find(found->id);
  return add_new(SymbolLang(op, canonical.span()), hash);  // a new id is its own root
}

void EGraph::prefetch_add(Symbol op, std::span<const ClassId> children) const {
  if (memo_.capacity() * sizeof(MemoSlot) < kPrefetchMemoBytes) return;
  memo_.prefetch(memo_position(memo_hash(op, children)));
  for (ClassId child : children) {
    if (child < parent_lists_.size()) __builtin_prefetch(parent_lists_.data() + child, 1);
  }
}

void EGraph::prefetch_existing(Symbol op, std::span<const ClassId> children) const {
  if (memo_.capacity() * sizeof(MemoSlot) < kPrefetchMemoBytes) return;
  const std::uint32_t hash = memo_hash(op, children);
  // The stored half of the hash is enough to pick the likely node; a wrong pick wastes a prefetch.
  const MemoSlot* slot = memo_.find(memo_position(hash), [&](const MemoSlot& s) { return s.hash == hash; });
  if (!slot) return;
  __builtin_prefetch(nodes_.data() + slot->id);
  prefetch_class(find(slot->id));
}

void EGraph::prefetch_class(ClassId eclass) const {
  if (eclass >= lists_.size() || lists_.size() < kPrefetchIds) return;
  __builtin_prefetch(lists_.data() + eclass);
  __builtin_prefetch(parent_lists_.data() + eclass);
  __builtin_prefetch(nodes_.data() + eclass);
  __builtin_prefetch(flags_.data() + eclass);
}

void EGraph::prefetch_class_list(ClassId eclass) const {
  if (eclass >= lists_.size() || lists_.size() < kPrefetchMembersIds) return;
  const ClassList& list = lists_[find(eclass)];
  if (list.size > 1 && list.start < pool_.size()) __builtin_prefetch(pool_.data() + list.start);
}

void EGraph::prefetch_class_members(ClassId eclass) const {
  // Longer lists are rare and would cost more prefetches than their scan saves.
  constexpr std::uint32_t kMembers = 4;
  if (eclass >= lists_.size() || lists_.size() < kPrefetchMembersIds) return;
  const ClassList& list = lists_[find(eclass)];
  if (list.size < 2 || list.size > kMembers || list.start + list.size > pool_.size()) return;
  for (ClassId k : list_ids(list)) {
    if (k >= nodes_.size()) continue;
    __builtin_prefetch(nodes_.data() + k);
    __builtin_prefetch(flags_.data() + k);
  }
}

// `node` has root children and is not in the memo.
ClassId EGraph::add_new(SymbolLang node, std::uint32_t hash) {
  const ClassId id = union_find_.make_set();
  for (ClassId child : node.children()) link_parent(child, id);
  lists_.push_back(ClassList{id, 1});
  parent_lists_.push_back(ParentList());
  flags_.push_back(kMemoCurrent | kRepairDue);
  pending_.push_back(id);
  memo_.insert_absent(memo_position(hash), MemoSlot{id, hash},
                      [](const MemoSlot& slot) { return memo_position(slot.hash); });
  // A one-node class is already normal; only its kind needs registering.
  if (!kind_sets_.empty()) {
    const std::uint32_t slot = kind_slot(node.op(), node.arity());
    if (slot != kNoClass) {
      register_kind(slot, id);
      ++kind_sets_[slot].nodes;
    }
  }
  nodes_.push_back(std::move(node));
  ++class_count_;
  clean_ = false;
  return id;
}

template <class OpOf, class ChildrenOf>
std::vector<ClassId> EGraph::add_many(std::size_t count, OpOf&& op_of, ChildrenOf&& children_of) {
  std::vector<ClassId> ids(count);
  SmallVector<ClassId, 4> children;
  const bool prefetching = memo_.capacity() * sizeof(MemoSlot) >= kPrefetchMemoBytes;
  // A new entry j gets the id base + j minus the duplicates before it, so while duplicates are
  // few, a child's id is computed rather than read from ids[], which in a large term would be
  // one more random access per child.
  constexpr std::size_t kFewDuplicates = 64;
  const std::size_t base = union_find_.size();
  std::vector<std::uint32_t> duplicates;  // entries that got an existing id, ascending
  const auto id_of = [&](std::uint32_t j) -> ClassId {
    if (duplicates.size() > kFewDuplicates) return ids[j];
    const auto before = std::lower_bound(duplicates.begin(), duplicates.end(), j);
    if (before != duplicates.end() && *before == j) return ids[j];
    return static_cast<ClassId>(base + j - static_cast<std::size_t>(before - duplicates.begin()));
  };
  for (std::size_t i = 0; i < count; ++i) {
    if (prefetching && i + kLookahead < count) {
      // Entries not added yet are assumed new; a wrong guess only wastes the prefetch.
      const std::size_t ahead = i + kLookahead;
      children.clear();
      for (std::uint32_t j : children_of(ahead)) {
        const std::size_t child = j < i ? id_of(j) : union_find_.size() + (j - i);
        children.push_back(static_cast<ClassId>(child));
        if (child < parent_lists_.size()) __builtin_prefetch(parent_lists_.data() + child, 1);
      }
      memo_.prefetch(memo_position(memo_hash(op_of(ahead), children.span())));
    }
    children.clear();
    for (std::uint32_t j : children_of(i)) {
      // Only earlier entries have classes yet.
      if (j >= i) index_out_of_bounds(i, j);
      children.push_back(find(id_of(j)));
    }
    const Symbol op = op_of(i);
    const std::uint32_t hash = memo_hash(op, children.span());
    if (const MemoSlot* found = find_memo(hash, op, children.span())) {
      ids[i] = find(found->id);
      duplicates.push_back(static_cast<std::uint32_t>(i));
      continue;
    }
    ids[i] = add_new(SymbolLang(op, children.span()), hash);  // a new id is its own root
  }
  return ids;
}

std::vector<ClassId> EGraph::add_term(const FlatTerm<SymbolLang>& term) {
  std::size_t children = 0;
  for (const SymbolLang& entry : term) children += entry.arity();
  reserve(term.size(), children);
  const std::span<const SymbolLang> nodes = term.nodes();
  return add_many(
      nodes.size(), [&](std::size_t i) { return nodes[i].op(); },
      [&](std::size_t i) { return nodes[i].children(); });
}

std::vector<ClassId> EGraph::add_terms(const TermArrays& terms) {
  const std::size_t count = terms.ops.size();
  if (terms.child_ends.size() != count + 1) internal_failure("every term has its child range");
  reserve(count, terms.children.size());
  return add_many(
      count, [&](std::size_t i) { return terms.ops[i]; },
      [&](std::size_t i) {
        const std::uint64_t begin = terms.child_ends[i];
        const std::uint64_t end = terms.child_ends[i + 1];
        if (begin > end || end > terms.children.size()) internal_failure("term child ranges are in order");
        return terms.children.subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
      });
}

void EGraph::link_parent(ClassId child_root, ClassId parent) {
  if (parent_links_.size() >= kNoClass) internal_failure("e-graph parent lists exhausted");
  const auto link = static_cast<std::uint32_t>(parent_links_.size());
  ParentList& list = parent_lists_[child_root];
  parent_links_.push_back(ParentLink{parent, list.head});
  list.head = link;
  if (list.tail == kNoClass) list.tail = link;
  ++list.count;
}

std::optional<ClassId> EGraph::lookup(Symbol op, std::span<const ClassId> children) const {
  SmallVector<ClassId, 4> canonical;
  canonical.reserve(children.size());
  for (ClassId child : children) canonical.push_back(find(child));
  const MemoSlot* found = find_memo(memo_hash(op, canonical.span()), op, canonical.span());
  if (!found) return std::nullopt;
  return find(found->id);
}

std::uint32_t EGraph::allocate_block(std::uint32_t capacity) {
  std::vector<std::uint32_t>& free = free_blocks_[std::countr_zero(capacity)];
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

void EGraph::free_block(std::uint32_t start, std::uint32_t capacity) {
  free_blocks_[std::countr_zero(capacity)].push_back(start);
}

// The longer node list keeps its place and the shorter one is appended to it (the winner's
// comes first on equal lengths). The result becomes the winner's list.
void EGraph::concatenate_lists(ClassId root, ClassId loser) {
  const ClassList winner = lists_[root];
  const ClassList gone = lists_[loser];
  const bool gone_first = gone.size > winner.size;
  const ClassList first = gone_first ? gone : winner;
  const ClassList second = gone_first ? winner : gone;
  const std::uint32_t total = first.size + second.size;
  ClassList result{0, total};
  if (first.size >= 2 && std::bit_ceil(first.size) >= total) {
    result.start = first.start;  // room left in the longer list's block
  } else {
    result.start = allocate_block(std::bit_ceil(total));
    if (first.size == 1) {
      pool_[result.start] = first.start;
    } else {
      std::copy_n(pool_.begin() + first.start, first.size, pool_.begin() + result.start);
      free_block(first.start, std::bit_ceil(first.size));
    }
  }
  ClassId* tail = pool_.data() + result.start + first.size;
  if (second.size == 1) {
    *tail = second.start;
  } else if (second.size > 1) {
    std::copy_n(pool_.begin() + second.start, second.size, tail);
    free_block(second.start, std::bit_ceil(second.size));
  }
  lists_[root] = result;
  lists_[loser] = ClassList{0, 0};
}

bool EGraph::merge(ClassId a, ClassId b) {
  clean_ = false;
  ClassId root = find_mut(a);
  ClassId loser = find_mut(b);
  if (root == loser) return false;
  if (parent_lists_[root].count < parent_lists_[loser].count) std::swap(root, loser);

  union_find_.set_parent(loser, root);
  --class_count_;
  ++merges_since_rebuild_;

  // The loser's parents go to the repair stack oldest first; the list runs newest first.
  ParentList& gone = parent_lists_[loser];
  const std::size_t start = pending_.size();
  pending_.resize(start + gone.count);
  std::size_t at = pending_.size();
  for (std::uint32_t link = gone.head; link != kNoClass; link = parent_links_[link].next) {
    const ClassId parent = parent_links_[link].id;
    pending_[--at] = parent;
    flags_[parent] |= kRepairDue;
  }

  concatenate_lists(root, loser);

  // The winner never has fewer parents, so its list comes first and the loser's is appended;
  // stored newest first, that puts the loser's links in front.
  ParentList& winner = parent_lists_[root];
  if (gone.count != 0) {
    if (winner.count == 0) {
      winner.tail = gone.tail;
    } else {
      parent_links_[gone.tail].next = winner.head;
    }
    winner.head = gone.head;
    winner.count += gone.count;
  }
  gone = ParentList();

  touched_.push_back(root);
  return true;
}

std::size_t EGraph::rebuild() {
  const std::size_t old_size = size();
  const std::size_t old_classes = class_count();
  const auto start = std::chrono::steady_clock::now();

  std::size_t unions = 0;
  if (merges_since_rebuild_ == 0) {
    // Only adds since the last rebuild: every queued node still has root children and its own
    // memo key, so repairing it would change nothing.
    pending_.clear();
  } else {
    unions = repair_congruence();
  }
  const std::size_t trimmed = normalise_touched_classes();
  merges_since_rebuild_ = 0;

  if (log_enabled(LogLevel::Info)) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    char millis[8];
    std::snprintf(millis, sizeof millis, "%03d", static_cast<int>(elapsed.count() % 1000));
    write_log(LogLevel::Info, "REBUILT! in " + std::to_string(elapsed.count() / 1000) + "." + millis + "s\n" +
                                  "  Old: hc size " + std::to_string(old_size) + ", eclasses: " +
                                  std::to_string(old_classes) + "\n" + "  New: hc size " + std::to_string(size()) +
                                  ", eclasses: " + std::to_string(class_count()) + "\n" + "  unions: " +
                                  std::to_string(unions) + ", trimmed nodes: " + std::to_string(trimmed));
  }
  clean_ = true;
  return unions;
}

std::size_t EGraph::repair_congruence() {
  std::size_t unions = 0;
  SmallVector<ClassId, 4> roots;
  // In a large e-graph, queued nodes and their memo probes are loaded ahead in two steps: a node
  // kLookahead entries below the top of the stack, then, half as far, the memo chunk of that
  // node's key as it will be re-inserted (and of its stored key, which a move erases). Merges
  // push new entries on top, so the entries looked at are popped later than planned, not
  // skipped.
  const bool prefetching = memo_.capacity() * sizeof(MemoSlot) >= kPrefetchMemoBytes;
  SmallVector<ClassId, 4> ahead;
  while (!pending_.empty()) {
    if (prefetching && pending_.size() > 2 * kLookahead) {
      const ClassId far = pending_[pending_.size() - 1 - 2 * kLookahead];
      __builtin_prefetch(nodes_.data() + far);
      __builtin_prefetch(flags_.data() + far);
      const ClassId near = pending_[pending_.size() - 1 - kLookahead];
      const bool due = flags_[near] & kRepairDue;
      const bool current = flags_[near] & kMemoCurrent;
      if (due || !current) {
        const SymbolLang& node = nodes_[near];
        ahead.clear();
        bool moves = false;
        for (ClassId child : node.children()) {
          ahead.push_back(find(child));
          moves |= ahead.back() != child;
        }
        // An entry that neither moves nor lost its memo key is skipped without a probe.
        if (moves || !current) memo_.prefetch(memo_position(memo_hash(node.op(), ahead.span())));
        if (moves && current) memo_.prefetch(memo_position(memo_hash(node.op(), node.children())));
      }
    }
    const ClassId id = pending_.back();
    pending_.pop_back();
    // The node under an id is canonicalised in place: every reader canonicalises before use, so
    // a node that is already more canonical than when it was queued gives the same key.
    SymbolLang& node = nodes_[id];
    bool moved = false;
    // Only the newest push of a node can find a moved child: every merge that moves one pushes
    // the node again, on top of its older entries, and canonicalising it clears the flag.
    if (flags_[id] & kRepairDue) {
      flags_[id] &= static_cast<std::uint8_t>(~kRepairDue);
      ++repair_canonicalisations_;
      roots.clear();
      for (ClassId child : node.children()) {
        const ClassId root = find_mut(child);
        moved |= root != child;
        roots.push_back(root);
      }
    }
    if (moved) {
      if (flags_[id] & kMemoCurrent) erase_memo_key(id);
      flags_[id] &= static_cast<std::uint8_t>(~kMemoCurrent);
      std::copy(roots.begin(), roots.end(), node.children().begin());
      touched_.push_back(id);
    } else if (flags_[id] & kMemoCurrent) {
      continue;  // the memo already maps this very node to this id: re-inserting changes nothing
    }
    const std::uint32_t hash = memo_hash(node.op(), node.children());
    flags_[id] |= kMemoCurrent;
    if (MemoSlot* found = find_memo(hash, node.op(), node.children())) {
      const ClassId previous = found->id;
      found->id = id;
      if (previous != id) flags_[previous] &= static_cast<std::uint8_t>(~kMemoCurrent);
      if (merge(previous, id)) ++unions;
    } else {
      memo_.insert_absent(memo_position(hash), MemoSlot{id, hash},
                          [](const MemoSlot& s) { return memo_position(s.hash); });
    }
  }
  return unions;
}

std::size_t EGraph::normalise_touched_classes() {
  queue_.clear();
  for (ClassId id : touched_) {
    const ClassId root = find_mut(id);
    if (flags_[root] & kQueued) continue;
    flags_[root] |= kQueued;
    queue_.push_back(root);
  }
  touched_.clear();

  // Ascending order makes every kind's registrations arrive sorted. When most classes are
  // queued, a pass over the flags is cheaper than sorting.
  if (queue_.size() > flags_.size() / 32) {
    queue_.clear();
    for (std::size_t id = 0; id < flags_.size(); ++id) {
      if (flags_[id] & kQueued) queue_.push_back(static_cast<ClassId>(id));
    }
  } else {
    std::sort(queue_.begin(), queue_.end());
  }

  std::size_t trimmed = 0;
  for (std::size_t q = 0; q < queue_.size(); ++q) {
    // The list blocks and member nodes of the classes a few places on (their records are read
    // in ascending order, which the hardware follows by itself).
    if (q + 2 * kLookahead < queue_.size()) prefetch_class_list(queue_[q + 2 * kLookahead]);
    if (q + kLookahead < queue_.size()) prefetch_class_members(queue_[q + kLookahead]);
    const ClassId root = queue_[q];
    trimmed += normalise(root);
    flags_[root] &= static_cast<std::uint8_t>(~kQueued);
  }
  merge_kind_sets();
  return trimmed;
}

std::size_t EGraph::normalise(ClassId root) {
  ClassList& list = lists_[root];
  const std::span<ClassId> ids = list_ids(list);
  // Every child is a root already: a node whose child class lost a merge is on that class's
  // parent list, which the merge queued for repair, and repair canonicalised it after the last
  // merge that moved any of its children.

  const auto by_node = [&](ClassId x, ClassId y) { return nodes_[x] < nodes_[y]; };
  if (ids.size() <= kInsertionSortLimit) {
    for (std::size_t i = 1; i < ids.size(); ++i) {
      const ClassId moving = ids[i];
      std::size_t j = i;
      for (; j > 0 && by_node(moving, ids[j - 1]); --j) ids[j] = ids[j - 1];
      ids[j] = moving;
    }
  } else {
    std::sort(ids.begin(), ids.end(), by_node);
  }

  // Adjacent duplicates go, the first of each run stays.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const ClassId k = ids[i];
    if (kept != 0 && nodes_[k] == nodes_[ids[kept - 1]]) {
      flags_[k] |= kTrimmed;
      if (!kind_sets_.empty()) {
        const std::uint32_t slot = kind_slot(nodes_[k].op(), nodes_[k].arity());
        if (slot != kNoClass) --kind_sets_[slot].nodes;
      }
      continue;
    }
    ids[kept++] = k;
  }
  const std::size_t removed = ids.size() - kept;
  if (removed != 0) {
    if (kept == 1) {
      const ClassId only = ids[0];
      free_block(list.start, std::bit_ceil(list.size));
      list = ClassList{only, 1};
    } else {
      list.size = static_cast<std::uint32_t>(kept);
    }
  }

  if (!kind_sets_.empty()) {
    const SymbolLang* registered = nullptr;
    for (ClassId k : list_ids(list)) {
      const SymbolLang& node = nodes_[k];
      if (registered != nullptr && node.matches(*registered)) continue;
      registered = &node;
      const std::uint32_t slot = kind_slot(node.op(), node.arity());
      if (slot != kNoClass) register_kind(slot, root);
    }
  }
  return removed;
}

std::uint32_t EGraph::kind_slot(Symbol op, std::size_t arity) const {
  const unsigned bit = filter_bit(op);
  if (((kind_filter_[bit >> 6] >> (bit & 63)) & 1) == 0) return kNoClass;
  // Every add of a node whose operator passes the filter asks this; the last answer per filter
  // bit is kept, so the few kinds a run tracks are found without probing the map.
  const std::uint64_t key = kind_key(op, arity);
  KindCacheEntry& cached = kind_cache_[bit];
  if (cached.key != key) {
    const std::uint32_t* slot = kind_slots_.find(key);
    cached = KindCacheEntry{key, slot ? *slot : kNoClass};
  }
  return cached.slot;
}

void EGraph::register_kind(std::uint32_t slot, ClassId root) const {
  KindSet& set = kind_sets_[slot];
  if (set.added.empty()) dirty_kinds_.push_back(slot);
  set.added.push_back(root);
}

void EGraph::merge_kind_sets() {
  for (std::uint32_t slot : dirty_kinds_) {
    KindSet& set = kind_sets_[slot];
    // Registrations come as ascending runs (new classes as they are added, then the touched
    // classes in ascending order); two runs merge in linear time.
    const auto split = std::is_sorted_until(set.added.begin(), set.added.end());
    if (split != set.added.end()) {
      if (std::is_sorted(split, set.added.end())) {
        std::inplace_merge(set.added.begin(), split, set.added.end());
      } else {
        std::sort(set.added.begin(), set.added.end());
      }
    }
    merge_scratch_.clear();
    merge_scratch_.reserve(set.classes.size() + set.added.size());
    // Ascending merge of the old set and the new registrations; classes merged away since the
    // last rebuild are dropped here (their survivor was touched, so it is among the additions).
    const auto keep = [&](ClassId id) {
      if (union_find_.is_root(id) && (merge_scratch_.empty() || merge_scratch_.back() != id)) {
        merge_scratch_.push_back(id);
      }
    };
    std::size_t i = 0, j = 0;
    while (i < set.classes.size() && j < set.added.size()) {
      keep(set.classes[i] <= set.added[j] ? set.classes[i++] : set.added[j++]);
    }
    while (i < set.classes.size()) keep(set.classes[i++]);
    while (j < set.added.size()) keep(set.added[j++]);
    std::swap(set.classes, merge_scratch_);
    set.added.clear();
  }
  dirty_kinds_.clear();
}

void EGraph::track_kinds(std::span<const NodeKind> kinds) { start_tracking(kinds); }

void EGraph::start_tracking(std::span<const NodeKind> kinds) const {
  std::vector<std::uint32_t> fresh;
  for (const NodeKind& kind : kinds) {
    const auto [slot, inserted] = kind_slots_.find_or_insert_with(kind_key(kind.op, kind.arity), [&] {
      kind_sets_.push_back(KindSet{kind, {}, {}, 0});
      return static_cast<std::uint32_t>(kind_sets_.size() - 1);
    });
    if (!inserted) continue;
    const unsigned bit = filter_bit(kind.op);
    kind_filter_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    kind_cache_[bit] = KindCacheEntry();  // it may have cached "not tracked" for this kind
    fresh.push_back(*slot);
  }
  index_kinds(fresh);
}

// Fills the sets of newly tracked kinds from the ids: a class holds a node of a kind exactly
// when one of its ids (trimmed duplicates aside) was added with such a node.
void EGraph::index_kinds(std::span<const std::uint32_t> slots) const {
  if (slots.empty() || union_find_.size() == 0) return;
  std::vector<std::uint8_t> indexing(kind_sets_.size(), 0);
  for (std::uint32_t slot : slots) indexing[slot] = 1;
  for (std::size_t id = 0; id < nodes_.size(); ++id) {
    if (flags_[id] & kTrimmed) continue;
    const std::uint32_t slot = kind_slot(nodes_[id].op(), nodes_[id].arity());
    if (slot == kNoClass || !indexing[slot]) continue;
    KindSet& set = kind_sets_[slot];
    ++set.nodes;
    set.added.push_back(find(static_cast<ClassId>(id)));
  }
  for (std::uint32_t slot : slots) {
    KindSet& set = kind_sets_[slot];
    std::sort(set.added.begin(), set.added.end());
    set.added.erase(std::unique(set.added.begin(), set.added.end()), set.added.end());
    if (clean_) {
      std::swap(set.classes, set.added);  // every id found is a root of a normalised class
    } else if (!set.added.empty()) {
      dirty_kinds_.push_back(slot);  // the next rebuild merges them in
    }
  }
}

ClassNodes EGraph::class_nodes(ClassId id) const { return ClassNodes(nodes_.data(), list_ids(lists_[find(id)])); }

std::span<const ClassId> EGraph::classes_with(Symbol op, std::size_t arity) const {
  std::uint32_t slot = kind_slot(op, arity);
  if (slot == kNoClass) {
    const NodeKind kind{op, static_cast<std::uint32_t>(arity)};
    start_tracking(std::span<const NodeKind>(&kind, 1));
    slot = kind_slot(op, arity);
  }
  return kind_sets_[slot].classes;
}

std::optional<std::size_t> EGraph::tracked_node_count(Symbol op, std::size_t arity) const {
  const std::uint32_t slot = kind_slot(op, arity);
  if (slot == kNoClass) return std::nullopt;
  return kind_sets_[slot].nodes;
}

}  // namespace veltrix::egraph
