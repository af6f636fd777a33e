// Shared helpers for the reduction tests: building node tables, running the pipeline, writing a
// reduced graph as one line of text, and checking the invariants every reduced graph must hold.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "optimizer/egraph_engine.h"
#include "optimizer/reduce_graph.h"
#include "store/graph_store.h"
#include "store/node_builders.h"
#include "store/reduced_graph.h"
#include "store/term_encoding.h"
#include "support/failure_message.h"
#include "support/internal_failure.h"

namespace veltrix::testing {

// A table holding `nodes` under their positions (the nodes must be distinct and list their
// inputs before themselves).
inline NodeTable table_of(const std::vector<Node>& nodes) {
  GraphStore store;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const Result<NodeId, BadNodeId> id = store.intern(nodes[i]);
    EXPECT_TRUE(id.ok() && id.value() == i) << "node " << i << " is not new or names a later node";
  }
  return store.copy_nodes();
}

// Collects the reduced nodes as owned Nodes.
class NodeListSink final : public ReducedNodeSink {
 public:
  explicit NodeListSink(std::vector<Node>& nodes) : nodes_(nodes) {}
  void append_boundary(const NodeView& node, std::span<const NodeId> inputs) override {
    nodes_.push_back(Node::copy_of(WithInputs<NodeView>(node, inputs)));
  }
  void append_stage(const StageDraft& stage) override { nodes_.push_back(Node::copy_of(stage)); }

 private:
  std::vector<Node>& nodes_;
};

// The reduction as a node list.
inline ReducedGraph reduce_graph(const NodeTable& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                                 bool maximal_fusion) {
  ReducedGraph reduced;
  NodeListSink sink(reduced.nodes);
  PipelineResult result = reduce_into(nodes, outputs, engine, maximal_fusion, sink);
  reduced.outputs = std::move(result.outputs);
  reduced.report = result.report;
  return reduced;
}

inline ReducedGraph reduce(const std::vector<Node>& nodes, std::vector<NodeId> outputs, bool maximal = false) {
  EGraphEngine engine;
  return reduce_graph(table_of(nodes), outputs, engine, maximal);
}

// One line per graph: each node as its symbol and input positions ("src|a", "red|sum(2)"), a
// Stage as its inputs and members ("stage(0,1)[op|add(i0,i1) op|neg(m0)]"), then the outputs.
inline std::string describe(const ReducedGraph& graph) {
  std::string out;
  const auto list = [&](auto begin, auto end, auto write) {
    out += '(';
    for (auto it = begin; it != end; ++it) {
      if (it != begin) out += ',';
      write(*it);
    }
    out += ')';
  };
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    const Node& node = graph.nodes[i];
    if (i) out += " / ";
    if (node.kind() == NodeKind::Stage) {
      out += "stage";
      list(node.inputs().begin(), node.inputs().end(), [&](NodeId id) { out += std::to_string(id); });
      out += '[';
      for (std::size_t m = 0; m < node.members().size(); ++m) {
        if (m) out += ' ';
        const StageMember& member = node.members()[m];
        out += member.token;
        list(member.refs.begin(), member.refs.end(), [&](const MemberRef& ref) {
          out += ref.kind == MemberRefKind::Input ? 'i' : 'm';
          out += std::to_string(ref.index);
        });
      }
      out += ']';
    } else {
      out += encode_symbol(node);
      if (node.kind() != NodeKind::Source) {
        list(node.inputs().begin(), node.inputs().end(), [&](NodeId id) { out += std::to_string(id); });
      }
    }
  }
  out += " -> ";
  list(graph.outputs.begin(), graph.outputs.end(), [&](std::uint64_t p) { out += std::to_string(p); });
  return out;
}

// What every reduced graph must satisfy, whatever the input.
inline void expect_well_formed(const ReducedGraph& graph) {
  const ReductionReport& r = graph.report;
  EXPECT_EQ(r.reduced_nodes, graph.nodes.size());
  EXPECT_EQ(r.reduced_nodes, r.stages + r.boundary_nodes);
  EXPECT_LE(r.reduced_nodes, r.canonical_nodes);
  EXPECT_LE(r.canonical_nodes, r.reachable_nodes);
  EXPECT_LE(r.reachable_nodes, r.input_nodes);
  std::uint64_t stages = 0;
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    const Node& node = graph.nodes[i];
    EXPECT_NE(node.kind(), NodeKind::Op) << "node " << i;
    for (NodeId input : node.inputs()) EXPECT_LT(input, i) << "node " << i;
    if (node.kind() != NodeKind::Stage) continue;
    ++stages;
    EXPECT_FALSE(node.members().empty());
    for (std::size_t m = 0; m < node.members().size(); ++m) {
      const StageMember& member = node.members()[m];
      EXPECT_TRUE(member.token.starts_with("op|")) << member.token;
      EXPECT_TRUE(parse_member_token(member.token).has_value()) << member.token;
      for (const MemberRef& ref : member.refs) {
        EXPECT_LT(ref.index, ref.kind == MemberRefKind::Input ? node.inputs().size() : m) << "member " << m;
      }
    }
  }
  // Stages made from ops are counted as stages; those already in the input as boundary nodes.
  EXPECT_GE(stages, r.stages);
  for (std::uint64_t output : graph.outputs) EXPECT_LT(output, graph.nodes.size());
}

}  // namespace veltrix::testing
