// BorrowedNode: a node described by views of text that lives elsewhere (the arguments of a
// Python call, the bytes of a blob), so that it can be interned without copying a string first.
//
// It is NodeLike. The texts it points to must outlive every use of it; the buffers it owns
// (params, inputs, members) are kept by reset(), so a reader that reuses one instance for many
// nodes stops allocating once they have grown to the largest node.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "store/node.h"
#include "support/small_vector.h"

namespace veltrix {

class BorrowedNode {
 public:
  struct Param {
    std::string_view key;
    ParamValueRef value;
  };
  struct Member {
    std::string_view token;
    std::size_t first_ref;  // into refs_, where each member owns a contiguous run
    std::size_t ref_count;
  };

  explicit BorrowedNode(NodeKind kind = NodeKind::Source) : kind_(kind) {}

  void reset(NodeKind kind) {
    kind_ = kind;
    name_ = {};
    params_.clear();
    inputs_.clear();
    descriptor_ = {};
    members_.clear();
    refs_.clear();
  }

  // NodeLike.
  NodeKind kind() const { return kind_; }
  std::string_view name() const { return name_; }
  std::size_t param_count() const { return params_.size(); }
  std::string_view param_key(std::size_t i) const { return params_[i].key; }
  ParamValueRef param_value(std::size_t i) const { return params_[i].value; }
  std::size_t input_count() const { return inputs_.size(); }
  NodeId input(std::size_t i) const { return inputs_[i]; }
  DescriptorRef descriptor_ref() const { return descriptor_; }
  std::size_t member_count() const { return members_.size(); }
  std::string_view member_token(std::size_t i) const { return members_[i].token; }
  std::span<const MemberRef> member_refs(std::size_t i) const {
    return {refs_.data() + members_[i].first_ref, members_[i].ref_count};
  }

  NodeKind kind_;
  std::string_view name_;
  SmallVector<Param, 8> params_;
  InputList inputs_;
  DescriptorRef descriptor_;
  std::vector<Member> members_;
  // Grown by push_back alone: reserving exactly for each member would reallocate once per member.
  std::vector<MemberRef> refs_;
};

}  // namespace veltrix
