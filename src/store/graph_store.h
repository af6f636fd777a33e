// GraphStore: the thread-safe interning node table behind the Python class of the same name.
//
// Every structurally distinct node gets exactly one id; ids are dense and follow insertion
// order, and every input names an earlier node, so the node list is always topologically
// ordered. Nodes are only ever appended. Each operation holds the store's mutex for its own
// duration only; anything long (reduction, serialization, building Python objects) runs on a
// copy taken under the lock. An internal failure under the lock poisons the store for good.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "store/node_entry.h"
#include "store/node_interner.h"
#include "store/reduction_report.h"
#include "support/hash_table.h"
#include "support/poisonable_mutex.h"
#include "support/result.h"

namespace veltrix {

// The store's one error: an id that names no node.
struct BadNodeId {
  NodeId id = 0;
  std::string message() const { return "no node with id " + std::to_string(id); }
  std::string debug_string() const { return "BadNodeId(" + std::to_string(id) + ")"; }
};

// The store as it stood at one moment, readable from any thread while the store goes on: its
// table is shared, not copied (the store copies it only if it records while this is alive).
struct GraphSnapshot {
  SharedNodeTable table;
  const NodeTable& nodes;
  std::vector<NodeId> outputs;  // mark order
};

struct ReducedStore;

class GraphStore {
 public:
  GraphStore() = default;
  // Moving is for handing over a store that no other thread can see yet (a freshly built one).
  GraphStore(GraphStore&& other) noexcept;
  GraphStore(const GraphStore&) = delete;
  GraphStore& operator=(const GraphStore&) = delete;

  // The id of `node`, adding it when no equal node exists. The first input (in list order) that
  // names no node fails with BadNodeId and leaves the store unchanged.
  template <NodeLike N>
  Result<NodeId, BadNodeId> intern(const N& node);

  // Interns many nodes under one acquisition of the lock, all or none: row r is interned as
  // intern() would and its id written to ids[r]. `source.prepare(r, ids, interned, interner,
  // node)` resolves row r into the store's text ids, rows in order, with ids[0..interned)
  // holding the ids of the rows interned so far; it says false when the row reads a row not
  // interned yet, and `source.fill_inputs(r, ids, node)` writes its inputs once that row is.
  // An input that names no node when row r is interned fails the batch with
  // `source.bad_input(r, size)` (the input as the row gave it), the row's index in `bad_row`,
  // and leaves the store as it was before the batch. `words` bounds the table words the rows
  // take, so that the tables grow once, not by doubling.
  template <class Rows>
  Result<void, BadNodeId> intern_rows(std::size_t rows, std::size_t words, Rows& source, NodeId* ids,
                                      std::size_t& bad_row);

  // Appends `id` to the output marks unless it is marked already.
  Result<void, BadNodeId> mark_output(NodeId id);

  std::uint64_t node_count() const;
  std::vector<NodeId> outputs() const;
  GraphSnapshot snapshot() const;
  // The nodes alone, shared as a snapshot's are.
  SharedNodeTable share_nodes() const;
  NodeTable copy_nodes() const;
  // The same nodes as raw entries, with the store's texts from `first_text` on.
  TableDelta delta_since(NodeId start, StrId first_text) const;

  // A number that no other store of this process has; texts ids are meaningful per store.
  std::uint64_t serial() const { return serial_; }

  // Runs `read(table, marks)` under the lock, for work that formats the store in place.
  template <class F>
  decltype(auto) read_locked(F&& read) const {
    auto guard = mutex_.lock();
    return read(interner_.table(), std::span<const NodeId>(marks_));
  }

  // A new store holding the nodes of `interner`, marked with `outputs` in order (an id marked
  // before is not marked again), for a builder that interned its nodes itself, without the
  // store's lock and with its texts resolved once each. The first output that names no node
  // fails with BadNodeId.
  static Result<GraphStore, BadNodeId> from_interner(NodeInterner interner, std::span<const NodeId> outputs);

  std::size_t memory_bytes() const;

