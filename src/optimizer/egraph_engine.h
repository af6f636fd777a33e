// EGraphEngine: the rewrite engine of the reduction pipeline, by equality saturation.
//
// It loads the terms into an e-graph, runs twelve sound rules (commutativity of eight binary ops
// without params, and the four identity ops that add 0.0 or multiply by 1.0 on either side; the
// table is rewrite_rules.h) and
// returns, for every class the terms fall into, the earliest term of that class with its
// children redirected to the earliest terms of theirs. It never invents a term: the result is a
// subset of the input, in input order, and an Op never changes its symbol.
//
// The run is bounded three ways so that a reduction always finishes: 12 iterations, an e-graph
// of at most 4 x terms + 1024 e-nodes, and the runner's default 5 seconds. Reaching a limit is
// not a failure: every merge made until then is sound, so the result is valid, merely less
// reduced. Only the time limit makes a result depend on the machine.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "egraph/rewrite.h"
#include "egraph/runner.h"
#include "egraph/symbol.h"
#include "optimizer/rewrite_engine.h"

namespace veltrix {

// What the last rewrite call did; for benchmarks and tests, never part of a result.
struct EngineRunSummary {
  egraph::StopReason stop;
  std::size_t iterations = 0;
  std::size_t egraph_nodes = 0;  // the e-graph's size when the run stopped
  std::size_t node_limit = 0;
  double load_seconds = 0;     // adding the terms
  double run_seconds = 0;      // the saturation run, of which:
  double search_seconds = 0;   //   matching, over all iterations
  double apply_seconds = 0;    //   applying the matches
  double rebuild_seconds = 0;  //   congruence repair
  double extract_seconds = 0;  // building the result terms
};

// The e-graph operator of each symbol of a run, interned (process-wide) the first time it is
// asked for.
class TermOperators {
 public:
  egraph::Symbol of(const SymbolTexts& texts, SymbolId symbol) {
    if (symbol >= operators_.size()) operators_.resize(std::size_t{symbol} + 1);
    egraph::Symbol& op = operators_[symbol];
    if (op.value == 0) op = egraph::intern_symbol(texts.view(symbol));
    return op;
  }

 private:
  std::vector<egraph::Symbol> operators_;
};

class EGraphEngine final : public RewriteEngine {
 public:
  static constexpr std::size_t kIterationLimit = 12;

  EGraphEngine();

  // A fixed e-node limit instead of 4 x terms + 1024, so that tests can reach the limit with a
  // small graph.
  static EGraphEngine with_node_limit(std::size_t limit);
  // Another iteration limit than 12, so that tests and result checks can stop a run early.
  void set_iteration_limit(std::size_t limit) { iteration_limit_ = limit; }

  RewriteResult rewrite(const TermList& terms, std::span<const TermIndex> outputs) override;

  // Loading while the terms are still being built, on another thread: the builder writes each
  // term's operator into `ops` and its children into the list's arrays, all reserved in full, and
  // raises `published` past the terms it has finished. The next rewrite() of those terms starts
  // from the e-graph loaded here. If the builder gives up (`abandoned`), nothing is kept.
  void load_published(const egraph::TermArrays& terms, const std::atomic<std::size_t>& published,
                      const std::atomic<bool>& abandoned);

  std::span<const egraph::Rewrite> rules() const { return rules_; }
  const std::optional<EngineRunSummary>& last_run() const { return last_run_; }

 private:
  // Adds the terms to an empty e-graph; the class each term's add returned, per term.
  std::vector<egraph::ClassId> load(egraph::EGraph& graph, const TermList& terms) const;

  // The signatures the rules search for, tracked from the first term on.
  void track_rule_signatures(egraph::EGraph& graph) const;

  // What load_published loaded, for the next rewrite().
  struct Preloaded {
    egraph::EGraph graph;
    std::vector<egraph::ClassId> recorded;
    double seconds = 0;
  };

  std::vector<egraph::Rewrite> rules_;
  std::optional<Preloaded> preloaded_;
  std::optional<std::size_t> fixed_node_limit_;
  std::size_t iteration_limit_ = kIterationLimit;
  std::optional<EngineRunSummary> last_run_;
};

}  // namespace veltrix
