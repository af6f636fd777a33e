#include "store/node_interner.h"

#include "store/entry_translation.h"
#include "store/term_encoding.h"

#include "support/internal_failure.h"
#include "support/keyed_fold_hash.h"

#include <cstring>

namespace veltrix {

std::optional<StrId> NodeInterner::recent_text(std::string_view text) const {
  if (!recent_) return std::nullopt;
  const RecentText* recent = recent_slot(text);
  if (recent->id != kNoString && recent->data == text.data() && recent->size == text.size() &&
      table_->strings_.view(recent->id) == text) {
    return recent->id;
  }
  return std::nullopt;
}

void NodeInterner::remember_text(std::string_view text, StrId id) const {
  // Room for about two cache slots per distinct text, up to the largest cache.
  if (table_->strings_.size() * 2 > (std::size_t{1} << recent_bits_) && recent_bits_ < kMaxRecentTextBits) {
    grow_recent_texts();
  }
  *recent_slot(text) = RecentText{text.data(), text.size(), id};
}

void NodeInterner::grow_recent_texts() const {
  const std::size_t old_slots = recent_ ? std::size_t{1} << recent_bits_ : 0;
  std::unique_ptr<RecentText[]> old = std::move(recent_);
  recent_bits_ = recent_bits_ ? recent_bits_ + 1 : kMinRecentTextBits;
  recent_ = std::make_unique<RecentText[]>(std::size_t{1} << recent_bits_);
  for (std::size_t i = 0; i < old_slots; ++i) {
    const RecentText& entry = old[i];
    if (entry.id != kNoString) *recent_slot({entry.data, entry.size}) = entry;
  }
}

std::optional<StrId> NodeInterner::find_text(std::string_view text) const {
  if (auto id = recent_text(text)) return id;
  const std::optional<StrId> id = text_index_.find(table_->strings_, text);
  if (id) remember_text(text, *id);
  return id;
}

StrId NodeInterner::intern_text(std::string_view text) {
  if (auto id = recent_text(text)) return *id;
  const StrId id = text_index_.intern(table_.writable().strings_, text).first;
  remember_text(text, id);
  return id;
}

NodeInterner::Mark NodeInterner::mark() const {
  return {table_->offsets_.size(), table_->words_.size(),         table_->descriptors_.size(),
          table_->stages_.size(),  table_->members_.size(),       table_->refs_.size(),
          table_->strings_.size(), table_->member_shapes_.size(), table_->member_param_words_.size()};
}

// The hash a stored node was indexed under: its entry read back as a resolved node.
std::uint64_t NodeInterner::stored_node_hash(std::uint32_t id) const {
  const NodeView stored = (*table_)[id];
  const std::span<const std::uint32_t> inputs = stored.inputs();
  ResolvedNode node;
  translate_entry(
      stored, [](StrId text) { return text; }, inputs.size(),
      [&](std::size_t i) -> std::optional<std::uint32_t> { return inputs[i]; }, node);
  return node_hash(node);
}

void NodeInterner::roll_back(const Mark& mark) {
  NodeTable& table = table_.writable();
  for (std::size_t id = table.offsets_.size(); id-- > mark.nodes;) {
    const std::uint32_t offset = table.offsets_[id];
    if (!node_index_.erase(stored_node_hash(static_cast<std::uint32_t>(id)), offset)) {
      internal_failure("a stored node is in the node index");
    }
  }
  table.offsets_.truncate(mark.nodes);
  table.words_.truncate(mark.words);
  table.descriptors_.resize(mark.descriptors);
  table.stages_.resize(mark.stages);
  table.members_.resize(mark.members);
  table.refs_.resize(mark.refs);
  text_index_.truncate(table.strings_, mark.texts);
  table.member_shapes_.truncate(mark.member_shapes);
  table.member_param_words_.truncate(mark.member_param_words);
  table.token_shapes_.truncate(mark.texts);
  for (std::uint32_t& shape : table.token_shapes_) {
    if (shape != NodeTable::kNoShape && shape >= mark.member_shapes) shape = NodeTable::kNoShape;
  }
  if (recent_) {
    for (std::size_t i = 0; i < (std::size_t{1} << recent_bits_); ++i) {
      if (recent_[i].id != kNoString && recent_[i].id >= mark.texts) recent_[i] = RecentText{};
    }
  }
}

void NodeInterner::read_member_token(StrId token, const ResolvedNode::KnownShape* known) {
  NodeTable& table = table_.writable();
  PodArray<std::uint32_t>& shapes = table.token_shapes_;
  while (shapes.size() <= token) shapes.push_back(NodeTable::kNoShape);
  if (shapes[token] != NodeTable::kNoShape) return;
  NodeTable::MemberShape shape{NodeTable::MemberKind::Unreadable, 0,
                               static_cast<std::uint32_t>(table.member_param_words_.size()), 0};
  const auto read = [&](bool is_op, std::string_view name, std::size_t param_count, auto&& param_at) {
    shape.kind = is_op ? NodeTable::MemberKind::Op : NodeTable::MemberKind::Reduction;
    shape.name = intern_text(name);
    shape.param_count = static_cast<std::uint32_t>(param_count);
    for (std::size_t i = 0; i < param_count; ++i) {
      const auto [key_text, value] = param_at(i);
      const StrId key = intern_text(key_text);
      const std::uint64_t bits = value.tag == ParamTag::Str ? intern_text(value.text) : value.bits;
      entry::Builder<PodArray<std::uint32_t>>(table.member_param_words_).param(key, value.tag, bits);
    }
  };
  if (known) {
    shape.kind = known->kind;
    shape.name = known->name;
    shape.param_count = static_cast<std::uint32_t>(known->param_words.size() / entry::kWordsPerParam);
    for (const std::uint32_t word : known->param_words) table.member_param_words_.push_back(word);
  } else {
    // The token's text is copied first: interning its parts may move the table's texts. A token
    // without escapes, nearly every one, is read in place from that copy.
    token_scratch_.assign(table.strings_.view(token));
    if (const std::optional<PlainMemberToken> plain = read_plain_member_token(token_scratch_)) {
      read(plain->is_op, plain->name, plain->params.size(), [&](std::size_t i) { return plain->params[i]; });
    } else if (const std::optional<MemberToken> parsed = parse_member_token(token_scratch_)) {
      read(parsed->kind == "op", parsed->name, parsed->params.size(), [&](std::size_t i) {
        return PlainMemberToken::Param{parsed->params[i].key, parsed->params[i].value.ref()};
      });
    }
  }
  // Interning the parts may have added texts, and grown the token map with them.
  while (shapes.size() <= token) shapes.push_back(NodeTable::kNoShape);
  shapes[token] = static_cast<std::uint32_t>(table.member_shapes_.size());
  table.member_shapes_.push_back(shape);
}

void NodeInterner::reserve(std::size_t nodes, std::size_t words, std::size_t stages, std::size_t members,
                           std::size_t refs) {
  NodeTable& table = table_.writable();
  table.offsets_.reserve(table.offsets_.size() + nodes);
  table.words_.reserve(table.words_.size() + words);
  table.stages_.reserve(table.stages_.size() + stages);
  table.members_.reserve(table.members_.size() + members);
  table.refs_.reserve(table.refs_.size() + refs);
  node_index_.reserve(node_index_.size() + nodes);
}

std::uint64_t NodeInterner::node_hash(const ResolvedNode& node) const {
  const std::uint32_t* w = node.words.data();
  KeyedFoldHasher hasher(key_);
  // Kind, parameter count, label (for named kinds) and input count: every length is hashed, so
  // nodes of different shapes never feed the same words. The label of an External or a Stage
  // only indexes a side array of whichever table the words were copied from, so it is no part
  // of identity: its descriptor or members are hashed below instead.
  const std::uint64_t label = has_name(node.kind) ? entry::label(w) : 0;
  hasher.write_u64(std::uint64_t{w[entry::kKindWord]} | (label << 32));
  hasher.write_u64(entry::input_count(w));
  if (node.kind == NodeKind::External) {
    const NodeTable::DescriptorRecord& d = node.descriptor;
    hasher.write_u64(std::uint64_t{d.fields[0]} | (std::uint64_t{d.fields[1]} << 32));
    hasher.write_u64(std::uint64_t{d.fields[2]} | (std::uint64_t{d.fields[3]} << 32));
    hasher.write_u64(std::uint64_t{d.fields[4]} | (std::uint64_t{d.preprocessing_ref} << 32));
  }
  for (std::uint32_t p = 0; p < node.param_count; ++p) {
    const std::uint32_t* param = entry::param(w, p);
    const ParamTag tag = entry::param_tag(param);
    std::uint64_t bits = entry::param_bits(param);
    if (tag == ParamTag::Float) bits = canonical_float_bits(bits);
    hasher.write_u64(std::uint64_t{entry::param_key(param)} | (std::uint64_t{static_cast<std::uint32_t>(tag)} << 32));
    hasher.write_u64(bits);
  }
  // Inputs two to a word; the count is hashed already, so a zero pad cannot be confused.
  const std::span<const std::uint32_t> inputs = entry::inputs(w);
  std::size_t i = 0;
  for (; i + 1 < inputs.size(); i += 2) hasher.write_u64(inputs[i] | (std::uint64_t{inputs[i + 1]} << 32));
  if (i < inputs.size()) hasher.write_u64(inputs[i]);
  if (node.kind == NodeKind::Stage) {
    hasher.write_u64(node.members.size());
    for (const ResolvedNode::Member& m : node.members) {
      hasher.write_u64(std::uint64_t{m.token} | (std::uint64_t{m.refs.size()} << 32));
      for (const MemberRef& ref : m.refs)
        hasher.write_u64(ref.index ^ (std::uint64_t{ref.kind == MemberRefKind::Member} << 63));
    }
  }
  return hasher.finish();
}

bool NodeInterner::equals(const std::uint32_t* stored, const ResolvedNode& node) const {
  const std::uint32_t* fresh = node.words.data();
  if (stored[entry::kKindWord] != fresh[entry::kKindWord] || entry::input_count(stored) != entry::input_count(fresh)) {
    return false;
  }
  const StrId label = entry::label(stored);
  switch (node.kind) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction:
      if (label != entry::label(fresh)) return false;
      break;
    case NodeKind::External:
      if (std::memcmp(&table_->descriptors_[label], &node.descriptor, sizeof node.descriptor) != 0) return false;
      break;
    case NodeKind::Stage: {
      const NodeTable::StageRecord& stage = table_->stages_[label];
      if (stage.member_count != node.members.size()) return false;
      for (std::size_t i = 0; i < node.members.size(); ++i) {
        const NodeTable::MemberRecord& m = table_->members_[stage.first_member + i];
        const ResolvedNode::Member& other = node.members[i];
        if (m.token != other.token || m.ref_count != other.refs.size()) return false;
        const MemberRef* refs = table_->refs_.data() + m.first_ref;
        if (!std::equal(other.refs.begin(), other.refs.end(), refs)) return false;
      }
      break;
    }
    case NodeKind::Exchange: break;
  }
  for (std::uint32_t i = 0; i < node.param_count; ++i) {
    const std::uint32_t* a = entry::param(stored, i);
    const std::uint32_t* b = entry::param(fresh, i);
    if (entry::param_key(a) != entry::param_key(b) || entry::param_tag(a) != entry::param_tag(b)) return false;
    std::uint64_t x = entry::param_bits(a);
    std::uint64_t y = entry::param_bits(b);
    if (entry::param_tag(a) == ParamTag::Float) {
      x = canonical_float_bits(x);
      y = canonical_float_bits(y);
    }
    if (x != y) return false;
  }
  const std::span<const std::uint32_t> ours = entry::inputs(stored);
  return std::memcmp(ours.data(), entry::inputs(fresh).data(), ours.size() * sizeof(std::uint32_t)) == 0;
}

