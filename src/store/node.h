// The graph node: a tagged union of six kinds, and the accessors every node representation
// shares.
//
// Identity is the whole record, compared field by field in the order of the kind's fields:
// names and strings by bytes, inputs by position (never reordered), parameter maps entry by
// entry (param_map.h), descriptors field by field (an absent preprocessing reference differs
// from an empty one), stage members by token and references.
//
// Several representations of a node exist: Node owns its data; NodeView (node_table.h) reads a
// node stored compactly in a table; the Python layer describes a node with borrowed strings.
// Code that only reads a node is written against the NodeLike accessors so that it takes any of
// them without copying.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/param_map.h"
#include "support/small_vector.h"

namespace veltrix {

using NodeId = std::uint64_t;

enum class NodeKind : std::uint8_t { Source = 0, Op = 1, Reduction = 2, External = 3, Stage = 4, Exchange = 5 };
inline constexpr int kNodeKindCount = 6;

// "source", "op", "reduction", "external", "stage", "exchange".
std::string_view kind_name(NodeKind kind);

inline bool has_name(NodeKind kind) {
  return kind == NodeKind::Source || kind == NodeKind::Op || kind == NodeKind::Reduction;
}
inline bool has_params(NodeKind kind) { return kind != NodeKind::Stage; }
inline bool has_inputs(NodeKind kind) { return kind != NodeKind::Source; }

struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;

  friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;
};

// Borrowed form of a descriptor.
struct DescriptorRef {
  std::string_view kind;
  std::string_view content_hash;
  std::string_view framework;
  std::string_view version;
  std::string_view io_schema;
  std::optional<std::string_view> preprocessing_ref;

  static DescriptorRef of(const PayloadDescriptor& d) {
    DescriptorRef r{d.kind, d.content_hash, d.framework, d.version, d.io_schema, std::nullopt};
    if (d.preprocessing_ref) r.preprocessing_ref = std::string_view(*d.preprocessing_ref);
    return r;
  }
  PayloadDescriptor to_owned() const {
    PayloadDescriptor d{std::string(kind),    std::string(content_hash), std::string(framework),
                        std::string(version), std::string(io_schema),    std::nullopt};
    if (preprocessing_ref) d.preprocessing_ref = std::string(*preprocessing_ref);
    return d;
  }
  friend bool operator==(const DescriptorRef&, const DescriptorRef&) = default;
};

enum class MemberRefKind : std::uint8_t { Input = 0, Member = 1 };

// An operand of a stage member: a position in the stage's inputs, or an earlier member.
struct MemberRef {
  MemberRefKind kind = MemberRefKind::Input;
  std::uint64_t index = 0;

  friend bool operator==(const MemberRef&, const MemberRef&) = default;
};

struct StageMember {
  std::string token;
  std::vector<MemberRef> refs;

  friend bool operator==(const StageMember&, const StageMember&) = default;
};

using InputList = SmallVector<NodeId, 4>;

// Read access shared by every node representation.
template <class N>
concept NodeLike = requires(const N& n, std::size_t i) {
  { n.kind() } -> std::same_as<NodeKind>;
  { n.name() } -> std::convertible_to<std::string_view>;  // "" for kinds without a name
  { n.param_count() } -> std::convertible_to<std::size_t>;
  { n.param_key(i) } -> std::convertible_to<std::string_view>;
  { n.param_value(i) } -> std::same_as<ParamValueRef>;
  { n.input_count() } -> std::convertible_to<std::size_t>;
  { n.input(i) } -> std::convertible_to<NodeId>;
  { n.descriptor_ref() } -> std::same_as<DescriptorRef>;  // External only
  { n.member_count() } -> std::convertible_to<std::size_t>;
  { n.member_token(i) } -> std::convertible_to<std::string_view>;
  { n.member_refs(i) } -> std::convertible_to<std::span<const MemberRef>>;
};

class Node {
 public:
  static Node source(std::string name, ParamMap params);
  static Node op(std::string name, ParamMap params, InputList inputs);
  static Node reduction(std::string name, ParamMap params, InputList inputs);
  static Node external(PayloadDescriptor descriptor, ParamMap params, InputList inputs);
  static Node stage(InputList inputs, std::vector<StageMember> members);
  static Node exchange(ParamMap params, InputList inputs);

  // An owned copy of any node representation.
  template <NodeLike N>
  static Node copy_of(const N& node);

  Node(const Node& other);
  Node& operator=(const Node& other);
  Node(Node&&) noexcept = default;
  Node& operator=(Node&&) noexcept = default;
  ~Node() = default;

  NodeKind kind() const { return kind_; }
  std::string_view name() const { return name_; }
  const ParamMap& params() const { return params_; }
  std::span<const NodeId> inputs() const { return inputs_; }
  const PayloadDescriptor& descriptor() const;  // External only
  const std::vector<StageMember>& members() const { return members_; }

  // A copy with its inputs replaced; every other field unchanged. A Source has no inputs, so the
  // given list is discarded.
  Node with_inputs(std::span<const NodeId> inputs) const;

  // NodeLike accessors.
  std::size_t param_count() const { return params_.size(); }
  std::string_view param_key(std::size_t i) const { return params_[i].key; }
  ParamValueRef param_value(std::size_t i) const { return params_[i].value.ref(); }
  std::size_t input_count() const { return inputs_.size(); }
  NodeId input(std::size_t i) const { return inputs_[i]; }
  DescriptorRef descriptor_ref() const { return DescriptorRef::of(descriptor()); }
  std::size_t member_count() const { return members_.size(); }
  std::string_view member_token(std::size_t i) const { return members_[i].token; }
  std::span<const MemberRef> member_refs(std::size_t i) const { return members_[i].refs; }

  friend bool operator==(const Node& a, const Node& b);

 private:
  explicit Node(NodeKind kind) : kind_(kind) {}

  NodeKind kind_;
  std::string name_;
  ParamMap params_;
  InputList inputs_;
  std::unique_ptr<PayloadDescriptor> descriptor_;  // boxed: rare, and six strings are large
  std::vector<StageMember> members_;
};

// Structural identity across representations.
template <NodeLike A, NodeLike B>
bool same_node(const A& a, const B& b);

}  // namespace veltrix

#include "store/node.inl"
