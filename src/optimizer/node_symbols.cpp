#include "optimizer/node_symbols.h"

#include <algorithm>
#include <span>

#include "store/term_encoding.h"
#include "support/internal_failure.h"
#include "support/keyed_fold_hash.h"

namespace veltrix {
namespace {

constexpr std::size_t kShapeHeaderWords = 2;  // kind and param count, name id

std::uint32_t shape_header(const NodeView& node) {
  return static_cast<std::uint32_t>(node.kind()) | static_cast<std::uint32_t>(node.param_count() << 8);
}
std::uint32_t shape_name(const NodeView& node) { return has_name(node.kind()) ? node.name_text_id() : 0; }

}  // namespace

// Keyed per run, as hash-consing is: shapes come from the user, but nobody can prepare shapes
// that collide under a key they never see. A node's shape is a few words, where a keyed SipHash
// would cost several times as much.
std::uint64_t NodeSymbols::shape_hash(const NodeView& node) const {
  KeyedFoldHasher hasher(key_);
  hasher.write_u64(shape_header(node) | (std::uint64_t{shape_name(node)} << 32));
  const std::span<const std::uint32_t> params = node.param_words();  // four words a param
  for (std::size_t i = 0; i < params.size(); i += 2) hasher.write_u64(params[i] | (std::uint64_t{params[i + 1]} << 32));
  return hasher.finish();
}

// The words compared are at least as strict as what the symbol is formatted from, so two nodes
// of one shape always share a symbol (nodes of two shapes may still format alike, and then the
// text interning gives them one symbol too).
bool NodeSymbols::same_shape(const Shape& shape, const NodeView& node) const {
  const std::span<const std::uint32_t> params = node.param_words();
  if (shape.word_count != kShapeHeaderWords + params.size()) return false;
  const std::uint32_t* words = shape_words_.data() + shape.first_word;
  return words[0] == shape_header(node) && words[1] == shape_name(node) &&
         std::equal(params.begin(), params.end(), words + kShapeHeaderWords);
}

SymbolId NodeSymbols::format_and_intern(const NodeView& node) {
  scratch_.clear();
  append_symbol(scratch_, node);
  return texts_.intern(scratch_).first;
}

SymbolId NodeSymbols::symbol_of_shape(const NodeView& node, std::uint64_t hash) {
  const std::optional<std::uint32_t> found =
      shape_index_.find(hash, [&](std::uint32_t shape) { return same_shape(shapes_[shape], node); });
  if (found) return shapes_[*found].symbol;
  const SymbolId symbol = format_and_intern(node);
  if (shapes_.size() >= UINT32_MAX) internal_failure("a table has fewer than 2^32 distinct node shapes");
  const std::span<const std::uint32_t> params = node.param_words();
  const Shape shape{shape_words_.size(), static_cast<std::uint32_t>(kShapeHeaderWords + params.size()), symbol};
  shape_words_.push_back(shape_header(node));
  shape_words_.push_back(shape_name(node));
  shape_words_.insert(shape_words_.end(), params.begin(), params.end());
  shape_index_.insert(hash, static_cast<std::uint32_t>(shapes_.size()));
  shapes_.push_back(shape);
  return symbol;
}

SymbolId NodeSymbols::symbol_of(NodeId id) {
  const NodeView node = table_[id];
  const NodeKind kind = node.kind();
  if (kind == NodeKind::External || kind == NodeKind::Stage) return format_and_intern(node);
  if (node.param_count() == 0) {
    SymbolId* slot = &plain_exchange_;
    if (kind != NodeKind::Exchange) {
      std::vector<SymbolId>& plain = plain_[static_cast<int>(kind)];  // Source 0, Op 1, Reduction 2
      if (plain.empty()) plain.assign(table_.strings().size(), kUnknown);
      slot = &checked_at(plain, node.name_text_id());
    }
    if (*slot == kUnknown) *slot = format_and_intern(node);
    return *slot;
  }
  return symbol_of_shape(node, shape_hash(node));
}

}  // namespace veltrix
