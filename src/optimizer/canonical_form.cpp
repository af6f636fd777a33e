#include "optimizer/canonical_form.h"

#include <string>
#include <string_view>

#include "optimizer/egraph_engine.h"
#include "optimizer/reduce_graph.h"
#include "optimizer/term_encoding.h"
#include "support/small_vector.h"

namespace veltrix {
namespace {

bool is_commutative(std::string_view name) {
  for (std::string_view op : EGraphEngine::kCommutativeOps) {
    if (name == op) return true;
  }
  return false;
}

// Only an Op named "add" or "mul" with exactly two params and one input can carry one of the
// identity symbols, so the symbol is built only for those.
bool is_identity_op(const Node& node) {
  if (node.kind() != NodeKind::Op || node.input_count() != 1 || node.param_count() != 2) return false;
  if (node.name() != "add" && node.name() != "mul") return false;
  const std::string symbol = encode_symbol(node);
  for (std::string_view identity : EGraphEngine::kIdentitySymbols) {
    if (symbol == identity) return true;
  }
  return false;
}

}  // namespace

std::uint32_t CanonicalForm::canonical_position(const Node& node, std::span<const NodeId> inputs) {
  if (is_identity_op(node)) return static_cast<std::uint32_t>(inputs[0]);
  const WithInputs<Node> translated(node, inputs);
  if (node.kind() == NodeKind::Op && inputs.size() == 2 && node.param_count() == 0 && is_commutative(node.name())) {
    // The first operand order seen is the one kept.
    if (auto found = canonical_.find(translated)) return *found;
    const NodeId swapped_inputs[2] = {inputs[1], inputs[0]};
    if (auto found = canonical_.find(WithInputs<Node>(node, swapped_inputs))) return *found;
  }
  return canonical_.intern(translated);
}

Result<std::uint64_t, BadNodeId> CanonicalForm::consume(std::span<const Node> delta) {
  SmallVector<NodeId, 8> inputs;
  for (const Node& node : delta) {
    inputs.clear();
    for (NodeId input : node.inputs()) {
      if (input >= id_map_.size()) return make_err(BadNodeId{input});
      inputs.push_back(id_map_[input]);
    }
    id_map_.push_back(canonical_position(node, inputs.span()));
  }
  total_ += delta.size();
  return std::uint64_t{delta.size()};
}

Result<std::vector<NodeId>, BadNodeId> CanonicalForm::translate(std::span<const NodeId> ids) const {
  std::vector<NodeId> positions;
  positions.reserve(ids.size());
  for (NodeId id : ids) {
    if (id >= id_map_.size()) return make_err(BadNodeId{id});
    positions.push_back(id_map_[id]);
  }
  return positions;
}

Result<std::uint64_t, BadNodeId> step(CanonicalForm& form, const GraphStore& store) {
  const std::vector<Node> delta = store.nodes_since(form.watermark());
  return form.consume(delta);
}

Result<std::pair<GraphStore, ReductionReport>, BadNodeId> finalize(CanonicalForm& form, const GraphStore& store,
                                                                   std::span<const NodeId> outputs,
                                                                   bool maximal_fusion) {
  if (auto consumed = step(form, store); !consumed.ok()) return make_err(consumed.error());
  Result<std::vector<NodeId>, BadNodeId> positions = form.translate(outputs);
  if (!positions.ok()) return make_err(positions.error());
  EGraphEngine engine;
  const ReducedGraph reduced = reduce_graph(form.nodes(), positions.value(), engine, maximal_fusion);
  return GraphStore::from_reduced(reduced);
}

}  // namespace veltrix
