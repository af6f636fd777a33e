// Template implementations for node.h.
#pragma once

namespace veltrix {

template <NodeLike N>
Node Node::copy_of(const N& node) {
  Node copy(node.kind());
  if (has_name(copy.kind_)) copy.name_ = std::string(node.name());
  if (has_params(copy.kind_)) {
    std::vector<ParamEntry> entries;
    entries.reserve(node.param_count());
    for (std::size_t i = 0; i < node.param_count(); ++i) {
      entries.push_back(ParamEntry{std::string(node.param_key(i)), ParamValue::from_ref(node.param_value(i))});
    }
    // Already in key order; from_entries keeps it (the sort is stable and finds nothing to do).
    copy.params_ = ParamMap::from_entries(std::move(entries));
  }
  copy.inputs_.reserve(node.input_count());
  for (std::size_t i = 0; i < node.input_count(); ++i) copy.inputs_.push_back(node.input(i));
  if (copy.kind_ == NodeKind::External) {
    copy.descriptor_ = std::make_unique<PayloadDescriptor>(node.descriptor_ref().to_owned());
  }
  if (copy.kind_ == NodeKind::Stage) {
    copy.members_.reserve(node.member_count());
    for (std::size_t i = 0; i < node.member_count(); ++i) {
      std::span<const MemberRef> refs = node.member_refs(i);
      copy.members_.push_back(StageMember{std::string(node.member_token(i)), {refs.begin(), refs.end()}});
    }
  }
  return copy;
}

template <NodeLike A, NodeLike B>
bool same_node(const A& a, const B& b) {
  if (a.kind() != b.kind()) return false;
  const NodeKind kind = a.kind();
  if (has_name(kind) && std::string_view(a.name()) != std::string_view(b.name())) return false;
  if (kind == NodeKind::External && !(a.descriptor_ref() == b.descriptor_ref())) return false;
  if (has_params(kind)) {
    if (a.param_count() != b.param_count()) return false;
    for (std::size_t i = 0; i < a.param_count(); ++i) {
      if (std::string_view(a.param_key(i)) != std::string_view(b.param_key(i))) return false;
      if (!(a.param_value(i) == b.param_value(i))) return false;
    }
  }
  if (a.input_count() != b.input_count()) return false;
  for (std::size_t i = 0; i < a.input_count(); ++i) {
    if (NodeId(a.input(i)) != NodeId(b.input(i))) return false;
  }
  if (kind == NodeKind::Stage) {
    if (a.member_count() != b.member_count()) return false;
    for (std::size_t i = 0; i < a.member_count(); ++i) {
      if (std::string_view(a.member_token(i)) != std::string_view(b.member_token(i))) return false;
      std::span<const MemberRef> ra = a.member_refs(i), rb = b.member_refs(i);
      if (!std::equal(ra.begin(), ra.end(), rb.begin(), rb.end())) return false;
    }
  }
  return true;
}

}  // namespace veltrix
