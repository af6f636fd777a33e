// Translating a stored node into another table's terms: the one way a node read from a table (or
// a delta of one) becomes a node resolved for a different interner. The incremental reducer
// takes a store's new nodes this way, a reduction copies its boundary nodes into the new store,
// and an interner reads its own entries back (to find a node's hash again).
//
// Texts are translated in the order resolving the node from its strings would intern them (name,
// descriptor fields, then each param's key and string value, then member tokens), so a target
// that interns texts as they are asked for ends up with the same text ids either way.
#pragma once

#include <cstdint>
#include <optional>

#include "store/node_interner.h"
#include "store/node_table.h"

namespace veltrix {

// A node of a TableDelta read like a NodeView: its side records (descriptor, members) live in
// the delta, and its text ids are the table's.
class DeltaEntry {
 public:
  DeltaEntry(const TableDelta& delta, std::size_t index) : delta_(delta), entry_(delta.entry(index)) {}

  NodeKind kind() const { return entry::kind(entry_); }
  std::size_t param_count() const { return entry::param_count(entry_); }
  std::size_t input_count() const { return entry::input_count(entry_); }
  std::span<const std::uint32_t> inputs() const { return entry::inputs(entry_); }
  StrId name_text_id() const { return entry::label(entry_); }
  std::span<const std::uint32_t> param_words() const {
    return {entry::param(entry_, 0), entry::param_count(entry_) * std::size_t{entry::kWordsPerParam}};
  }
  std::array<StrId, 6> descriptor_text_ids() const {
    const NodeTable::DescriptorRecord& d = delta_.descriptors[entry::label(entry_)];
    return {d.fields[0], d.fields[1], d.fields[2], d.fields[3], d.fields[4], d.preprocessing_ref};
  }
  std::size_t member_count() const { return delta_.stages[entry::label(entry_)].member_count; }
  StrId member_token_text_id(std::size_t m) const { return member(m).token; }
  std::span<const MemberRef> member_refs(std::size_t m) const {
    return {delta_.refs.data() + member(m).first_ref, member(m).ref_count};
  }

 private:
  const NodeTable::MemberRecord& member(std::size_t m) const {
    return delta_.members[delta_.stages[entry::label(entry_)].first_member + m];
  }

  const TableDelta& delta_;
  const std::uint32_t* entry_;
};

// Fills `out` with the node `from` (a NodeView or a DeltaEntry): each text id t of its table as
// text_of(t), and `input_count` inputs, input i as input_of(i) (nothing for an input the target
// cannot name). Returns the index of the first input input_of refused, if any; `out` is then
// incomplete. A Source keeps no inputs, and a Stage no params, whatever the counts say.
template <class Entry, class TextOf, class InputOf>
std::optional<std::size_t> translate_entry(const Entry& from, TextOf&& text_of, std::size_t input_count,
                                           InputOf&& input_of, NodeInterner::ResolvedNode& out) {
  const NodeKind kind = from.kind();
  const auto params = static_cast<std::uint32_t>(has_params(kind) ? from.param_count() : 0);
  const auto inputs = static_cast<std::uint32_t>(has_inputs(kind) ? input_count : 0);
  out.kind = kind;
  out.param_count = params;
  out.input_count = inputs;
  out.words.clear();
  out.members.clear();
  entry::Builder build(out.words);
  // An External's or a Stage's label indexes the target's side arrays, set when it is appended.
  build.header(kind, params, inputs, has_name(kind) ? text_of(from.name_text_id()) : 0);
  if (kind == NodeKind::External) {
    const std::array<StrId, 6> fields = from.descriptor_text_ids();
    for (int f = 0; f < 5; ++f) out.descriptor.fields[f] = text_of(fields[f]);
    out.descriptor.preprocessing_ref = fields[5] == kNoString ? kNoString : text_of(fields[5]);
  }
  const std::span<const std::uint32_t> words = from.param_words();
  for (std::uint32_t p = 0; p < params; ++p) {
    const std::uint32_t* param = words.data() + std::size_t{p} * entry::kWordsPerParam;
    const ParamTag tag = entry::param_tag(param);
    const StrId key = text_of(entry::param_key(param));
    const std::uint64_t bits = entry::param_bits(param);
    build.param(key, tag, tag == ParamTag::Str ? text_of(static_cast<StrId>(bits)) : bits);
  }
  for (std::uint32_t i = 0; i < inputs; ++i) {
    const std::optional<std::uint32_t> input = input_of(i);
    if (!input) return i;
    build.input(*input);
  }
  if (kind == NodeKind::Stage) {
    for (std::size_t m = 0; m < from.member_count(); ++m) {
      out.members.push_back({text_of(from.member_token_text_id(m)), from.member_refs(m)});
    }
  }
  return std::nullopt;
}

}  // namespace veltrix
