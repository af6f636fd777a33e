#include "optimizer/egraph_engine.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>

#include "egraph/egraph.h"
#include "egraph/pattern.h"
#include "egraph/symbol.h"
#include "optimizer/rewrite_rules.h"
#include "support/internal_failure.h"
#include "support/memory_blocks.h"
#include "support/result.h"
#include "support/small_vector.h"
#include "support/thread_pool.h"

namespace veltrix {
namespace {

using Clock = std::chrono::steady_clock;
constexpr TermIndex kNoTerm = std::numeric_limits<TermIndex>::max();
constexpr const char* kUnwrap = "called `Result::unwrap()` on an `Err` value";

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

egraph::Rewrite make_rule(const std::string& name, const std::string& searcher, const std::string& applier) {
  return expect_ok(egraph::Rewrite::create(name, expect_ok(egraph::TermPattern::parse(searcher), kUnwrap),
                                           expect_ok(egraph::TermPattern::parse(applier), kUnwrap)),
                   kUnwrap);
}

// Only Op symbols start with "op|"; every other kind stays a node of its own.
bool is_boundary_symbol(std::string_view symbol) { return !symbol.starts_with("op|"); }

}  // namespace

EGraphEngine::EGraphEngine() {
  rules_.reserve(kCommutativeOps.size() + kIdentityRules.size());
  for (std::string_view op : kCommutativeOps) {
    const std::string symbol = "op|" + std::string(op);
    rules_.push_back(make_rule("commute-" + std::string(op), "(" + symbol + " ?a ?b)", "(" + symbol + " ?b ?a)"));
  }
  for (std::size_t i = 0; i < kIdentityRules.size(); ++i) {
    rules_.push_back(
        make_rule("identity-" + std::to_string(i), "(" + identity_symbol(kIdentityRules[i]) + " ?x)", "?x"));
  }
}

EGraphEngine EGraphEngine::with_node_limit(std::size_t limit) {
  EGraphEngine engine;
  engine.fixed_node_limit_ = limit;
  return engine;
}

namespace {

// Each term's operator.
BlockVector<egraph::Symbol> term_operators(const TermList& terms) {
  TermOperators operators;
  BlockVector<egraph::Symbol> ops(terms.size());
  for (std::size_t i = 0; i < terms.size(); ++i) ops[i] = operators.of(terms.symbols(), terms.symbol(i));
  return ops;
}

// The result of extraction, written one representative term at a time, in term order.
class ExtractedTerms {
 public:
  explicit ExtractedTerms(const TermList& terms) : terms_(terms), boundary_(terms.symbols().size(), -1) {
    out_.terms.reserve(terms.size(), terms.child_count());
  }

  // Writes term `i` as its class's representative; its children are read through `result_of`,
  // which must know them already (every child precedes its parent: the load checked).
  TermIndex emit(std::size_t i, const BlockVector<TermIndex>& result_of) {
    const GraphTerm term = terms_[i];
    // Whether a symbol is a boundary, decided once per distinct symbol.
    std::int8_t& is_boundary = checked_at(boundary_, term.symbol);
    if (is_boundary < 0) is_boundary = is_boundary_symbol(terms_.symbols().view(term.symbol)) ? 1 : 0;
    const TermIndex emitted = out_.terms.begin_term(term.symbol, is_boundary != 0);
    for (TermIndex child : term.children) out_.terms.push_child(result_of[child]);
    return emitted;
  }

  RewriteResult finish(std::span<const TermIndex> outputs, const BlockVector<TermIndex>& result_of) {
    out_.roots.reserve(outputs.size());
    for (TermIndex output : outputs) out_.roots.push_back(checked_at(result_of, output));
    return std::move(out_);
  }

 private:
  const TermList& terms_;
  std::vector<std::int8_t> boundary_;
  RewriteResult out_{TermList(terms_.symbols()), {}, true};
};

// Scanning the terms in order, the first term met in a class is the class's representative; its
// children come earlier, so theirs are already known. Two result terms with one symbol and the
// same children would have congruent nodes, which the final rebuild merges into one class, and a
// class gives one term: the result needs no hash-consing.
RewriteResult extract(egraph::UnionFindTable& classes, const TermList& terms, std::span<const egraph::ClassId> recorded,
                      std::span<const TermIndex> outputs) {
  BlockVector<TermIndex> representative(classes.size(), kNoTerm);  // class root -> result position
  // Per term, the result position of its class, known once the term is scanned: a child's is
  // then one lookup by the child's own index, near the term in the common case.
  BlockVector<TermIndex> result_of(terms.size());
  ExtractedTerms out(terms);
  for (std::size_t i = 0; i < terms.size(); ++i) {
    TermIndex& slot = representative[classes.find_mut(recorded[i])];
    if (slot == kNoTerm) slot = out.emit(i, result_of);
    result_of[i] = slot;
  }
  return out.finish(outputs, result_of);
}

// Terms per chunk of extraction on the pool.
constexpr std::size_t kExtractGrain = 16384;

// Per term, the earliest term of its class (itself when it is the representative). The class
// roots are found and the representatives chosen in fixed chunks of terms on the pool: each term
// lowers its class's entry to its own index, so the entry ends at the smallest index whatever
// the order of the writes; a second pass, after every write, reads each term's entry.
BlockVector<TermIndex> earliest_of_class(const egraph::UnionFindTable& classes,
                                         std::span<const egraph::ClassId> recorded) {
  const std::size_t n = recorded.size();
  BlockVector<TermIndex> earliest(classes.size(), kNoTerm);  // class root -> its earliest term
  BlockVector<TermIndex> root_then_earliest(n);              // per term: its class root, then that class's earliest
  const std::size_t grain = chunk_grain(kExtractGrain);
  parallel_for(n, grain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const egraph::ClassId root = classes.find(recorded[i]);
      root_then_earliest[i] = root;
      std::atomic_ref<TermIndex> entry(earliest[root]);
      TermIndex seen = entry.load(std::memory_order_relaxed);
      while (i < seen && !entry.compare_exchange_weak(seen, static_cast<TermIndex>(i), std::memory_order_relaxed)) {
      }
    }
  });
  parallel_for(n, grain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) root_then_earliest[i] = earliest[root_then_earliest[i]];
  });
  return root_then_earliest;
}

