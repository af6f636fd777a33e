#include "optimizer/store_reduce.h"

#include "optimizer/reduce_graph.h"

namespace veltrix {

ReducedStore reduce_against_marks(const GraphStore& store, RewriteEngine& engine, bool maximal_fusion,
                                  bool trace_inputs) {
  const GraphSnapshot snapshot = store.snapshot();
  return reduce_graph_to_store(snapshot.nodes, snapshot.outputs, engine, maximal_fusion, nullptr, trace_inputs);
}

Result<ReducedStore, BadNodeId> reduce_against_outputs(const GraphStore& store, std::span<const NodeId> outputs,
                                                       RewriteEngine& engine, bool maximal_fusion, bool trace_inputs) {
  const SharedNodeTable shared = store.share_nodes();
  const NodeTable& nodes = *shared;
  for (NodeId id : outputs) {
    if (id >= nodes.size()) return make_err(BadNodeId{id});
  }
  return reduce_graph_to_store(nodes, outputs, engine, maximal_fusion, nullptr, trace_inputs);
}

}  // namespace veltrix
