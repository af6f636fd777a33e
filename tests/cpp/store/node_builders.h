// Short constructors for nodes in tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "store/node.h"

namespace veltrix::testing {

inline ParamMap params(std::vector<std::pair<std::string, ParamValue>> entries) {
  std::vector<ParamEntry> list;
  for (auto& [key, value] : entries) list.push_back(ParamEntry{key, std::move(value)});
  return ParamMap::from_entries(std::move(list));
}

inline ParamValue I(std::int64_t v) { return ParamValue::from_int(v); }
inline ParamValue F(double v) { return ParamValue::from_float(v); }
inline ParamValue B(bool v) { return ParamValue::from_bool(v); }
inline ParamValue S(std::string v) { return ParamValue::from_str(std::move(v)); }

inline Node src(std::string name, ParamMap p = {}) { return Node::source(std::move(name), std::move(p)); }
inline Node op(std::string name, InputList inputs, ParamMap p = {}) {
  return Node::op(std::move(name), std::move(p), std::move(inputs));
}
inline Node red(std::string name, InputList inputs, ParamMap p = {}) {
  return Node::reduction(std::move(name), std::move(p), std::move(inputs));
}
inline PayloadDescriptor descriptor(std::optional<std::string> preprocessing_ref = std::nullopt,
                                    std::string io_schema = "s") {
  return PayloadDescriptor{"k", "h", "f", "v", std::move(io_schema), std::move(preprocessing_ref)};
}

}  // namespace veltrix::testing