 private:
  friend struct GraphStoreTestAccess;

  template <NodeLike N>
  Result<NodeId, BadNodeId> intern_locked(const N& node);
  Result<void, BadNodeId> mark_output_locked(NodeId id);

  static std::uint64_t next_serial();

  mutable PoisonableMutex mutex_{"veltrix-core store mutex poisoned"};
  std::uint64_t serial_ = next_serial();
  NodeInterner interner_;
  std::vector<NodeId> marks_;
  // One bit per node id up to the highest marked one: a store's outputs can be a fifth of its
  // nodes, and a bit test costs no probe into a table of them.
  std::vector<std::uint64_t> marked_;
};

// A reduction's result: the new store, its report, and the id in the new store of every requested
// output, in the order asked and with repetitions (the store's marks keep each id once, so they
// cannot say which id answers which request once two outputs merge).
struct ReducedStore {
  GraphStore store;
  ReductionReport report;
  std::vector<NodeId> output_ids;
  // When traced: per input node, the reduced node it became or became part of (kNotReduced
  // when it was not reachable from the outputs).
  std::vector<NodeId> reduced_of_input;
  bool traced = false;  // whether reduced_of_input was asked for (it is empty for an empty input)
};
inline constexpr NodeId kNotReduced = ~NodeId{0};

template <NodeLike N>
Result<NodeId, BadNodeId> GraphStore::intern(const N& node) {
  return mutex_.run_locked([&] { return intern_locked(node); });
}

template <class Rows>
Result<void, BadNodeId> GraphStore::intern_rows(std::size_t rows, std::size_t words, Rows& source, NodeId* ids,
                                                std::size_t& bad_row) {
  // Rows are prepared (texts interned, hashed, their index probe started) a few rows ahead of
  // the one being interned, so that in a large store the probes' cache misses overlap instead of
  // following one another. Rows are prepared in order, so texts get the ids one call per row
  // would give them; a row that reads a row not interned yet gets its inputs when its turn comes.
  constexpr std::size_t kAhead = 16;
  struct Pending {
    NodeInterner::ResolvedNode node;
    std::uint64_t hash = 0;
    bool hashed = false;
  };
  return mutex_.run_locked([&]() -> Result<void, BadNodeId> {
    const NodeInterner::Mark start = interner_.mark();
    interner_.reserve(rows, words);
    std::vector<Pending> ring(std::min(rows, kAhead));
    const auto prepare = [&](std::size_t r, std::size_t interned) {
      Pending& p = ring[r % kAhead];
      p.hashed = source.prepare(r, ids, interned, interner_, p.node);
      if (p.hashed) {
        p.hash = interner_.hash_of(p.node);
        interner_.prefetch(p.hash);
      }
    };
    for (std::size_t r = 0; r < ring.size(); ++r) prepare(r, 0);
    for (std::size_t r = 0; r < rows; ++r) {
      Pending& p = ring[r % kAhead];
      if (!p.hashed) {
        source.fill_inputs(r, ids, p.node);
        p.hash = interner_.hash_of(p.node);
      }
      const std::span<const std::uint32_t> inputs = entry::inputs(p.node.words.data());
      if (std::any_of(inputs.begin(), inputs.end(), [&](std::uint32_t id) { return id >= interner_.size(); })) {
        const BadNodeId bad = source.bad_input(r, interner_.size());
        interner_.roll_back(start);
        bad_row = r;
        return make_err(bad);
      }
      ids[r] = interner_.intern(p.node, p.hash);
      if (r + kAhead < rows) prepare(r + kAhead, r + 1);
    }
    return {};
  });
}

template <NodeLike N>
Result<NodeId, BadNodeId> GraphStore::intern_locked(const N& node) {
  const std::uint64_t count = interner_.size();
  for (std::size_t i = 0; i < node.input_count(); ++i) {
    const NodeId input = node.input(i);
    if (input >= count) return make_err(BadNodeId{input});
  }
  return NodeId{interner_.intern(node)};
}

}  // namespace veltrix
