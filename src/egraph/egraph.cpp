#include "egraph/egraph.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "egraph/log.h"
#include "support/internal_failure.h"
#include "support/thread_pool.h"

namespace veltrix::egraph {
namespace {

// Small class lists are the common case; insertion sort beats the general sort on them.
constexpr std::size_t kInsertionSortLimit = 20;
// Normalising classes on the pool: classes per chunk, and the most tracked signatures it
// handles (one bit each).
constexpr std::size_t kNormaliseGrain = 4096;
constexpr std::size_t kMaxParallelSlots = 64;

// Below this size the memo stays in cache and looking ahead would only cost time.
constexpr std::size_t kPrefetchMemoBytes = std::size_t{1} << 20;
// Likewise for the per-id arrays.
constexpr std::size_t kPrefetchIds = std::size_t{1} << 16;
// Loading a class's list block and members in further steps pays only once the per-id arrays
// (some 40 bytes an id) outgrow the last-level cache as well; below that it measured slower.
constexpr std::size_t kPrefetchMembersIds = std::size_t{1} << 19;

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
  // The memo gets room for a quarter more: growing it later re-inserts every key at a random
  // place, which in a large e-graph costs a cache miss per key. Unlike the arrays above, all of
  // its room is resident (keys land on every page), so it is not sized for the worst case: the
  // rules of a reduction add a sixth to the nodes or less, and its size is rounded up to a power
  // of two besides.
  memo_.reserve(memo_.size() + ids + ids / 4, [](const MemoSlot& slot) { return memo_position(slot.hash); });
}

EGraph::MemoSlot* EGraph::find_memo(std::uint32_t hash, Symbol op, std::span<const ClassId> children) const {
  return memo_.find(memo_position(hash),
                    [&](const MemoSlot& slot) { return slot.hash == hash && nodes_[slot.id].equals(op, children); });
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
  class_lists_.prefetch(lists_[find(eclass)]);
}

void EGraph::prefetch_class_members(ClassId eclass) const {
  // Longer lists are rare and would cost more prefetches than their scan saves.
  constexpr std::uint32_t kMembers = 4;
  if (eclass >= lists_.size() || lists_.size() < kPrefetchMembersIds) return;
  const ClassList& list = lists_[find(eclass)];
  if (list.size < 2 || list.size > kMembers || !class_lists_.in_bounds(list)) return;
  for (ClassId k : class_lists_.ids(list)) {
    if (k >= nodes_.size()) continue;
    __builtin_prefetch(nodes_.data() + k);
    __builtin_prefetch(flags_.data() + k);
  }
}

// `node` has root children and is not in the memo.
ClassId EGraph::add_new(SymbolLang node, std::uint32_t hash) {
  const ClassId id = union_find_.make_set();
  for (ClassId child : node.children()) link_parent(child, id);
  lists_.push_back(ClassList::single(id));
  parent_lists_.push_back(ParentList());
  flags_.push_back(kMemoCurrent | kRepairDue);
  pending_.push_back(id);
  memo_.insert_absent(memo_position(hash), MemoSlot{id, hash},
                      [](const MemoSlot& slot) { return memo_position(slot.hash); });
  // A one-node class is already normal; only its signature needs registering.
  if (!signatures_.empty()) {
    const std::uint32_t slot = signatures_.slot_of(node.op(), node.arity());
    if (slot != SignatureIndex::kUntracked) {
      signatures_.register_class(slot, id);
      signatures_.count_node(slot);
    }
  }
  nodes_.push_back(std::move(node));
  ++class_count_;
  clean_ = false;
  return id;
}

// `arrived(i, wait)` says whether entry i may be read: at once when `wait` is false (a prefetch
// skips an entry not there yet), after waiting for it when true.
template <class OpOf, class ChildrenOf, class Arrived>
std::vector<ClassId> EGraph::add_many(std::size_t count, OpOf&& op_of, ChildrenOf&& children_of, Arrived&& arrived) {
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
    if (prefetching && i + kLookahead < count && arrived(i + kLookahead, false)) {
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
    arrived(i, true);
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
      nodes.size(), [&](std::size_t i) { return nodes[i].op(); }, [&](std::size_t i) { return nodes[i].children(); },
      [](std::size_t, bool) { return true; });
}

namespace {

// Term i's children in the arrays, whose ranges are checked as they are read.
std::span<const std::uint32_t> term_children(const TermArrays& terms, std::size_t i) {
  const std::uint64_t begin = terms.child_ends[i];
  const std::uint64_t end = terms.child_ends[i + 1];
  if (begin > end || end > terms.children.size()) internal_failure("term child ranges are in order");
  return terms.children.subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

}  // namespace

std::vector<ClassId> EGraph::add_terms(const TermArrays& terms) {
  const std::size_t count = terms.ops.size();
  if (terms.child_ends.size() != count + 1) internal_failure("every term has its child range");
  reserve(count, terms.children.size());
  return add_many(
      count, [&](std::size_t i) { return terms.ops[i]; }, [&](std::size_t i) { return term_children(terms, i); },
      [](std::size_t, bool) { return true; });
}

std::vector<ClassId> EGraph::add_published_terms(const TermArrays& terms, const std::atomic<std::size_t>& published,
                                                 const std::atomic<bool>& abandoned) {
  const std::size_t count = terms.ops.size();
  if (terms.child_ends.size() != count + 1) internal_failure("every term has its child range");
  reserve(count, terms.children.size());
  // The count last read: the shared counter is read again only past it, so that the two threads
  // do not pass its cache line back and forth on every term.
  std::size_t seen = 0;
  const auto arrived = [&](std::size_t i, bool wait) {
    while (i >= seen) {
      seen = published.load(std::memory_order_acquire);
      if (i < seen) break;
      if (!wait) return false;
      if (abandoned.load(std::memory_order_acquire)) throw TermsAbandoned{};
      std::this_thread::yield();
    }
    return true;
  };
  return add_many(
      count, [&](std::size_t i) { return terms.ops[i]; }, [&](std::size_t i) { return term_children(terms, i); },
      arrived);
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

  lists_[root] = class_lists_.concatenate(lists_[root], lists_[loser]);
  lists_[loser] = ClassList{};

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
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    char millis[8];
    std::snprintf(millis, sizeof millis, "%03d", static_cast<int>(elapsed.count() % 1000));
    write_log(LogLevel::Info,
              "REBUILT! in " + std::to_string(elapsed.count() / 1000) + "." + millis + "s\n" + "  Old: hc size " +
                  std::to_string(old_size) + ", eclasses: " + std::to_string(old_classes) + "\n" + "  New: hc size " +
                  std::to_string(size()) + ", eclasses: " + std::to_string(class_count()) + "\n" +
                  "  unions: " + std::to_string(unions) + ", trimmed nodes: " + std::to_string(trimmed));
  }
  clean_ = true;
  return unions;
}

// In a large e-graph, queued nodes and their memo probes are loaded ahead in two steps: a node
// kLookahead entries below the top of the stack, then, half as far, the memo chunk of that
// node's key as it will be re-inserted (and of its stored key, which a move erases). Merges push
// new entries on top, so the entries looked at are popped later than planned, not skipped.
void EGraph::prefetch_repair(SmallVector<ClassId, 4>& roots) const {
  if (pending_.size() <= 2 * kLookahead) return;
  const ClassId far = pending_[pending_.size() - 1 - 2 * kLookahead];
  __builtin_prefetch(nodes_.data() + far);
  __builtin_prefetch(flags_.data() + far);
  const ClassId near = pending_[pending_.size() - 1 - kLookahead];
  const bool due = flags_[near] & kRepairDue;
  const bool current = flags_[near] & kMemoCurrent;
  if (!due && current) return;  // it will be skipped without a probe
  const SymbolLang& node = nodes_[near];
  roots.clear();
  bool moves = false;
  for (ClassId child : node.children()) {
    roots.push_back(find(child));
    moves |= roots.back() != child;
  }
  if (moves || !current) memo_.prefetch(memo_position(memo_hash(node.op(), roots.span())));
  if (moves && current) memo_.prefetch(memo_position(memo_hash(node.op(), node.children())));
}

// The roots of a popped node's children, into `roots`; true when one of them moved. Only the
// newest push of a node can find a moved child: every merge that moves one pushes the node again,
// on top of its older entries, and reading its children here clears the flag.
bool EGraph::read_child_roots(ClassId id, SmallVector<ClassId, 4>& roots) {
  if (!(flags_[id] & kRepairDue)) return false;
  flags_[id] &= static_cast<std::uint8_t>(~kRepairDue);
  ++repair_canonicalisations_;
  roots.clear();
  bool moved = false;
  for (ClassId child : nodes_[id].children()) {
    const ClassId root = find_mut(child);
    moved |= root != child;
    roots.push_back(root);
  }
  return moved;
}

// Enters a node's current key in the memo for its id; a key another id holds already means the
// two are congruent, and they are merged. Returns the number of merges (0 or 1).
std::size_t EGraph::reinsert_key(ClassId id) {
  const SymbolLang& node = nodes_[id];
  const std::uint32_t hash = memo_hash(node.op(), node.children());
  flags_[id] |= kMemoCurrent;
  if (MemoSlot* found = find_memo(hash, node.op(), node.children())) {
    const ClassId previous = found->id;
    found->id = id;
    if (previous != id) flags_[previous] &= static_cast<std::uint8_t>(~kMemoCurrent);
    return merge(previous, id) ? 1 : 0;
  }
  memo_.insert_absent(memo_position(hash), MemoSlot{id, hash}, [](const MemoSlot& s) { return memo_position(s.hash); });
  return 0;
}

// Pops queued nodes until none is left. The node under an id is canonicalised in place: every
// reader canonicalises before use, so a node that is already more canonical than when it was
// queued gives the same key.
std::size_t EGraph::repair_congruence() {
  std::size_t unions = 0;
  const bool prefetching = memo_.capacity() * sizeof(MemoSlot) >= kPrefetchMemoBytes;
  SmallVector<ClassId, 4> roots;
  SmallVector<ClassId, 4> ahead;
  while (!pending_.empty()) {
    if (prefetching) prefetch_repair(ahead);
    const ClassId id = pending_.back();
    pending_.pop_back();
    if (read_child_roots(id, roots)) {
      if (flags_[id] & kMemoCurrent) erase_memo_key(id);
      flags_[id] &= static_cast<std::uint8_t>(~kMemoCurrent);
      std::copy(roots.begin(), roots.end(), nodes_[id].children().begin());
      touched_.push_back(id);
    } else if (flags_[id] & kMemoCurrent) {
      continue;  // the memo already maps this very node to this id: re-inserting changes nothing
    }
    unions += reinsert_key(id);
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

  // Ascending order makes every signature's registrations arrive sorted. When most classes are
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
  if (parallel_step(queue_.size()) && signatures_.slot_count() <= kMaxParallelSlots) {
    trimmed = normalise_in_parallel();
  } else {
    for (std::size_t q = 0; q < queue_.size(); ++q) {
      // The list blocks and member nodes of the classes a few places on (their records are read
      // in ascending order, which the hardware follows by itself).
      if (q + 2 * kLookahead < queue_.size()) prefetch_class_list(queue_[q + 2 * kLookahead]);
      if (q + kLookahead < queue_.size()) prefetch_class_members(queue_[q + kLookahead]);
      const ClassId root = queue_[q];
      trimmed += normalise(root);
      flags_[root] &= static_cast<std::uint8_t>(~kQueued);
    }
  }
  signatures_.merge_registrations([&](ClassId id) { return union_find_.is_root(id); });
  return trimmed;
}

// Sorts a class's node ids and drops adjacent duplicates, flagging them trimmed and passing each
// to `uncount`; returns how many ids are kept. Every child is a root already: a node whose child
// class lost a merge is on that class's parent list, which the merge queued for repair, and
// repair canonicalised it after the last merge that moved any of its children. It reads only
// the class's own nodes and writes only their flags, so classes can be sorted in parallel.
template <class Uncount>
std::uint32_t EGraph::sort_class(std::span<ClassId> ids, Uncount&& uncount) {
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
      uncount(nodes_[k]);
      continue;
    }
    ids[kept++] = k;
  }
  return static_cast<std::uint32_t>(kept);
}

