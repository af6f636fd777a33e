// The reduction pipeline. From a node table and the outputs wanted, it builds a
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
// The pipeline is pure: it reads `nodes` (a store's snapshot, or the incremental reducer's
// canonical form) and owns every table it builds. Every output id must be below nodes.size();
// the callers check user input first, so a bad id here is an internal failure.
#pragma once

#include <span>
#include <utility>

#include "optimizer/rewrite_engine.h"
#include "optimizer/stage_fusion.h"
#include "store/graph_store.h"
#include "store/node_table.h"
#include "store/reduction_report.h"

namespace veltrix {

struct PipelineResult {
  std::vector<std::uint64_t> outputs;  // the reduced position of each output, in order
  ReductionReport report;
  // When inputs are traced: the reduced position of every input node, UINT32_MAX for one not
  // reached.
  std::vector<std::uint32_t> input_positions;
};

// The pipeline into any sink: the reduced nodes go to `sink` in order, their inputs as earlier
// reduced positions (a test's plain node list, say).
PipelineResult reduce_into(const NodeTable& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                           bool maximal_fusion, ReducedNodeSink& sink);

// Where the time of one reduction went, in seconds; for benchmarks, never part of a result.
struct ReductionPhases {
  double terms = 0;      // reachability, symbols and the term list
  double engine = 0;     // the rewrite engine's call
  double canonical = 0;  // hash-consing its result (or checking it)
  double emit = 0;       // grouping, and emitting the reduced nodes into the new store
  double finish = 0;     // the last nodes and the output marks
};

// The reduction interned straight into a new store, as interning reduce_into's nodes in order
// would build it (renumbering positions to ids, equal nodes collapsing into one), then marked
// with the outputs, but without an intermediate node list, which would cost an allocation or
// more per reduced node. With
// `trace_inputs`, the result's reduced_of_input says which reduced node each input node became
// or became part of (kNotReduced for a node not reachable from the outputs); the reduction is
// the same either way.
ReducedStore reduce_graph_to_store(const NodeTable& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                                   bool maximal_fusion, ReductionPhases* phases = nullptr, bool trace_inputs = false);

}  // namespace veltrix
