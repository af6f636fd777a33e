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
    std::size_t first_ref;  // into `refs`, where each member owns a contiguous run
    std::size_t ref_count;
  };

  explicit BorrowedNode(NodeKind kind = NodeKind::Source) : kind_(kind) {}

  void reset(NodeKind kind) {
    kind_ = kind;
    name_text = {};
    params.clear();
    inputs.clear();
    descriptor = {};
    members.clear();
    refs.clear();
  }

  // NodeLike.
  NodeKind kind() const { return kind_; }
  std::string_view name() const { return name_text; }
  std::size_t param_count() const { return params.size(); }
  std::string_view param_key(std::size_t i) const { return params[i].key; }
  ParamValueRef param_value(std::size_t i) const { return params[i].value; }
  std::size_t input_count() const { return inputs.size(); }
  NodeId input(std::size_t i) const { return inputs[i]; }
  DescriptorRef descriptor_ref() const { return descriptor; }
  std::size_t member_count() const { return members.size(); }
  std::string_view member_token(std::size_t i) const { return members[i].token; }
  std::span<const MemberRef> member_refs(std::size_t i) const {
    return {refs.data() + members[i].first_ref, members[i].ref_count};
  }

  // The parts, filled in place by whoever reads the node; the kind is set by the constructor
  // or reset().
  std::string_view name_text;
  SmallVector<Param, 8> params;
  InputList inputs;
  DescriptorRef descriptor;
  std::vector<Member> members;
  // Grown by push_back alone: reserving exactly for each member would reallocate once per member.
  std::vector<MemberRef> refs;

 private:
  NodeKind kind_;
};

}  // namespace veltrix
