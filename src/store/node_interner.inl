// Template implementations for node_interner.h.
#pragma once

#include "support/internal_failure.h"

namespace veltrix {

template <NodeLike N>
bool NodeInterner::resolve(const N& node, ResolvedNode& out, bool add_texts) {
  const auto text_id = [&](std::string_view text) -> std::optional<StrId> {
    if (add_texts) return intern_text(text);
    return find_text(text);
  };
  out.kind = node.kind();
  out.words.clear();
  out.members.clear();
  StrId label = 0;
  if (has_name(out.kind)) {
    auto id = text_id(node.name());
    if (!id) return false;
    label = *id;
  }
  if (out.kind == NodeKind::External) {
    const DescriptorRef d = node.descriptor_ref();
    const std::string_view fields[5] = {d.kind, d.content_hash, d.framework, d.version, d.io_schema};
    for (int i = 0; i < 5; ++i) {
      auto id = text_id(fields[i]);
      if (!id) return false;
      out.descriptor.fields[i] = *id;
    }
    out.descriptor.preprocessing_ref = kNoString;
    if (d.preprocessing_ref) {
      auto id = text_id(*d.preprocessing_ref);
      if (!id) return false;
      out.descriptor.preprocessing_ref = *id;
    }
  }
  const std::size_t params = has_params(out.kind) ? node.param_count() : 0;
  const std::size_t inputs = node.input_count();
  if (params > NodeTable::kMaxParams || inputs > NodeTable::kMaxInputs) {
    internal_failure("node has more parameters or inputs than a table can hold");
  }
  out.param_count = static_cast<std::uint32_t>(params);
  out.input_count = static_cast<std::uint32_t>(inputs);
  out.words.reserve(entry::size(out.param_count, out.input_count));
  entry::Builder build(out.words);
  build.header(out.kind, out.param_count, out.input_count, label);  // External and Stage labels are set on append
  for (std::size_t i = 0; i < params; ++i) {
    auto key = text_id(node.param_key(i));
    if (!key) return false;
    const ParamValueRef value = node.param_value(i);
    std::uint64_t bits = value.bits;
    if (value.tag == ParamTag::Str) {
      auto id = text_id(value.text);
      if (!id) return false;
      bits = *id;
    }
    build.param(*key, value.tag, bits);
  }
  for (std::size_t i = 0; i < inputs; ++i) build.input(static_cast<std::uint32_t>(node.input(i)));
  if (out.kind == NodeKind::Stage) {
    out.members.reserve(node.member_count());
    for (std::size_t i = 0; i < node.member_count(); ++i) {
      auto token = text_id(node.member_token(i));
      if (!token) return false;
      out.members.push_back(ResolvedNode::Member{*token, node.member_refs(i)});
    }
  }
  return true;
}

template <NodeLike N>
bool NodeInterner::resolve(const N& node, ResolvedNode& out) const {
  return const_cast<NodeInterner*>(this)->resolve(node, out, /*add_texts=*/false);
}

template <NodeLike N>
std::uint32_t NodeInterner::intern(const N& node) {
  ResolvedNode resolved;
  if (resolve(node, resolved)) {
    const std::uint64_t hash = node_hash(resolved);
    if (auto id = find_resolved(resolved, hash)) return *id;
    return append(resolved, hash);
  }
  // Some text is new to this table, so the node is new too: store its texts, then the node.
  resolve(node, resolved, /*add_texts=*/true);
  return append(resolved, node_hash(resolved));
}

template <NodeLike N>
std::optional<std::uint32_t> NodeInterner::find(const N& node) const {
  ResolvedNode resolved;
  if (!resolve(node, resolved)) return std::nullopt;
  return find_resolved(resolved, node_hash(resolved));
}

}  // namespace veltrix
