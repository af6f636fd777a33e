// EGraphEngine: its rules, the shape of its result, and runs cut short by a limit or slowed by
// the ban scheduler.
#include "optimizer/egraph_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "egraph/symbol.h"
#include "optimizer/reduction_test_util.h"
#include "support/thread_pool.h"

namespace veltrix {
namespace {

using namespace veltrix::testing;

// "<prefix><i>", appended rather than concatenated: GCC 12 at -O3 warns wrongly about
// `"text" + std::to_string(i)`.
std::string numbered(std::string prefix, std::size_t i) {
  prefix += std::to_string(i);
  return prefix;
}

struct Terms {
  SymbolTexts texts;
  TermList list{texts};
  TermIndex add(std::string_view symbol, std::vector<TermIndex> children = {}) {
    return list.append(texts.intern(symbol).first, children, !symbol.starts_with("op|"));
  }
};

// The result must be a subsequence of the input, children before parents, one root per output.
void expect_valid_result(const TermList& input, const RewriteResult& result, std::size_t outputs) {
  ASSERT_LE(result.terms.size(), input.size());
  ASSERT_EQ(result.roots.size(), outputs);
  std::size_t at = 0;
  for (std::size_t j = 0; j < result.terms.size(); ++j) {
    while (at < input.size() && input.symbol(at) != result.terms.symbol(j)) ++at;
    ASSERT_LT(at, input.size()) << "result term " << j << " is not in input order";
    ++at;
    EXPECT_EQ(result.terms.is_boundary(j), !result.terms.symbol_text(j).starts_with("op|"));
    for (TermIndex child : result.terms.children(j)) EXPECT_LT(child, j);
  }
  for (TermIndex root : result.roots) EXPECT_LT(root, result.terms.size());
}

TEST(EGraphEngine, TwelveRulesInOrder) {
  const EGraphEngine engine;
  std::vector<std::string> names;
  for (const egraph::Rewrite& rule : engine.rules()) names.emplace_back(egraph::resolve_symbol(rule.name()));
  EXPECT_EQ(names, (std::vector<std::string>{"commute-add", "commute-mul", "commute-and", "commute-or", "commute-eq",
                                             "commute-ne", "commute-maximum", "commute-minimum", "identity-0",
                                             "identity-1", "identity-2", "identity-3"}));
  const char* identity_searchers[] = {
      "(op|add|scalar=f0000000000000000;side=sr ?x)", "(op|add|scalar=f0000000000000000;side=sl ?x)",
      "(op|mul|scalar=f3ff0000000000000;side=sr ?x)", "(op|mul|scalar=f3ff0000000000000;side=sl ?x)"};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(engine.rules()[8 + i].searcher().debug_string(), identity_searchers[i]);
}

TEST(EGraphEngine, EmptyTermList) {
  Terms t;
  EGraphEngine engine;
  const RewriteResult result = engine.rewrite(t.list, {});
  EXPECT_TRUE(result.terms.empty());
  EXPECT_TRUE(result.roots.empty());
}

TEST(EGraphEngine, KeepsTheEarliestTermOfEachClass) {
  Terms t;
  const TermIndex a = t.add("src|a"), b = t.add("src|b");
  const TermIndex ab = t.add("op|add", {a, b});
  const TermIndex ba = t.add("op|add", {b, a});
  t.add("op|neg", {ba});  // neg(add(b, a)) comes first
  const TermIndex neg_ab = t.add("op|neg", {ab});
  const TermIndex same = t.add("op|mul|scalar=f3ff0000000000000;side=sl", {neg_ab});
  const std::vector<TermIndex> outputs = {same, neg_ab, ab};
  EGraphEngine engine;
  const RewriteResult result = engine.rewrite(t.list, outputs);
  expect_valid_result(t.list, result, outputs.size());
  // a, b, add(a, b), and neg(add(b, a)) standing for both negations (it came first).
  ASSERT_EQ(result.terms.size(), 4u);
  EXPECT_EQ(result.terms.symbol_text(3), "op|neg");
  EXPECT_EQ(std::vector<TermIndex>(result.terms.children(3).begin(), result.terms.children(3).end()),
            std::vector<TermIndex>{2});
  EXPECT_EQ(result.roots, (std::vector<TermIndex>{3, 3, 2}));
  EXPECT_EQ(engine.last_run()->stop.kind, egraph::StopReason::Kind::Saturated);
}

TEST(EGraphEngine, ContractViolationsAreInternalFailures) {
  Terms t;
  t.add("src|a");
  t.add("op|neg", {1});
  EGraphEngine engine;
  EXPECT_EQ(failure_message([&] { engine.rewrite(t.list, {}); }),
            "index out of bounds: the len is 1 but the index is 1");
  Terms u;
  u.add("src|a");
  const std::vector<TermIndex> outputs = {1};
  EXPECT_EQ(failure_message([&] { engine.rewrite(u.list, outputs); }),
            "index out of bounds: the len is 1 but the index is 1");
}

// Adds over distinct leaves, every one of them recorded in both operand orders when `twins`:
// then every pair can merge and commuting adds no e-node; otherwise every commutation adds one.
Terms commuted_adds(std::size_t count, bool twins, std::vector<TermIndex>& outputs) {
  Terms t;
  for (std::size_t i = 0; i < count; ++i) {
    const TermIndex a = t.add(numbered("src|a", i)), b = t.add(numbered("src|b", i));
    outputs.push_back(t.add("op|add", {a, b}));
    if (twins) outputs.push_back(t.add("op|add", {b, a}));
  }
  return t;
}

TEST(EGraphEngine, NodeLimitStillGivesAValidResult) {
  std::vector<TermIndex> outputs;
  const Terms t = commuted_adds(500, false, outputs);
  EGraphEngine engine = EGraphEngine::with_node_limit(t.list.size() + 10);
  const RewriteResult result = engine.rewrite(t.list, outputs);
  expect_valid_result(t.list, result, outputs.size());
  EXPECT_EQ(engine.last_run()->stop.kind, egraph::StopReason::Kind::NodeLimit);
  EXPECT_EQ(result.terms.size(), t.list.size());  // nothing to merge, and nothing invented

  // And the pipeline turns such a result into a well-formed graph.
  std::vector<Node> nodes;
  std::vector<NodeId> node_outputs;
  for (int i = 0; i < 300; ++i) {
    const NodeId a = nodes.size();
    nodes.push_back(src(numbered("a", i)));
    nodes.push_back(src(numbered("b", i)));
    nodes.push_back(op("add", {a, a + 1}));
    nodes.push_back(op("add", {a + 1, a}));
    nodes.push_back(op("mul", {a + 2, a + 3}));
    node_outputs.push_back(a + 4);
  }
  EGraphEngine limited = EGraphEngine::with_node_limit(nodes.size());
  const ReducedGraph reduced = reduce_graph(table_of(nodes), node_outputs, limited, false);
  EXPECT_EQ(limited.last_run()->stop.kind, egraph::StopReason::Kind::NodeLimit);
  expect_well_formed(reduced);
  EXPECT_LT(reduced.report.reduced_nodes, nodes.size());
}

TEST(EGraphEngine, ThousandsOfCommutedPairsOutlastTheBans) {
  // 6000 matches of commute-add exceed the scheduler's first thresholds; it is banned and
  // retried with doubled budgets until it runs, all within the iteration limit.
  std::vector<TermIndex> outputs;
  const Terms t = commuted_adds(3000, true, outputs);
  EGraphEngine engine;
  const RewriteResult result = engine.rewrite(t.list, outputs);
  expect_valid_result(t.list, result, outputs.size());
  EXPECT_GT(engine.last_run()->iterations, 2u);
  EXPECT_EQ(result.terms.size(), t.list.size() - 3000);
  for (std::size_t i = 0; i < outputs.size(); i += 2) EXPECT_EQ(result.roots[i], result.roots[i + 1]);
}

TEST(EGraphEngine, RandomTermsGiveValidResults) {
  std::mt19937_64 rng(7);
  const char* const symbols[] = {"src|x",
                                 "src|y",
                                 "op|add",
                                 "op|mul",
                                 "op|sub",
                                 "op|neg",
                                 "op|add|scalar=f0000000000000000;side=sr",
                                 "op|mul|scalar=f3ff0000000000000;side=sl",
                                 "red|sum",
                                 "op|maximum"};
  for (int round = 0; round < 50; ++round) {
    Terms t;
    t.add("src|x");
    const std::size_t n = 2 + rng() % 200;
    for (std::size_t i = 1; i < n; ++i) {
      const char* symbol = symbols[rng() % std::size(symbols)];
      const std::string_view s(symbol);
      const std::size_t arity = s.starts_with("src")                                                     ? 0
                                : (s == "op|add" || s == "op|mul" || s == "op|sub" || s == "op|maximum") ? 2
                                                                                                         : 1;
      std::vector<TermIndex> children;
      for (std::size_t k = 0; k < arity; ++k) children.push_back(static_cast<TermIndex>(rng() % i));
      t.add(symbol, children);
    }
    std::vector<TermIndex> outputs;
    for (int k = 0; k < 4; ++k) outputs.push_back(static_cast<TermIndex>(rng() % n));
    EGraphEngine engine;
    expect_valid_result(t.list, engine.rewrite(t.list, outputs), outputs.size());
  }
}

// Large enough for every step of the run on the pool: more adds than min_parallel_items() (one
// search over that many classes), as many classes touched by the first commutation, and as many
// terms to extract. The run on the pool gives the sequential run's result and summary.
TEST(ParallelEGraphEngine, GivesTheSequentialResult) {
  std::mt19937_64 rng(11);
  Terms t;
  const std::size_t n = 2 * min_parallel_items() + 5000;
  for (std::size_t i = 0; i < 64; ++i) t.add(numbered("src|s", i));
  for (std::size_t i = 64; i < n; ++i) {
    const auto pick = [&] { return static_cast<TermIndex>(rng() % i); };
    const std::uint64_t kind = rng() % 20;
    if (kind < 12) {
      t.add("op|add", {pick(), pick()});
    } else if (kind < 14) {
      t.add("op|mul", {pick(), pick()});
    } else if (kind < 17) {
      t.add(kind == 16 ? "op|mul|scalar=f3ff0000000000000;side=sl" : "op|add|scalar=f0000000000000000;side=sr",
            {pick()});
    } else {
      t.add("op|neg", {pick()});
    }
  }
  std::vector<TermIndex> outputs;
  for (int k = 0; k < 32; ++k) outputs.push_back(static_cast<TermIndex>(n - 1 - rng() % 1000));

  EGraphEngine parallel;
  EGraphEngine sequential;
  const RewriteResult got = parallel.rewrite(t.list, outputs);
  const RewriteResult want = [&] {
    const SequentialSteps one_thread;
    return sequential.rewrite(t.list, outputs);
  }();
  expect_valid_result(t.list, want, outputs.size());
  ASSERT_EQ(got.terms.size(), want.terms.size());
  EXPECT_LT(want.terms.size(), t.list.size());
  for (std::size_t j = 0; j < want.terms.size(); ++j) {
    ASSERT_EQ(got.terms.symbol(j), want.terms.symbol(j)) << j;
    ASSERT_EQ(got.terms.is_boundary(j), want.terms.is_boundary(j)) << j;
    const std::span<const TermIndex> a = got.terms.children(j);
    const std::span<const TermIndex> b = want.terms.children(j);
    ASSERT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end())) << j;
  }
  EXPECT_EQ(got.roots, want.roots);
  EXPECT_EQ(parallel.last_run()->stop, sequential.last_run()->stop);
  EXPECT_EQ(parallel.last_run()->iterations, sequential.last_run()->iterations);
  EXPECT_EQ(parallel.last_run()->egraph_nodes, sequential.last_run()->egraph_nodes);
}

}  // namespace
}  // namespace veltrix
