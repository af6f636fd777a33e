#include "optimizer/canonical_form.h"

#include <string>
#include <string_view>

#include "optimizer/egraph_engine.h"
#include "optimizer/reduce_graph.h"
#include "optimizer/rewrite_rules.h"
#include "store/entry_translation.h"
#include "store/term_encoding.h"

namespace veltrix {
bool CanonicalForm::resolve_entry(const TableDelta& delta, std::size_t index, ResolvedNode& out,
                                  NodeId& bad_input) const {
  // The same entry with this form's text and node ids: the delta's ids are the store's.
  const DeltaEntry stored(delta, index);
  const std::span<const std::uint32_t> inputs = stored.inputs();
  const std::optional<std::size_t> refused = translate_entry(
      stored, [&](StrId text) { return text_map_[text]; }, inputs.size(),
      [&](std::size_t i) -> std::optional<std::uint32_t> {
        if (inputs[i] >= id_map_.size()) return std::nullopt;
        return id_map_[inputs[i]];
      },
      out);
  if (refused) bad_input = inputs[*refused];
  return !refused;
}

// The resolved node read through the canonical table, whose texts it names.
bool CanonicalForm::is_identity(const ResolvedNode& node) const {
  return node.kind == NodeKind::Op && is_identity_op(NodeView(canonical_.table(), node.words.data()));
}

bool CanonicalForm::is_commutative(const ResolvedNode& node) const {
  return node.kind == NodeKind::Op && is_commutative_op(NodeView(canonical_.table(), node.words.data()));
}

std::uint32_t CanonicalForm::canonical_position(ResolvedNode& node) {
  const std::span<std::uint32_t> inputs = entry::inputs(node.words.data());
  if (is_identity(node)) return inputs[0];
  const std::uint64_t hash = canonical_.hash_of(node);
  if (auto found = canonical_.find(node, hash)) return *found;
  if (is_commutative(node)) {
    // The first operand order seen is the one kept.
    std::swap(inputs[0], inputs[1]);
    if (auto found = canonical_.find(node)) return *found;
    std::swap(inputs[0], inputs[1]);
  }
  return canonical_.insert_absent(node, hash);
}

Result<std::uint64_t, BadNodeId> CanonicalForm::consume(const TableDelta& delta) {
  for (std::size_t t = 0; t < delta.texts.size(); ++t)
    text_map_.push_back(canonical_.intern_text(delta.texts.view(static_cast<StrId>(t))));
  ResolvedNode node;
  for (std::size_t i = 0; i < delta.size(); ++i) {
    NodeId bad_input = 0;
    if (!resolve_entry(delta, i, node, bad_input)) return make_err(BadNodeId{bad_input});
    id_map_.push_back(canonical_position(node));
  }
  total_ += delta.size();
  return std::uint64_t{delta.size()};
}

Result<std::uint64_t, BadNodeId> CanonicalForm::step(const GraphStore& store) {
  // Texts are mirrored per store: a different store starts its mirror afresh.
  const bool same_source = store.serial() == source_serial_;
  TableDelta delta = store.delta_since(watermark(), same_source ? static_cast<StrId>(text_map_.size()) : 0);
  if (delta.size() == 0) return std::uint64_t{0};
  if (!same_source) {
    source_serial_ = store.serial();
    text_map_.clear();
  }
  return consume(delta);
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

Result<ReducedStore, BadNodeId> finalize(CanonicalForm& form, const GraphStore& store, std::span<const NodeId> outputs,
                                         bool maximal_fusion, bool trace_inputs) {
  if (auto consumed = form.step(store); !consumed.ok()) return make_err(consumed.error());
  Result<std::vector<NodeId>, BadNodeId> positions = form.translate(outputs);
  if (!positions.ok()) return make_err(positions.error());
  EGraphEngine engine;
  ReducedStore reduced =
      reduce_graph_to_store(form.nodes(), positions.value(), engine, maximal_fusion, nullptr, trace_inputs);
  if (trace_inputs) {
    // Each store node went where its canonical node went.
    std::vector<NodeId> of_store;
    of_store.reserve(form.positions().size());
    for (std::uint32_t position : form.positions()) of_store.push_back(checked_at(reduced.reduced_of_input, position));
    reduced.reduced_of_input = std::move(of_store);
  }
  return reduced;
}

}  // namespace veltrix