std::size_t EGraph::normalise(ClassId root) {
  ClassList& list = lists_[root];
  const std::span<ClassId> ids = class_lists_.ids(list);
  const std::uint32_t kept = sort_class(ids, [&](const SymbolLang& node) {
    if (signatures_.empty()) return;
    const std::uint32_t slot = signatures_.slot_of(node.op(), node.arity());
    if (slot != SignatureIndex::kUntracked) signatures_.uncount_node(slot);
  });
  const std::size_t removed = ids.size() - kept;
  class_lists_.truncate(list, kept);

  if (!signatures_.empty()) {
    const SymbolLang* registered = nullptr;
    for (ClassId k : class_lists_.ids(list)) {
      const SymbolLang& node = nodes_[k];
      if (registered != nullptr && node.matches(*registered)) continue;
      registered = &node;
      const std::uint32_t slot = signatures_.slot_of(node.op(), node.arity());
      if (slot != SignatureIndex::kUntracked) signatures_.register_class(slot, root);
    }
  }
  return removed;
}

// normalise() of every queued class, in fixed chunks on the pool: each class is sorted and its
// list shortened there (what reads the scattered nodes), and the tracked signatures of the nodes
// it keeps noted as one bit per slot; the classes are then registered on this thread in
// ascending class order, as the sequential walk does. A class may
// register a signature once here where the walk could register it twice; merging the
// registrations drops the repeat.
std::size_t EGraph::normalise_in_parallel() {
  const std::size_t count = queue_.size();
  const std::size_t slots = signatures_.slot_count();
  const std::size_t grain = chunk_grain(kNormaliseGrain);
  const std::size_t chunks = (count + grain - 1) / grain;
  std::vector<std::uint64_t> held(slots == 0 ? 0 : count);
  std::vector<std::size_t> uncounted(chunks * slots, 0);  // per chunk and slot
  std::vector<std::size_t> trimmed(chunks, 0);
  // Per chunk, the classes whose lists shrink to one id, which returns a block to the pool's
  // shared free lists: done afterwards, in class order, as the sequential walk does.
  std::vector<std::vector<ClassId>> to_single(chunks);
  parallel_for(count, grain, [&](std::size_t begin, std::size_t end) {
    const std::size_t chunk = begin / grain;
    std::size_t* chunk_uncounted = uncounted.data() + chunk * slots;
    for (std::size_t q = begin; q < end; ++q) {
      if (q + 2 * kLookahead < end) prefetch_class_list(queue_[q + 2 * kLookahead]);
      if (q + kLookahead < end) prefetch_class_members(queue_[q + kLookahead]);
      const ClassId root = queue_[q];
      ClassList& list = lists_[root];
      const std::span<ClassId> ids = class_lists_.ids(list);
      const std::uint32_t kept = sort_class(ids, [&](const SymbolLang& node) {
        if (slots == 0) return;
        const std::uint32_t slot = signatures_.find_slot(node.op(), node.arity());
        if (slot != SignatureIndex::kUntracked) ++chunk_uncounted[slot];
      });
      flags_[root] &= static_cast<std::uint8_t>(~kQueued);
      if (slots != 0) {
        std::uint64_t mask = 0;
        for (std::size_t i = 0; i < kept; ++i) {
          const SymbolLang& node = nodes_[ids[i]];
          const std::uint32_t slot = signatures_.find_slot(node.op(), node.arity());
          if (slot != SignatureIndex::kUntracked) mask |= std::uint64_t{1} << slot;
        }
        held[q] = mask;
      }
      if (kept == list.size) continue;
      trimmed[chunk] += list.size - kept;
      if (kept == 1) {
        to_single[chunk].push_back(root);
      } else {
        class_lists_.truncate(list, kept);  // only shortens the record
      }
    }
  });

  std::size_t total = 0;
  for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
    total += trimmed[chunk];
    for (ClassId root : to_single[chunk]) class_lists_.truncate(lists_[root], 1);
  }
  if (slots == 0) return total;
  for (std::size_t q = 0; q < count; ++q) {
    for (std::uint64_t mask = held[q]; mask != 0; mask &= mask - 1) {
      signatures_.register_class(static_cast<std::uint32_t>(std::countr_zero(mask)), queue_[q]);
    }
  }
  for (std::size_t at = 0; at < uncounted.size(); ++at) {
    if (uncounted[at] != 0) signatures_.uncount_nodes(static_cast<std::uint32_t>(at % slots), uncounted[at]);
  }
  return total;
}

