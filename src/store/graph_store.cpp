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
  const std::size_t word = static_cast<std::size_t>(id / 64);
  const std::uint64_t bit = std::uint64_t{1} << (id % 64);
  // Grown to cover every node the store holds now, so a run of marks grows it once.
  if (word >= marked_.size()) marked_.resize(static_cast<std::size_t>((interner_.size() + 63) / 64), 0);
  if (marked_[word] & bit) return {};
  marked_[word] |= bit;
  marks_.push_back(id);
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
  SharedNodeTable table = interner_.share_table();
  const NodeTable& nodes = *table;
  return GraphSnapshot{std::move(table), nodes, marks_};
}

SharedNodeTable GraphStore::share_nodes() const {
  auto guard = mutex_.lock();
  return interner_.share_table();
}

NodeTable GraphStore::copy_nodes() const {
  auto guard = mutex_.lock();
  return interner_.table();
}

TableDelta GraphStore::delta_since(NodeId start, StrId first_text) const {
  auto guard = mutex_.lock();
  return interner_.table().copy_since(start, first_text);
}

Result<GraphStore, BadNodeId> GraphStore::from_interner(NodeInterner interner, std::span<const NodeId> outputs) {
  GraphStore store;
  store.interner_ = std::move(interner);
  store.marks_.reserve(outputs.size());
  for (NodeId id : outputs) {
    if (auto marked = store.mark_output_locked(id); !marked.ok()) return make_err(marked.error());
  }
  return store;
}

std::size_t GraphStore::memory_bytes() const {
  auto guard = mutex_.lock();
  return interner_.memory_bytes() + marks_.capacity() * sizeof(NodeId) + marked_.capacity() * sizeof(std::uint64_t);
}

}  // namespace veltrix