std::optional<std::uint32_t> NodeInterner::find_resolved(const ResolvedNode& node, std::uint64_t hash) const {
  const std::optional<std::uint32_t> offset =
      node_index_.find(hash, [&](std::uint32_t at) { return equals(table_->entry_at(at), node); });
  if (!offset) return std::nullopt;
  return table_->entry_at(*offset)[entry::kIdWord];
}

std::uint32_t NodeInterner::append(const ResolvedNode& node, std::uint64_t hash) {
  NodeTable& table = table_.writable();
  const std::size_t offset = table.words_.size();
  if (table.offsets_.size() >= kMaxNodes || offset + node.words.size() > UINT32_MAX) {
    internal_failure("a graph cannot hold more than 4294967294 nodes or 16 GiB of node data");
  }
  const auto id = static_cast<std::uint32_t>(table.offsets_.size());
  table.words_.append(node.words.span());
  std::uint32_t* stored = table.words_.data() + offset;
  stored[entry::kIdWord] = id;
  if (node.kind == NodeKind::External) {
    stored[entry::kLabelWord] = static_cast<std::uint32_t>(table.descriptors_.size());
    table.descriptors_.push_back(node.descriptor);
  } else if (node.kind == NodeKind::Stage) {
    stored[entry::kLabelWord] = static_cast<std::uint32_t>(table.stages_.size());
    table.stages_.push_back({table.members_.size(), static_cast<std::uint32_t>(node.members.size())});
    for (const ResolvedNode::Member& m : node.members) {
      table.members_.push_back({table.refs_.size(), m.token, static_cast<std::uint32_t>(m.refs.size())});
      table.refs_.insert(table.refs_.end(), m.refs.begin(), m.refs.end());
      read_member_token(m.token, m.shape);
    }
  }
  table.offsets_.push_back(static_cast<std::uint32_t>(offset));
  node_index_.insert(hash, static_cast<std::uint32_t>(offset));
  return id;
}

}  // namespace veltrix
