#include "optimizer/node_symbols.h"

#include "store/term_encoding.h"
#include "support/internal_failure.h"
#include "support/keyed_fold_hash.h"

namespace veltrix {

// Keyed per run, as hash-consing is: shapes come from the user, but nobody can prepare shapes
// that collide under a key they never see. A node's shape is a few words, where a keyed SipHash
// would cost several times as much.
std::uint64_t NodeSymbols::shape_hash(const NodeView& node) const {
  const std::uint64_t name = has_name(node.kind()) ? node.name_text_id() : 0;
  KeyedFoldHasher hasher(key_);
  hasher.write_u64(static_cast<std::uint64_t>(node.kind()) | (std::uint64_t{node.param_count()} << 8) | (name << 32));
  for (std::size_t i = 0; i < node.param_count(); ++i) {
    const ParamValueRef value = node.param_value(i);
    hasher.write_u64(std::uint64_t{node.param_key_text_id(i)} | (static_cast<std::uint64_t>(value.tag) << 32));
    hasher.write_u64(value.bits);  // a Str value's bits are its text id
  }
  return hasher.finish();
}

bool NodeSymbols::same_shape(const NodeView& a, const NodeView& b) {
  if (a.kind() != b.kind() || a.param_count() != b.param_count()) return false;
  if (has_name(a.kind()) && a.name_text_id() != b.name_text_id()) return false;
  for (std::size_t i = 0; i < a.param_count(); ++i) {
    if (a.param_key_text_id(i) != b.param_key_text_id(i)) return false;
    const ParamValueRef x = a.param_value(i);
    const ParamValueRef y = b.param_value(i);
    if (x.tag != y.tag || x.bits != y.bits) return false;
  }
  return true;
}

SymbolId NodeSymbols::format_and_intern(const NodeView& node) {
  scratch_.clear();
  append_symbol(scratch_, node);
  return texts_.intern(scratch_).first;
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
  const std::uint64_t hash = shape_hash(node);
  const std::optional<std::uint32_t> found =
      shape_index_.find(hash, [&](std::uint32_t shape) { return same_shape(table_[shapes_[shape].node], node); });
  if (found) return shapes_[*found].symbol;
  const SymbolId symbol = format_and_intern(node);
  shape_index_.insert(hash, static_cast<std::uint32_t>(shapes_.size()));
  shapes_.push_back({static_cast<std::uint32_t>(id), symbol});
  return symbol;
}

}  // namespace veltrix
