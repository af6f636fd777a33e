// NodeTable: a list of nodes stored compactly, and NodeView, the read access to one of them.
//
// Every text (name, key, string value, descriptor field, member token) is stored once per table
// and referred to by a 32-bit id, so repeated names cost nothing and two nodes of one table
// compare by integers. A node is one contiguous entry in a word array: a four-word header (id,
// kind and parameter count, label, input count), four words per parameter (key id, tag, value
// low and high half; a Str value is a text id) and one word per input. Keeping a node in one
// place means that checking a candidate during interning touches one cache line or two.
// Descriptors and stage members, which few nodes have, live in side arrays.
//
// Ids and word offsets inside a table are 32-bit: a table holds fewer than 2^32 - 1 nodes and
// fewer than 2^32 words (16 GiB), which NodeInterner enforces. The table is a plain value:
// copying it is a handful of array copies, which is what a store's snapshot is. Nothing here
// locks; GraphStore guards its table with its mutex.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "store/node.h"
#include "store/node_entry.h"
#include "support/pod_array.h"
#include "support/string_arena.h"

namespace veltrix {

class NodeView;
struct TableDelta;

class NodeTable {
 public:
  struct DescriptorRecord {
    StrId fields[5];
    StrId preprocessing_ref;  // kNoString when absent
  };
  struct StageRecord {
    std::uint64_t first_member;
    std::uint32_t member_count;
  };
  struct MemberRecord {
    std::uint64_t first_ref;
    StrId token;
    std::uint32_t ref_count;
  };
  // What a stage member computes, read from its token once per distinct token text of the table
  // (the token stays the member's identity and its form in the byte format): an op or a
  // reduction, its name, and its params as entry words (four per param, texts as the table's).
  // A token that does not read as either (a blob may hold any text) is kept as unreadable.
  enum class MemberKind : std::uint8_t { Unreadable = 0, Op = 1, Reduction = 2 };
  static constexpr std::uint32_t kNoShape = UINT32_MAX;  // a text that is no member's token
  struct MemberShape {
    MemberKind kind;
    StrId name;
    std::uint32_t first_param_word;
    std::uint32_t param_count;
  };

  std::size_t size() const { return offsets_.size(); }
  bool empty() const { return offsets_.empty(); }
  NodeView view(NodeId id) const;
  NodeView operator[](NodeId id) const;
  const StringArena& strings() const { return strings_; }
  std::size_t memory_bytes() const;

  // The nodes from `first` on and the texts from `first_text` on, copied as they are stored.
  TableDelta copy_since(NodeId first, StrId first_text) const;

  // The most parameters and inputs one node can have (the parameter count shares a word with
  // the kind). Beyond them a node is refused before it reaches a table, with this message.
  static constexpr std::uint32_t kMaxParams = (1u << 24) - 1;
  static constexpr std::uint32_t kMaxInputs = UINT32_MAX / 2;
  static constexpr const char* kNodeTooLarge =
      "node with more parameters or inputs than a veltrix graph store can hold";

 private:
  friend class NodeView;
  friend class NodeInterner;

  const std::uint32_t* entry_at(std::uint32_t offset) const { return words_.data() + offset; }

  StringArena strings_;
  PodArray<std::uint32_t> offsets_;  // node id -> word offset of its entry
  PodArray<std::uint32_t> words_;
  std::vector<DescriptorRecord> descriptors_;
  std::vector<StageRecord> stages_;
  std::vector<MemberRecord> members_;
  std::vector<MemberRef> refs_;
  PodArray<std::uint32_t> token_shapes_;  // member token text id -> index into member_shapes_
  PodArray<MemberShape> member_shapes_;
  PodArray<std::uint32_t> member_param_words_;
};

// Read access to one node of a table (NodeLike). Valid until the table grows.
class NodeView {
 public:
  NodeView(const NodeTable& table, const std::uint32_t* entry) : table_(&table), entry_(entry) {}

  NodeId id() const { return entry_[entry::kIdWord]; }
  NodeKind kind() const { return entry::kind(entry_); }
  std::string_view name() const { return has_name(kind()) ? text(entry::label(entry_)) : std::string_view(); }
  std::size_t param_count() const { return entry::param_count(entry_); }
  std::string_view param_key(std::size_t i) const { return text(entry::param_key(entry::param(entry_, i))); }
  ParamValueRef param_value(std::size_t i) const {
    const std::uint32_t* p = entry::param(entry_, i);
    ParamValueRef value;
    value.tag = entry::param_tag(p);
    value.bits = entry::param_bits(p);
    if (value.tag == ParamTag::Str) value.text = text(static_cast<StrId>(value.bits));
    return value;
  }
  std::size_t input_count() const { return entry::input_count(entry_); }
  NodeId input(std::size_t i) const { return inputs()[i]; }
  std::span<const std::uint32_t> inputs() const { return entry::inputs(entry_); }
  DescriptorRef descriptor_ref() const;
  std::size_t member_count() const;
  std::string_view member_token(std::size_t i) const { return text(member(i).token); }
  std::span<const MemberRef> member_refs(std::size_t i) const {
    const NodeTable::MemberRecord& m = member(i);
    return {table_->refs_.data() + m.first_ref, m.ref_count};
  }

