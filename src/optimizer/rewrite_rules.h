// The rewrite rules of reduction, as one typed table: the binary ops whose two operands commute,
// and the identity forms (an op with a scalar that leaves its one input as it is). The e-graph
// engine builds its patterns from this table, the incremental reducer tests nodes against it,
// and the package reads it (veltrix_core.rules), so there is one copy of each rule.
//
// A commutative op is an Op of one of these names with exactly two inputs and no params. An
// identity form is an Op of the given name with exactly one input and exactly the params
// {scalar: the given Float, side: "r" or "l"}, compared by identity (bits), so 0 or -0.0 as the
// scalar is not an identity.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

#include "store/node.h"

namespace veltrix {

struct IdentityRule {
  std::string_view op;
  double scalar;
  std::string_view side;
};

inline constexpr std::array<std::string_view, 8> kCommutativeOps = {"add", "mul", "and",     "or",
                                                                    "eq",  "ne",  "maximum", "minimum"};
inline constexpr std::array<IdentityRule, 4> kIdentityRules = {{
    {"add", 0.0, "r"},
    {"add", 0.0, "l"},
    {"mul", 1.0, "r"},
    {"mul", 1.0, "l"},
}};

// The term symbol of an identity form (the e-graph operator its pattern matches).
std::string identity_symbol(const IdentityRule& rule);

template <NodeLike N>
bool is_commutative_op(const N& node) {
  if (node.kind() != NodeKind::Op || node.input_count() != 2 || node.param_count() != 0) return false;
  for (std::string_view op : kCommutativeOps) {
    if (node.name() == op) return true;
  }
  return false;
}

// Params are stored in key order, so "scalar" comes before "side".
template <NodeLike N>
bool is_identity_op(const N& node) {
  if (node.kind() != NodeKind::Op || node.input_count() != 1 || node.param_count() != 2) return false;
  if (node.param_key(0) != "scalar" || node.param_key(1) != "side") return false;
  const ParamValueRef scalar = node.param_value(0);
  const ParamValueRef side = node.param_value(1);
  if (scalar.tag != ParamTag::Float || side.tag != ParamTag::Str) return false;
  for (const IdentityRule& rule : kIdentityRules) {
    if (node.name() == rule.op && scalar.bits == std::bit_cast<std::uint64_t>(rule.scalar) && side.text == rule.side) {
      return true;
    }
  }
  return false;
}

}  // namespace veltrix
