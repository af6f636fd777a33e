// CanonicalForm: the state of an incremental reducer.
//
// A reducer is fed one store as it grows. Each node is consumed once, as soon as the reducer
// sees it: its inputs are translated to canonical positions, an identity op gives way to its
// input, a commutative op without params that was already seen with its operands the other way
// round gives way to that node, and whatever remains is hash-consed. These are exactly the
// merges the rewrite engine would make, each keeping the earlier node, so finalizing reduces a
// graph that is already small with the full pipeline.
//
// New nodes arrive as raw entries of the store's table (TableDelta): the form mirrors the
// store's texts into its own (each distinct text is looked up once, when the store first records
// it), so a step translates ids instead of hashing texts, and allocates nothing per node.
//
// Not thread-safe: the Python IncrementalReducer guards it with its own mutex.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "store/graph_store.h"
#include "store/node_interner.h"
#include "support/pod_array.h"
#include "support/result.h"

namespace veltrix {

class CanonicalForm {
 public:
  std::uint64_t watermark() const { return id_map_.size(); }
  std::uint64_t total_work() const { return total_; }
  std::uint64_t canonical_count() const { return canonical_.size(); }
  const NodeTable& nodes() const { return canonical_.table(); }

  // Consumes the nodes `store` recorded from the watermark on, in id order, and returns how many.
  // An input that names a node not consumed yet fails with BadNodeId: the nodes before it stay
  // consumed, and the total is not increased. (A store's inputs always name earlier nodes, so
  // this guards an invariant rather than an input.)
  Result<std::uint64_t, BadNodeId> step(const GraphStore& store);

  // The canonical position of every consumed store id, by id.
  std::span<const std::uint32_t> positions() const { return {id_map_.data(), id_map_.size()}; }

  // Store ids to canonical positions, order and repeats kept; an id past the watermark fails.
  Result<std::vector<NodeId>, BadNodeId> translate(std::span<const NodeId> ids) const;

 private:
  using ResolvedNode = NodeInterner::ResolvedNode;

  Result<std::uint64_t, BadNodeId> consume(const TableDelta& delta);
  // Translates one raw entry's texts and inputs; false with the bad input id when an input has
  // not been consumed.
  bool resolve_entry(const TableDelta& delta, std::size_t index, ResolvedNode& out, NodeId& bad_input) const;
  std::uint32_t canonical_position(ResolvedNode& node);
  bool is_identity(const ResolvedNode& node) const;
  bool is_commutative(const ResolvedNode& node) const;

  NodeInterner canonical_;          // canonical nodes and their hash-cons table
  PodArray<std::uint32_t> id_map_;  // store id -> canonical position
  std::uint64_t total_ = 0;
  std::uint64_t source_serial_ = 0;  // the store whose texts text_map_ mirrors
  PodArray<StrId> text_map_;         // that store's text id -> canonical text id
};

// finalize: consumes the remaining delta, then reduces the canonical form against `outputs`
// (store ids; the caller has checked them against the store) with the full pipeline. With
// `trace_inputs`, reduced_of_input is per node of the store, through the canonical form.
Result<ReducedStore, BadNodeId> finalize(CanonicalForm& form, const GraphStore& store, std::span<const NodeId> outputs,
                                         bool maximal_fusion, bool trace_inputs = false);

}  // namespace veltrix
