// The six counters a reduction reports.
#pragma once

#include <cstdint>

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

}  // namespace veltrix
