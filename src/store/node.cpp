#include "store/node.h"

#include "support/internal_failure.h"

namespace veltrix {

std::string_view kind_name(NodeKind kind) {
  switch (kind) {
    case NodeKind::Source: return "source";
    case NodeKind::Op: return "op";
    case NodeKind::Reduction: return "reduction";
    case NodeKind::External: return "external";
    case NodeKind::Stage: return "stage";
    case NodeKind::Exchange: return "exchange";
  }
  internal_failure("unknown node kind");
}

Node Node::source(std::string name, ParamMap params) {
  Node n(NodeKind::Source);
  n.name_ = std::move(name);
  n.params_ = std::move(params);
  return n;
}

Node Node::op(std::string name, ParamMap params, InputList inputs) {
  Node n(NodeKind::Op);
  n.name_ = std::move(name);
  n.params_ = std::move(params);
  n.inputs_ = std::move(inputs);
  return n;
}

Node Node::reduction(std::string name, ParamMap params, InputList inputs) {
  Node n = op(std::move(name), std::move(params), std::move(inputs));
  n.kind_ = NodeKind::Reduction;
  return n;
}

Node Node::external(PayloadDescriptor descriptor, ParamMap params, InputList inputs) {
  Node n(NodeKind::External);
  n.descriptor_ = std::make_unique<PayloadDescriptor>(std::move(descriptor));
  n.params_ = std::move(params);
  n.inputs_ = std::move(inputs);
  return n;
}

Node Node::stage(InputList inputs, std::vector<StageMember> members) {
  Node n(NodeKind::Stage);
  n.inputs_ = std::move(inputs);
  n.members_ = std::move(members);
  return n;
}

Node Node::exchange(ParamMap params, InputList inputs) {
  Node n(NodeKind::Exchange);
  n.params_ = std::move(params);
  n.inputs_ = std::move(inputs);
  return n;
}

Node::Node(const Node& other)
    : kind_(other.kind_),
      name_(other.name_),
      params_(other.params_),
      inputs_(other.inputs_),
      descriptor_(other.descriptor_ ? std::make_unique<PayloadDescriptor>(*other.descriptor_) : nullptr),
      members_(other.members_) {}

Node& Node::operator=(const Node& other) {
  if (this != &other) *this = Node(other);
  return *this;
}

const PayloadDescriptor& Node::descriptor() const {
  if (!descriptor_) internal_failure("descriptor of a node that is not an External");
  return *descriptor_;
}

Node Node::with_inputs(std::span<const NodeId> inputs) const {
  Node copy(*this);
  if (kind_ != NodeKind::Source) copy.inputs_ = InputList(inputs);
  return copy;
}

bool operator==(const Node& a, const Node& b) { return same_node(a, b); }

}  // namespace veltrix
