#include "store/table_columns.h"

#include <algorithm>

#include "support/id_index.h"
#include "support/keyed_fold_hash.h"
#include "support/small_vector.h"

namespace veltrix {
namespace {

// A node's shape as words of its table: the kind word, what the label stands for, the params.
// Within one table equal texts have equal ids, so equal shapes give equal words.
void shape_words(NodeView node, SmallVector<std::uint32_t, 32>& out) {
  out.clear();
  const NodeKind kind = node.kind();
  out.push_back(entry::kind_word(kind, has_params(kind) ? static_cast<std::uint32_t>(node.param_count()) : 0));
  if (has_name(kind)) out.push_back(node.name_text_id());
  if (kind == NodeKind::External) {
    for (StrId field : node.descriptor_text_ids()) out.push_back(field);
  }
  if (kind == NodeKind::Stage) {
    out.push_back(static_cast<std::uint32_t>(node.member_count()));
    for (std::size_t m = 0; m < node.member_count(); ++m) {
      const std::span<const MemberRef> refs = node.member_refs(m);
      out.push_back(node.member_token_text_id(m));
      out.push_back(static_cast<std::uint32_t>(refs.size()));
      for (MemberRef ref : refs) {
        out.push_back(static_cast<std::uint32_t>(ref.kind));
        out.push_back(static_cast<std::uint32_t>(ref.index));
        out.push_back(static_cast<std::uint32_t>(ref.index >> 32));
      }
    }
  }
  out.append(node.param_words());
}

// The distinct shapes seen so far, their words kept end to end.
class ShapeIndex {
 public:
  std::uint32_t shape_of(std::span<const std::uint32_t> words, NodeId node) {
    KeyedFoldHasher hasher(key_);
    hasher.write_u64(words.size());
    for (std::uint32_t w : words) hasher.write_u64(w);
    const std::uint64_t hash = hasher.finish();
    const auto same = [&](std::uint32_t shape) {
      const Span stored = spans_[shape];
      return stored.size == words.size() &&
             std::equal(words.begin(), words.end(), words_.begin() + static_cast<std::ptrdiff_t>(stored.first));
    };
    if (const std::optional<std::uint32_t> found = index_.find(hash, same)) return *found;
    const auto shape = static_cast<std::uint32_t>(spans_.size());
    spans_.push_back({words_.size(), words.size()});
    for (std::uint32_t w : words) words_.push_back(w);
    representatives_.push_back(node);
    index_.insert(hash, shape);
    return shape;
  }

  std::vector<NodeId> take_representatives() { return std::move(representatives_); }

 private:
  struct Span {
    std::size_t first, size;
  };
  HashKey key_ = random_hash_key();
  IdIndex index_;
  std::vector<Span> spans_;
  std::vector<std::uint32_t> words_;
  std::vector<NodeId> representatives_;
};

}  // namespace

ColumnPlan plan_columns(const NodeTable& table, const std::optional<std::span<const NodeId>>& outputs) {
  ColumnPlan plan;
  const std::size_t n = table.size();
  if (!outputs) {
    plan.rows = n;
    for (std::size_t id = 0; id < n; ++id) plan.input_count += table[id].input_count();
    return plan;
  }
  // Inputs always come before the node that reads them, so one sweep down from the highest output
  // reaches everything a search would.
  plan.reached.assign(n, 0);
  NodeId highest = 0;
  for (NodeId id : *outputs) {
    plan.reached[id] = 1;
    highest = std::max(highest, id + 1);
  }
  for (NodeId id = highest; id-- > 0;) {
    if (!plan.reached[id]) continue;
    ++plan.rows;
    const std::span<const std::uint32_t> inputs = table[id].inputs();
    plan.input_count += inputs.size();
    for (std::uint32_t input : inputs) plan.reached[input] = 1;
  }
  return plan;
}

std::vector<NodeId> fill_columns(const NodeTable& table, const ColumnPlan& plan, const ColumnBuffers& out) {
  ShapeIndex shapes;
  SmallVector<std::uint32_t, 32> words;
  std::uint64_t row = 0;
  std::int64_t offset = 0;
  const std::size_t end = plan.reached.empty() ? table.size() : plan.reached.size();
  for (std::size_t id = 0; id < end && row < plan.rows; ++id) {
    if (!plan.reached.empty() && !plan.reached[id]) continue;
    const NodeView node = table[id];
    shape_words(node, words);
    out.ids[row] = static_cast<std::int64_t>(id);
    out.kinds[row] = static_cast<std::uint8_t>(node.kind());
    out.shapes[row] = shapes.shape_of(words.span(), id);
    out.offsets[row] = offset;
    for (std::uint32_t input : node.inputs()) out.inputs[offset++] = input;
    ++row;
  }
  out.offsets[row] = offset;
  return shapes.take_representatives();
}

}  // namespace veltrix
