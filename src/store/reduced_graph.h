// What a reduction produces before it becomes a store: nodes whose inputs are positions in the
// same list, the output positions, and the six report counters.
#pragma once

#include <cstdint>
#include <vector>

#include "store/node.h"

namespace veltrix {

struct ReductionReport {
  std::uint64_t input_nodes = 0;
  std::uint64_t reachable_nodes = 0;
  std::uint64_t canonical_nodes = 0;
  std::uint64_t stages = 0;
  std::uint64_t reduced_nodes = 0;
  std::uint64_t boundary_nodes = 0;

  friend bool operator==(const ReductionReport&, const ReductionReport&) = default;
};

struct ReducedGraph {
  std::vector<Node> nodes;
  std::vector<std::uint64_t> outputs;
  ReductionReport report;
};

}  // namespace veltrix
