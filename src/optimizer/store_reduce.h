// Reducing a GraphStore: the store-level entry points of the reduction pipeline.
//
// The store's lock is held only while its nodes (and marks) are copied; the pipeline runs on
// the copy, so other threads may keep recording meanwhile and the result reflects the copy. The
// input store never changes; the result is a new store whose marks are the reduced outputs.
#pragma once

#include <span>

#include "optimizer/rewrite_engine.h"
#include "store/graph_store.h"
#include "support/result.h"

namespace veltrix {

// Reduces against the store's output marks, in mark order.
// With `trace_inputs`, the result also says which reduced node each node of the store became.
ReducedStore reduce_against_marks(const GraphStore& store, RewriteEngine& engine, bool maximal_fusion,
                                  bool trace_inputs = false);

// Reduces against exactly `outputs` (order and repeats kept, marks ignored). The first id that
// names no node fails with BadNodeId before any reduction work.
Result<ReducedStore, BadNodeId> reduce_against_outputs(const GraphStore& store, std::span<const NodeId> outputs,
                                                       RewriteEngine& engine, bool maximal_fusion,
                                                       bool trace_inputs = false);

}  // namespace veltrix
