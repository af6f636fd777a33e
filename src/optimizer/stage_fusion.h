// Stage fusion: the last step of a reduction. Groups the canonical terms into stages and
// boundary nodes and emits the reduced nodes, in order, to a sink (a node list, or a new store).
//
// Every Op term ends up as a member of exactly one Stage node (even a lone op); every other term
// is a boundary node of its own, rebuilt from the first node that had its symbol. Two grouping
// rules exist:
//   - single use (the default): an op joins its consumer's group when it has exactly one use,
//     that use is an op, and it is not an output;
//   - maximal: an op that is not an output joins the group that all of its uses, all ops,
//     belong to, so fan-out inside one group is fused too.
// Under both rules only a group's highest member is used from outside it (or is an output), so
// that member is the stage's value. Groups are emitted in order of their highest member, which
// puts every producer before its consumers; members are listed in ascending term order, and a
// stage's inputs in order of first use.
//
// Because only the highest member is used from outside, a group is found from its highest
// member by walking the children that joined it, and a producer is known by that member: all
// bookkeeping sits in per-term arrays read near the term being emitted, with no table of groups
// and no lists of consumers.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "optimizer/graph_term.h"
#include "optimizer/stage_draft.h"
#include "store/node.h"
#include "store/node_table.h"
#include "support/internal_failure.h"

namespace veltrix {

// The node a boundary term is rebuilt from: for each symbol id, the first node of `table` that
// had that symbol.
struct SymbolTemplates {
  const NodeTable& table;
  std::span<const NodeId> node_of_symbol;
};

// Receives the reduced nodes in order. Input ids are positions of nodes received earlier.
class ReducedNodeSink {
 public:
  virtual ~ReducedNodeSink() = default;
  // At most `nodes` nodes will follow, at most `stages` of them Stages with at most `members`
  // members and `refs` references in all, and about `words` table words.
  virtual void reserve(std::size_t /*nodes*/, std::size_t /*words*/, std::size_t /*stages*/, std::size_t /*members*/,
                       std::size_t /*refs*/) {}
  // A boundary node: `node` (a template from the input table) with `inputs` as its inputs.
  virtual void append_boundary(const NodeView& node, std::span<const NodeId> inputs) = 0;
  // The same, for the template of `symbol`; a sink that keeps something per symbol overrides it.
  virtual void append_boundary_of(const SymbolTemplates& templates, SymbolId symbol, std::span<const NodeId> inputs) {
    append_boundary(templates.table[checked_at(templates.node_of_symbol, symbol)], inputs);
  }
  virtual void append_stage(const StageDraft& stage) = 0;
  // The templates of the symbols the nodes to follow are made of; they stay valid until the
  // nodes have all been handed over (a sink that knows a member's template need not read its
  // token back).
  virtual void use_templates(const SymbolTemplates& /*templates*/) {}
};

struct FusionResult {
  std::vector<std::uint64_t> outputs;  // one reduced position per canonical output, same order
  std::uint64_t stages = 0;
  std::uint64_t boundary_nodes = 0;
};

// Groups the terms and hands the reduced nodes to `sink`, in order. `is_output` flags the terms
// named by `outputs`. With `term_positions`, it also gives the reduced position of every term:
// the node it became, or the stage it became a member of.
FusionResult fuse_and_emit(const TermList& terms, std::span<const std::uint8_t> is_output,
                           std::span<const TermIndex> outputs, const SymbolTemplates& templates, bool maximal_fusion,
                           ReducedNodeSink& sink, std::vector<std::uint32_t>* term_positions = nullptr);

}  // namespace veltrix
