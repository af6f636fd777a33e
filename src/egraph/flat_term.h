// FlatTerm: a term stored as a flat array of nodes whose children are indices of earlier entries.
//
// Children always precede their parents and the last entry is the root, so a forward walk visits
// every sub-term after its children. Appending never deduplicates; compaction is a separate step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "support/internal_failure.h"

namespace veltrix::egraph {

template <class Node>
class FlatTerm {
 public:
  using Index = std::uint32_t;

  // Appends a node and returns its index.
  Index add(Node node) {
    const auto index = static_cast<Index>(nodes_.size());
    nodes_.push_back(std::move(node));
    return index;
  }

  std::size_t size() const { return nodes_.size(); }
  bool empty() const { return nodes_.empty(); }
  const Node& operator[](std::size_t i) const { return checked_at(nodes_, i); }
  const Node& root() const {
    if (nodes_.empty()) internal_failure("an empty term has no root");
    return nodes_.back();
  }
  std::span<const Node> nodes() const { return nodes_; }
  auto begin() const { return nodes_.begin(); }
  auto end() const { return nodes_.end(); }

  friend bool operator==(const FlatTerm&, const FlatTerm&) = default;

 private:
  std::vector<Node> nodes_;
};

}  // namespace veltrix::egraph