void EGraph::track_signatures(std::span<const Signature> signatures) { start_tracking(signatures); }

void EGraph::start_tracking(std::span<const Signature> signatures) const {
  index_signatures(signatures_.track(signatures));
}

// A class holds a node of a signature exactly when one of its ids (trimmed duplicates aside)
// was added with such a node.
void EGraph::index_signatures(std::span<const std::uint32_t> slots) const {
  if (slots.empty()) return;
  if (union_find_.size() != 0) {
    std::vector<std::uint8_t> indexing(*std::max_element(slots.begin(), slots.end()) + 1, 0);
    for (std::uint32_t slot : slots) indexing[slot] = 1;
    for (std::size_t id = 0; id < nodes_.size(); ++id) {
      if (flags_[id] & kTrimmed) continue;
      const std::uint32_t slot = signatures_.slot_of(nodes_[id].op(), nodes_[id].arity());
      if (slot >= indexing.size() || !indexing[slot]) continue;
      signatures_.index_node(slot, find(static_cast<ClassId>(id)));
    }
  }
  for (std::uint32_t slot : slots) signatures_.finish_indexing(slot, clean_);
}

ClassNodes EGraph::class_nodes(ClassId id) const {
  return ClassNodes(nodes_.data(), class_lists_.ids(lists_[find(id)]));
}

std::span<const ClassId> EGraph::classes_with(Symbol op, std::size_t arity) const {
  std::uint32_t slot = signatures_.slot_of(op, arity);
  if (slot == SignatureIndex::kUntracked) {
    const Signature signature{op, static_cast<std::uint32_t>(arity)};
    start_tracking(std::span<const Signature>(&signature, 1));
    slot = signatures_.slot_of(op, arity);
  }
  return signatures_.classes(slot);
}

std::optional<std::size_t> EGraph::tracked_node_count(Symbol op, std::size_t arity) const {
  const std::uint32_t slot = signatures_.slot_of(op, arity);
  if (slot == SignatureIndex::kUntracked) return std::nullopt;
  return signatures_.node_count(slot);
}

}  // namespace veltrix::egraph
