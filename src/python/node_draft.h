// NodeDraft: a node described by borrowed views of converted Python arguments, interned without
// copying a single string. It lives for one call; its views point into Python objects that the
// call's KeepAlive holds.
#pragma once

#include <span>
#include <string_view>

#include "store/node.h"
#include "support/small_vector.h"

namespace veltrix::python {

struct ParamDraft {
  std::string_view key;
  ParamValueRef value;
};

class NodeDraft {
 public:
  explicit NodeDraft(NodeKind kind) : kind_(kind) {}

  NodeKind kind() const { return kind_; }
  std::string_view name() const { return name_; }
  std::size_t param_count() const { return params_.size(); }
  std::string_view param_key(std::size_t i) const { return params_[i].key; }
  ParamValueRef param_value(std::size_t i) const { return params_[i].value; }
  std::size_t input_count() const { return inputs_.size(); }
  NodeId input(std::size_t i) const { return inputs_[i]; }
  DescriptorRef descriptor_ref() const { return descriptor_; }
  std::size_t member_count() const { return 0; }  // Python records no Stage nodes
  std::string_view member_token(std::size_t) const { return {}; }
  std::span<const MemberRef> member_refs(std::size_t) const { return {}; }

  NodeKind kind_;
  std::string_view name_;
  SmallVector<ParamDraft, 8> params_;
  InputList inputs_;
  DescriptorRef descriptor_;
};

}  // namespace veltrix::python
