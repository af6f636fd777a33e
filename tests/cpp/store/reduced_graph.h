// A reduced graph as a plain node list (inputs are positions in the same list), and the store
// it becomes: the straightforward reference that tests hold the reduction's direct-to-store
// path to.
#pragma once

#include <cstdint>
#include <vector>

#include "store/graph_store.h"
#include "store/node.h"
#include "support/internal_failure.h"

namespace veltrix::testing {

struct ReducedGraph {
  std::vector<Node> nodes;
  std::vector<std::uint64_t> outputs;
  ReductionReport report;
};

// Interns the nodes in order into a new store, renumbering input positions to the new ids (equal
// nodes collapse into one id), then marks the outputs; an input or output position out of range
// is an internal failure.
inline ReducedStore from_reduced(const ReducedGraph& reduced) {
  GraphStore store;
  std::vector<NodeId> ids;  // reduced position -> id in the new store
  InputList inputs;
  for (const Node& node : reduced.nodes) {
    inputs.clear();
    for (NodeId position : node.inputs()) inputs.push_back(checked_at(ids, position));
    ids.push_back(
        expect_ok(store.intern(WithInputs<Node>(node, inputs)), "reduced graph references only earlier nodes"));
  }
  std::vector<NodeId> output_ids;
  for (std::uint64_t position : reduced.outputs) {
    output_ids.push_back(checked_at(ids, position));
    expect_ok(store.mark_output(output_ids.back()), "reduced output is valid");
  }
  return {std::move(store), reduced.report, std::move(output_ids), {}, false};
}

// Copies of the nodes of `store` with id >= start, in id order (empty past the end).
inline std::vector<Node> nodes_since(const GraphStore& store, NodeId start) {
  const GraphSnapshot snapshot = store.snapshot();
  std::vector<Node> nodes;
  for (NodeId id = start; id < snapshot.nodes.size(); ++id) nodes.push_back(snapshot.nodes[id].to_node());
  return nodes;
}

}  // namespace veltrix::testing