// extract() with the class lookups on the pool (earliest_of_class); the result terms are then
// emitted in order on this thread, a term's position being its representative's. The result is
// the one extract() gives.
RewriteResult extract_in_parallel(const egraph::UnionFindTable& classes, const TermList& terms,
                                  std::span<const egraph::ClassId> recorded, std::span<const TermIndex> outputs) {
  // Per term: its class's earliest term, replaced in order by that term's result position (an
  // earlier entry, already replaced).
  BlockVector<TermIndex> result_of = earliest_of_class(classes, recorded);
  ExtractedTerms out(terms);
  for (std::size_t i = 0; i < terms.size(); ++i) {
    const TermIndex earliest = result_of[i];
    result_of[i] = earliest == i ? out.emit(i, result_of) : result_of[earliest];
  }
  return out.finish(outputs, result_of);
}

}  // namespace

// The signatures the rules search for are indexed as the terms go in, which costs less than a
// pass over the e-graph when the run starts. The recorded class of term i is the root of the
// class its add returned (a child index not below i is an internal failure there).
void EGraphEngine::track_rule_signatures(egraph::EGraph& graph) const {
  std::vector<egraph::Signature> signatures;
  for (const egraph::Rewrite& rule : rules_) {
    if (const std::optional<egraph::Signature> signature = rule.searcher().root_signature()) {
      signatures.push_back(*signature);
    }
  }
  graph.track_signatures(signatures);
}

std::vector<egraph::ClassId> EGraphEngine::load(egraph::EGraph& graph, const TermList& terms) const {
  track_rule_signatures(graph);
  const BlockVector<egraph::Symbol> ops = term_operators(terms);
  return graph.add_terms(egraph::TermArrays{ops, terms.child_ends(), terms.all_children()});
}

void EGraphEngine::load_published(const egraph::TermArrays& terms, const std::atomic<std::size_t>& published,
                                  const std::atomic<bool>& abandoned) {
  preloaded_.reset();
  const auto start = Clock::now();
  Preloaded loaded;
  track_rule_signatures(loaded.graph);
  try {
    loaded.recorded = loaded.graph.add_published_terms(terms, published, abandoned);
  } catch (const egraph::EGraph::TermsAbandoned&) {
    return;  // the builder's own failure is the one reported
  }
  loaded.seconds = seconds_between(start, Clock::now());
  preloaded_ = std::move(loaded);
}

RewriteResult EGraphEngine::rewrite(const TermList& terms, std::span<const TermIndex> outputs) {
  const auto load_start = Clock::now();
  egraph::EGraph graph;
  std::vector<egraph::ClassId> recorded;
  std::optional<double> preload_seconds;  // a load that overlapped the building of the terms
  if (preloaded_ && preloaded_->recorded.size() == terms.size()) {
    graph = std::move(preloaded_->graph);
    recorded = std::move(preloaded_->recorded);
    preload_seconds = preloaded_->seconds;
  } else {
    recorded = load(graph, terms);
  }
  preloaded_.reset();

  const std::size_t node_limit = fixed_node_limit_ ? *fixed_node_limit_ : 4 * terms.size() + 1024;
  const auto run_start = Clock::now();
  egraph::SaturationRunner runner;
  runner.with_egraph(std::move(graph)).with_iteration_limit(iteration_limit_).with_node_limit(node_limit);
  runner.run(rules_);
  const std::size_t egraph_nodes = runner.egraph().size();

  const auto extract_start = Clock::now();
  // Extraction reads only the class each recorded term ended in. The rest of the e-graph is freed
  // first, so that it is not still held while extraction and the later phases build their arrays.
  egraph::UnionFindTable classes = runner.take_egraph().take_classes();
  RewriteResult out = parallel_step(terms.size()) ? extract_in_parallel(classes, terms, recorded, outputs)
                                                  : extract(classes, terms, recorded, outputs);

  EngineRunSummary summary;
  summary.stop = runner.stop_reason().value_or(egraph::StopReason::saturated());
  summary.iterations = runner.iterations().size();
  summary.egraph_nodes = egraph_nodes;
  summary.node_limit = node_limit;
  summary.load_seconds = preload_seconds.value_or(seconds_between(load_start, run_start));
  summary.run_seconds = seconds_between(run_start, extract_start);
  summary.extract_seconds = seconds_between(extract_start, Clock::now());
  for (const egraph::IterationReport& iteration : runner.iterations()) {
    summary.search_seconds += iteration.search_time;
    summary.apply_seconds += iteration.apply_time;
    summary.rebuild_seconds += iteration.rebuild_time;
  }
  last_run_ = std::move(summary);
  return out;
}

}  // namespace veltrix
