// reduce_graph: the reduction pipeline. From a node table and the outputs wanted, it builds a
// smaller graph that computes the same outputs, and the six report counters.
//
// Steps, in this order:
//   1. dead-code elimination: only nodes reachable from the outputs survive;
//   2. the survivors become terms (term symbol plus children), compacted to dense positions;
//      the first node with each symbol is kept as the template its boundary nodes are rebuilt
//      from;
//   3. one call of the rewrite engine merges terms equal under its rules;
//   4. common-subexpression elimination: the engine's result is hash-consed on
//      (symbol, children);
//   5. stage fusion emits the reduced node list (stage_fusion.h).
// Every step is linear in the table's size apart from hash-table work and the engine run.
//
// The function is pure: it reads `nodes` (a store's snapshot, or the incremental reducer's
// canonical form) and owns every table it builds. Every output id must be below nodes.size();
// the callers check user input first, so a bad id here is an internal failure.
#pragma once

#include <span>
#include <utility>

#include "optimizer/rewrite_engine.h"
#include "store/graph_store.h"
#include "store/node_table.h"
#include "store/reduced_graph.h"

namespace veltrix {

ReducedGraph reduce_graph(const NodeTable& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                          bool maximal_fusion);

// Where the time of one reduction went, in seconds; for benchmarks, never part of a result.
struct ReductionPhases {
  double terms = 0;      // reachability, symbols and the term list
  double engine = 0;     // the rewrite engine's call
  double canonical = 0;  // hash-consing its result (or checking it)
  double emit = 0;       // grouping, and emitting the reduced nodes into the new store
  double finish = 0;     // the last nodes and the output marks
};

// The same reduction, interned straight into a new store: equal to
// GraphStore::from_reduced(reduce_graph(...)), with the same checks, but without building the
// intermediate node list, which costs an allocation or more per reduced node. With
// `trace_inputs`, the result's reduced_of_input says which reduced node each input node became
// or became part of (kNotReduced for a node not reachable from the outputs); the reduction is
// the same either way.
ReducedStore reduce_graph_to_store(const NodeTable& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                                   bool maximal_fusion, ReductionPhases* phases = nullptr, bool trace_inputs = false);

}  // namespace veltrix
