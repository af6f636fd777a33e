#include "egraph/egraph.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "egraph/log.h"
#include "support/internal_failure.h"

namespace veltrix::egraph {
namespace {

// Small class lists are the common case; insertion sort beats the general sort on them.
constexpr std::size_t kInsertionSortLimit = 20;

}  // namespace

ClassId EGraph::add_uncanonical(SymbolLang node) {
  for (ClassId& child : node.children()) child = find(child);
  const std::uint64_t hash = node.hash();
  if (const MemoEntry* found = memo_.find(hash, [&](const MemoEntry& e) { return e.key == node; })) {
    return found->id;
  }

  const ClassId id = union_find_.make_set();
  for (ClassId child : node.children()) link_parent(child, id);
  class_nodes_.emplace_back();
  class_nodes_.back().push_back(id);
  parent_lists_.emplace_back();
  flags_.push_back(kMemoCurrent);
  pending_.push_back(id);
  touched_.push_back(id);
  memo_.insert_absent(hash, MemoEntry{node, id}, memo_hash);
  nodes_.push_back(std::move(node));
  ++class_count_;
  clean_ = false;
  return id;
}

std::vector<ClassId> EGraph::add_term(const FlatTerm<SymbolLang>& term) {
  std::vector<ClassId> ids;
  ids.reserve(term.size());
  SmallVector<ClassId, 4> children;
  for (const SymbolLang& entry : term) {
    children.clear();
    // Only earlier entries have classes yet.
    for (ClassId child : entry.children()) children.push_back(checked_at(ids, child));
    ids.push_back(add(SymbolLang(entry.op(), children.span())));
  }
  return ids;
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
  const MemoEntry* found = memo_.find(hash_node(op, canonical.span()),
                                      [&](const MemoEntry& e) { return e.key.equals(op, canonical.span()); });
  if (!found) return std::nullopt;
  return find(found->id);
}

std::optional<ClassId> EGraph::held_by_class(ClassId eclass, Symbol op, std::span<const ClassId> children) const {
  // Longer lists would cost more to scan than the memo probe this saves.
  constexpr std::size_t kScanLimit = 8;
  const ClassId root = find(eclass);
  const SmallVector<ClassId, 2>& ids = class_nodes_[root];
  if (ids.size() > kScanLimit) return std::nullopt;
  for (ClassId k : ids) {
    if ((flags_[k] & kMemoCurrent) && nodes_[k].equals(op, children)) return root;
  }
  return std::nullopt;
}

bool EGraph::merge(ClassId a, ClassId b) {
  clean_ = false;
  ClassId root = find_mut(a);
  ClassId loser = find_mut(b);
  if (root == loser) return false;
  if (parent_lists_[root].count < parent_lists_[loser].count) std::swap(root, loser);

  union_find_.set_parent(loser, root);
  --class_count_;

  // The loser's parents go to the repair stack oldest first; the list runs newest first.
  ParentList& gone = parent_lists_[loser];
  const std::size_t start = pending_.size();
  pending_.resize(start + gone.count);
  std::size_t at = pending_.size();
  for (std::uint32_t link = gone.head; link != kNoClass; link = parent_links_[link].next) {
    pending_[--at] = parent_links_[link].id;
  }

  // The longer node list keeps its place and the shorter one is appended to it.
  SmallVector<ClassId, 2>& winner_nodes = class_nodes_[root];
  SmallVector<ClassId, 2>& loser_nodes = class_nodes_[loser];
  if (loser_nodes.size() > winner_nodes.size()) std::swap(winner_nodes, loser_nodes);
  winner_nodes.append(loser_nodes.span());
  loser_nodes = SmallVector<ClassId, 2>();

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

  const std::size_t unions = repair_congruence();
  const std::size_t trimmed = normalise_touched_classes();

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
  while (!pending_.empty()) {
    const ClassId id = pending_.back();
    pending_.pop_back();
    // The node under an id is canonicalised in place: every reader canonicalises before use, so
    // a node that is already more canonical than when it was queued gives the same key.
    SymbolLang& node = nodes_[id];
    bool moved = false;
    for (ClassId& child : node.children()) {
      const ClassId root = find_mut(child);
      moved |= root != child;
      child = root;
    }
    if (moved) {
      flags_[id] &= static_cast<std::uint8_t>(~kMemoCurrent);
      touched_.push_back(id);
    } else if (flags_[id] & kMemoCurrent) {
      continue;  // the memo already maps this very node to this id: re-inserting changes nothing
    }
    const std::uint64_t hash = node.hash();
    flags_[id] |= kMemoCurrent;
    if (MemoEntry* found = memo_.find(hash, [&](const MemoEntry& e) { return e.key == node; })) {
      const ClassId previous = found->id;
      found->id = id;
      if (previous != id) flags_[previous] &= static_cast<std::uint8_t>(~kMemoCurrent);
      if (merge(previous, id)) ++unions;
    } else {
      memo_.insert_absent(hash, MemoEntry{node, id}, memo_hash);
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
  for (ClassId root : queue_) {
    trimmed += normalise(root);
    flags_[root] &= static_cast<std::uint8_t>(~kQueued);
  }
  merge_kind_sets();
  return trimmed;
}

std::size_t EGraph::normalise(ClassId root) {
  SmallVector<ClassId, 2>& ids = class_nodes_[root];
  for (ClassId k : ids) {
    for (ClassId& child : nodes_[k].children()) {
      const ClassId canonical = find_mut(child);
      if (canonical == child) continue;
      child = canonical;
      flags_[k] &= static_cast<std::uint8_t>(~kMemoCurrent);
    }
  }
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
  const ClassId* last =
      std::unique(ids.begin(), ids.end(), [&](ClassId x, ClassId y) { return nodes_[x] == nodes_[y]; });
  const auto kept = static_cast<std::size_t>(last - ids.begin());
  const std::size_t removed = ids.size() - kept;
  ids.truncate(kept);

  const SymbolLang* registered = nullptr;
  for (ClassId k : ids) {
    const SymbolLang& node = nodes_[k];
    if (registered == nullptr || !node.matches(*registered)) {
      register_kind(node, root);
      registered = &node;
    }
  }
  return removed;
}

void EGraph::register_kind(const SymbolLang& node, ClassId root) {
  const std::uint64_t key = (static_cast<std::uint64_t>(node.op().value) << 32) | node.arity();
  const auto [slot, inserted] = kind_slots_.find_or_insert_with(key, [&] {
    kind_sets_.emplace_back();
    return static_cast<std::uint32_t>(kind_sets_.size() - 1);
  });
  KindSet& set = kind_sets_[*slot];
  if (set.added.empty()) dirty_kinds_.push_back(*slot);
  set.added.push_back(root);
}

void EGraph::merge_kind_sets() {
  for (std::uint32_t slot : dirty_kinds_) {
    KindSet& set = kind_sets_[slot];
    if (!std::is_sorted(set.added.begin(), set.added.end())) std::sort(set.added.begin(), set.added.end());
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

ClassNodes EGraph::class_nodes(ClassId id) const {
  return ClassNodes(nodes_.data(), class_nodes_[find(id)].span());
}

std::span<const ClassId> EGraph::classes_with(Symbol op, std::size_t arity) const {
  const std::uint64_t key = (static_cast<std::uint64_t>(op.value) << 32) | arity;
  const std::uint32_t* slot = kind_slots_.find(key);
  if (!slot) return {};
  return kind_sets_[*slot].classes;
}

}  // namespace veltrix::egraph
