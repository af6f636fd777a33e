#include "optimizer/rewrite_rules.h"

#include "store/term_encoding.h"

namespace veltrix {

std::string identity_symbol(const IdentityRule& rule) {
  std::vector<ParamEntry> params = {{"scalar", ParamValue::from_float(rule.scalar)},
                                    {"side", ParamValue::from_str(std::string(rule.side))}};
  return encode_symbol(Node::op(std::string(rule.op), ParamMap::from_entries(std::move(params)), {0}));
}

}  // namespace veltrix
