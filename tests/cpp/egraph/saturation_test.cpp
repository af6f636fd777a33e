// End-to-end saturation checks with results known in closed form.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "egraph/runner.h"
#include "egraph_test_util.h"

namespace veltrix::egraph {
namespace {

using testing::rule;
using testing::sym;

std::vector<Rewrite> associative_commutative_plus() {
  return {rule("assoc-left", "(+ (+ ?a ?b) ?c)", "(+ ?a (+ ?b ?c))"),
          rule("assoc-right", "(+ ?a (+ ?b ?c))", "(+ (+ ?a ?b) ?c)"), rule("commute", "(+ ?a ?b)", "(+ ?b ?a)")};
}

// (+ (+ (+ x1 x2) x3) ... xn)
EGraph left_nested_sum(int n) {
  EGraph egraph;
  ClassId sum = egraph.add(SymbolLang(sym("x1")));
  for (int i = 2; i <= n; ++i) {
    const ClassId leaf = egraph.add(SymbolLang(sym("x" + std::to_string(i))));
    sum = egraph.add(SymbolLang(sym("+"), {sum, leaf}));
  }
  return egraph;
}

std::uint64_t power(std::uint64_t base, int exponent) {
  std::uint64_t out = 1;
  for (int i = 0; i < exponent; ++i) out *= base;
  return out;
}

class AssociativeCommutativeSum : public ::testing::TestWithParam<int> {};

// Every non-empty subset of the n leaves gets one class; a class of k >= 2 leaves holds one node
// per ordered split into two non-empty parts (2^k - 2), so the node total is
// n + sum_k C(n,k) (2^k - 2) = 3^n - 2^(n+1) + 1 + n.
TEST_P(AssociativeCommutativeSum, SaturatesToEveryOrderedSplitOfEverySubset) {
  const int n = GetParam();
  SaturationRunner runner;
  runner.with_egraph(left_nested_sum(n))
      .with_iteration_limit(10'000)
      .with_node_limit(10'000'000)
      .with_time_limit(std::chrono::seconds(600))
      .run(associative_commutative_plus());
  ASSERT_EQ(runner.stop_reason(), StopReason::saturated());
  const EGraph& egraph = runner.egraph();
  std::uint64_t nodes = 0;
  egraph.for_each_class([&](ClassId root) { nodes += egraph.class_nodes(root).size(); });
  EXPECT_EQ(egraph.class_count(), power(2, n) - 1);
  EXPECT_EQ(nodes, power(3, n) - power(2, n + 1) + 1 + static_cast<std::uint64_t>(n));
}

INSTANTIATE_TEST_SUITE_P(Sizes, AssociativeCommutativeSum, ::testing::Range(2, 8));

// A run cut short by the node limit ends in the same state every time.
TEST(AssociativeCommutativeSum, ARunCutShortIsRepeatable) {
  const auto run_once = [] {
    SaturationRunner runner;
    runner.with_egraph(left_nested_sum(6)).with_node_limit(150).run(associative_commutative_plus());
    std::vector<ClassId> partition;
    for (std::size_t id = 0; id < runner.egraph().id_count(); ++id) {
      partition.push_back(runner.egraph().find(static_cast<ClassId>(id)));
    }
    std::vector<std::vector<std::pair<Symbol, std::size_t>>> applied;
    for (const IterationReport& report : runner.iterations()) applied.push_back(report.applied);
    return std::make_tuple(*runner.stop_reason(), partition, applied);
  };
  const auto first = run_once();
  EXPECT_EQ(std::get<0>(first).kind, StopReason::Kind::NodeLimit);
  EXPECT_EQ(run_once(), first);
}

}  // namespace
}  // namespace veltrix::egraph
