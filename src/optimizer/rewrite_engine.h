// RewriteEngine: the equality-saturation step of the reduction pipeline, behind an interface so
// that the pipeline does not depend on how terms are found equal.
//
// Contract that reduce_graph relies on. Given terms whose children precede them and a list of
// output positions, rewrite returns result terms and one root per output (same order, repeats
// kept) such that:
//   - every result child and every root is a position in the result list, and every child
//     precedes its parent;
//   - every result term carries its is_boundary flag;
//   - each root computes the same value as the output it stands for.
// The pipeline holds the engine for one call and keeps nothing from it.
#pragma once

#include <span>
#include <vector>

#include "optimizer/graph_term.h"

namespace veltrix {

struct RewriteResult {
  TermList terms;
  std::vector<TermIndex> roots;
  // Set by an engine that guarantees no two result terms have the same symbol and children; the
  // pipeline then has nothing to hash-cons and skips that step.
  bool distinct_terms = false;
};

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  virtual RewriteResult rewrite(const TermList& terms, std::span<const TermIndex> outputs) = 0;
};

}  // namespace veltrix
