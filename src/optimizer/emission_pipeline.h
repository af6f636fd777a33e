// Stage fusion and the sink that interns its nodes, on two threads at once.
//
// Emitting a large reduced graph is two halves of about equal cost: fusion walks the canonical
// terms and drafts each reduced node, and the sink resolves and interns the drafted nodes into
// the new store. Neither half can be split by itself (a node's id depends on every node before
// it), but they can overlap: fusion hands each drafted node to the sink through a bounded queue,
// and the sink takes them in the order fusion made them. The sink sees exactly the calls, in
// exactly the order, that it would see on one thread, so the store it builds is the same.
//
// When no second thread is free (a pool of one thread, or every worker busy with another
// reduction's step), the thread that fuses also drains the queue whenever it fills, so the
// pipeline never waits for a thread that may not come.
#pragma once

#include <vector>

#include "optimizer/stage_fusion.h"

namespace veltrix {

// fuse_and_emit, overlapped with `sink` on a second thread of the pool when the graph is large
// enough to pay for it; the same result and the same calls of `sink` either way.
FusionResult fuse_and_emit_overlapped(const TermList& terms, std::span<const std::uint8_t> is_output,
                                      std::span<const TermIndex> outputs, const SymbolTemplates& templates,
                                      bool maximal_fusion, ReducedNodeSink& sink,
                                      std::vector<std::uint32_t>* term_positions = nullptr);

}  // namespace veltrix
