#include "store/graph_store.h"

#include <atomic>

#include "support/internal_failure.h"

namespace veltrix {

std::uint64_t GraphStore::next_serial() {
  static std::atomic<std::uint64_t> counter{1};
  return counter.fetch_add(1, std::memory_order_relaxed);
}

GraphStore::GraphStore(GraphStore&& other) noexcept
    : serial_(other.serial_),
      interner_(std::move(other.interner_)),
      marks_(std::move(other.marks_)),
      marked_(std::move(other.marked_)) {}

Result<void, BadNodeId> GraphStore::mark_output(NodeId id) {
  auto guard = mutex_.lock();
  return mark_output_locked(id);
}

Result<void, BadNodeId> GraphStore::mark_output_locked(NodeId id) {
  if (id >= interner_.size()) return make_err(BadNodeId{id});
  if (marked_.insert(id)) marks_.push_back(id);
  return {};
}

std::uint64_t GraphStore::node_count() const {
  auto guard = mutex_.lock();
  return interner_.size();
}

std::vector<NodeId> GraphStore::outputs() const {
  auto guard = mutex_.lock();
  return marks_;
}

GraphSnapshot GraphStore::snapshot() const {
  auto guard = mutex_.lock();
  return GraphSnapshot{interner_.table(), marks_};
}

NodeTable GraphStore::copy_nodes() const {
  auto guard = mutex_.lock();
  return interner_.table();
}

std::vector<Node> GraphStore::nodes_since(NodeId start) const {
  auto guard = mutex_.lock();
  const NodeTable& table = interner_.table();
  std::vector<Node> nodes;
  if (start >= table.size()) return nodes;
  nodes.reserve(table.size() - start);
  for (NodeId id = start; id < table.size(); ++id) nodes.push_back(table[id].to_node());
  return nodes;
}

TableDelta GraphStore::delta_since(NodeId start, StrId first_text) const {
  auto guard = mutex_.lock();
  return interner_.table().copy_since(start, first_text);
}

ReducedStore GraphStore::from_reduced(const ReducedGraph& reduced) {
  GraphStore store;
  std::vector<NodeId> ids;  // reduced position -> id in the new store
  ids.reserve(reduced.nodes.size());
  InputList inputs;
  for (const Node& node : reduced.nodes) {
    inputs.clear();
    for (NodeId position : node.inputs()) inputs.push_back(checked_at(ids, position));
    ids.push_back(
        expect_ok(store.intern(WithInputs<Node>(node, inputs)), "reduced graph references only earlier nodes"));
  }
  std::vector<NodeId> output_ids;
  output_ids.reserve(reduced.outputs.size());
  for (std::uint64_t position : reduced.outputs) {
    output_ids.push_back(checked_at(ids, position));
    expect_ok(store.mark_output(output_ids.back()), "reduced output is valid");
  }
  return {std::move(store), reduced.report, std::move(output_ids), {}, false};
}

Result<GraphStore, BadNodeId> GraphStore::from_interner(NodeInterner interner, std::span<const NodeId> outputs) {
  GraphStore store;
  store.interner_ = std::move(interner);
  store.marks_.reserve(outputs.size());
  store.marked_.reserve(outputs.size());
  for (NodeId id : outputs) {
    if (auto marked = store.mark_output_locked(id); !marked.ok()) return make_err(marked.error());
  }
  return store;
}

std::size_t GraphStore::memory_bytes() const {
  auto guard = mutex_.lock();
  return interner_.memory_bytes() + marks_.capacity() * sizeof(NodeId);
}

}  // namespace veltrix