  Node to_node() const { return Node::copy_of(*this); }

  // Text ids, for readers that cache one object per distinct text of the table.
  StrId name_text_id() const { return entry::label(entry_); }  // Source, Op, Reduction
  StrId param_key_text_id(std::size_t i) const { return entry::param_key(entry::param(entry_, i)); }
  StrId param_str_text_id(std::size_t i) const {  // Str values
    return static_cast<StrId>(entry::param_bits(entry::param(entry_, i)));
  }
  StrId member_token_text_id(std::size_t i) const { return member(i).token; }  // Stage
  // Member i's kind, name and params, as its token reads (see NodeTable::MemberShape).
  const NodeTable::MemberShape& member_shape(std::size_t i) const {
    return table_->member_shapes_[table_->token_shapes_[member(i).token]];
  }
  std::span<const std::uint32_t> member_param_words(std::size_t i) const {
    const NodeTable::MemberShape& shape = member_shape(i);
    return {table_->member_param_words_.data() + shape.first_param_word,
            std::size_t{shape.param_count} * entry::kWordsPerParam};
  }
  std::string_view text_of(StrId id) const { return text(id); }
  // An External's five descriptor fields and its preprocessing reference (kNoString when absent).
  std::array<StrId, 6> descriptor_text_ids() const {
    const NodeTable::DescriptorRecord& d = table_->descriptors_[entry::label(entry_)];
    return {d.fields[0], d.fields[1], d.fields[2], d.fields[3], d.fields[4], d.preprocessing_ref};
  }
  // The parameters as stored: four words each (key text id, tag, value low and high half).
  std::span<const std::uint32_t> param_words() const {
    return {entry::param(entry_, 0), entry::param_count(entry_) * std::size_t{entry::kWordsPerParam}};
  }

 private:
  std::string_view text(StrId id) const { return table_->strings_.view(id); }
  const NodeTable::MemberRecord& member(std::size_t i) const {
    return table_->members_[table_->stages_[entry::label(entry_)].first_member + i];
  }

  const NodeTable* table_;
  const std::uint32_t* entry_;
};

// The tail of a table, copied as raw entries: the cheap way to hand newly recorded nodes to a
// reader outside the table's lock. Entries keep the table's own text ids (the texts from
// `first_text` on are copied along, so a reader that mirrors the table's texts can translate
// them); External and Stage labels index this delta's own side arrays.
struct TableDelta {
  PodArray<std::uint32_t> words;
  PodArray<std::uint32_t> offsets;  // entry offset of each node within `words`
  std::vector<NodeTable::DescriptorRecord> descriptors;
  std::vector<NodeTable::StageRecord> stages;
  std::vector<NodeTable::MemberRecord> members;
  std::vector<MemberRef> refs;
  StrId first_text = 0;
  StringArena texts;  // the table's texts first_text, first_text + 1, ...

  std::size_t size() const { return offsets.size(); }
  const std::uint32_t* entry(std::size_t i) const { return words.data() + offsets[i]; }
};

inline NodeView NodeTable::view(NodeId id) const { return NodeView(*this, entry_at(offsets_[id])); }
inline NodeView NodeTable::operator[](NodeId id) const { return view(id); }

// A node seen through another input list (the optimizer renumbers nodes this way).
template <NodeLike N>
class WithInputs {
 public:
  WithInputs(const N& base, std::span<const NodeId> inputs) : base_(base), inputs_(inputs) {}
  NodeKind kind() const { return base_.kind(); }
  std::string_view name() const { return base_.name(); }
  std::size_t param_count() const { return base_.param_count(); }
  std::string_view param_key(std::size_t i) const { return base_.param_key(i); }
  ParamValueRef param_value(std::size_t i) const { return base_.param_value(i); }
  std::size_t input_count() const { return base_.kind() == NodeKind::Source ? 0 : inputs_.size(); }
  NodeId input(std::size_t i) const { return inputs_[i]; }
  DescriptorRef descriptor_ref() const { return base_.descriptor_ref(); }
  std::size_t member_count() const { return base_.member_count(); }
  std::string_view member_token(std::size_t i) const { return base_.member_token(i); }
  std::span<const MemberRef> member_refs(std::size_t i) const { return base_.member_refs(i); }

 private:
  const N& base_;
  std::span<const NodeId> inputs_;
};

}  // namespace veltrix
