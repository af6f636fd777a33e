#include "egraph/runner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "egraph/ban_scheduler.h"
#include "egraph_test_util.h"

namespace veltrix::egraph {
namespace {

using testing::add_term;
using testing::failure_message;
using testing::rule;
using testing::sym;

// An e-graph with `count` classes holding one unary f node each (plus their leaves).
EGraph with_f_nodes(std::size_t count) {
  EGraph egraph;
  for (std::size_t i = 0; i < count; ++i) add_term(egraph, "(f x" + std::to_string(i) + ")");
  egraph.rebuild();
  return egraph;
}

// f(x) => f(h(x)) adds two nodes per f class and iteration, so it never saturates.
std::vector<Rewrite> growing_rules() { return {rule("grow", "(f ?x)", "(f (h ?x))")}; }

TEST(SaturationRunner, AnEmptyRuleListSaturatesAfterOneIteration) {
  SaturationRunner runner;
  runner.with_egraph(with_f_nodes(3)).run({});
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  EXPECT_TRUE(runner.iterations()[0].applied.empty());
}

TEST(SaturationRunner, ANodeLimitBelowTheStartingSizeStopsBeforeAnySearch) {
  EGraph egraph;
  add_term(egraph, "(f a)");
  add_term(egraph, "(f b)");
  SaturationRunner runner;
  runner.with_egraph(std::move(egraph)).with_node_limit(3).run(growing_rules());
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason::node_limit(4));
  EXPECT_EQ(runner.iterations()[0].stop_reason, StopReason::node_limit(4));
  EXPECT_EQ(runner.scheduler().stats_count(), 0u) << "no rule was searched";
  EXPECT_TRUE(runner.egraph().is_clean());
}

TEST(SaturationRunner, TheIterationLimitCountsReports) {
  SaturationRunner runner;
  runner.with_egraph(with_f_nodes(1)).with_iteration_limit(3).run(growing_rules());
  EXPECT_EQ(runner.stop_reason(), StopReason::iteration_limit(3));
  ASSERT_EQ(runner.iterations().size(), 3u);
  EXPECT_FALSE(runner.iterations()[2].stop_reason.has_value()) << "the limit is found after the third report";
  EXPECT_EQ(runner.iterations()[1].applied, (std::vector<std::pair<Symbol, std::size_t>>{{sym("grow"), 1}}));
  EXPECT_TRUE(runner.egraph().is_clean());
}

TEST(SaturationRunner, TheDefaultIterationLimitIsThirty) {
  SaturationRunner runner;
  runner.with_egraph(with_f_nodes(1)).with_node_limit(1'000'000).run(growing_rules());
  EXPECT_EQ(runner.stop_reason(), StopReason::iteration_limit(30));
  EXPECT_EQ(runner.iterations().size(), 30u);
}

TEST(SaturationRunner, LimitsAreCheckedTimeThenNodesThenIterations) {
  SaturationRunner both;
  both.with_egraph(with_f_nodes(2)).with_node_limit(0).with_iteration_limit(0).run(growing_rules());
  EXPECT_EQ(both.stop_reason(), StopReason::node_limit(4));

  SaturationRunner iterations;
  iterations.with_egraph(with_f_nodes(2)).with_iteration_limit(0).run(growing_rules());
  EXPECT_EQ(iterations.stop_reason(), StopReason::iteration_limit(0));
  EXPECT_EQ(iterations.iterations().size(), 1u);

  SaturationRunner timed;
  timed.with_egraph(with_f_nodes(2))
      .with_time_limit(std::chrono::nanoseconds(-1))
      .with_node_limit(0)
      .with_iteration_limit(0)
      .run(growing_rules());
  ASSERT_TRUE(timed.stop_reason().has_value());
  EXPECT_EQ(timed.stop_reason()->kind, StopReason::Kind::TimeLimit);
  EXPECT_GE(timed.stop_reason()->seconds, 0.0);
  EXPECT_EQ(timed.iterations().size(), 1u);
}

TEST(SaturationRunner, ANodeLimitReachedMidRunStillLeavesACleanEGraph) {
  SaturationRunner runner;
  runner.with_egraph(with_f_nodes(5)).with_node_limit(40).run(growing_rules());
  ASSERT_TRUE(runner.stop_reason().has_value());
  EXPECT_EQ(runner.stop_reason()->kind, StopReason::Kind::NodeLimit);
  EXPECT_GT(runner.stop_reason()->count, 40u);
  EXPECT_TRUE(runner.egraph().is_clean());
}

TEST(SaturationRunner, DuplicateRuleNamesWarnAndShareOneRecord) {
  std::vector<Rewrite> rules = {rule("dup", "(f ?x)", "(g ?x)"), rule("other", "(f ?x)", "(h ?x)"),
                                rule("dup", "(f ?x)", "(k ?x)")};
  SaturationRunner runner;
  ::testing::internal::CaptureStderr();
  runner.with_egraph(with_f_nodes(2)).run(rules);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
            "Rule 'dup' appears 2 times\n");
  EXPECT_EQ(runner.scheduler().stats_count(), 2u);
  // Both "dup" rules apply in the first iteration and add up in one entry, listed first.
  EXPECT_EQ(runner.iterations()[0].applied,
            (std::vector<std::pair<Symbol, std::size_t>>{{sym("dup"), 4}, {sym("other"), 2}}));
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
}

TEST(SaturationRunner, ARunnerRunsOnce) {
  SaturationRunner runner;
  runner.with_egraph(with_f_nodes(1)).run({});
  EXPECT_EQ(failure_message([&] { runner.run({}); }), "assertion failed: self.stop_reason.is_none()");
}

TEST(SaturationRunner, TheEGraphComesBackWithClassesFoundByFind) {
  EGraph egraph;
  const ClassId ab = add_term(egraph, "(+ a b)");
  const ClassId ba = add_term(egraph, "(+ b a)");
  const ClassId neg = add_term(egraph, "(neg (+ b a))");
  const ClassId neg_ab = add_term(egraph, "(neg (+ a b))");
  SaturationRunner runner;
  runner.with_egraph(std::move(egraph)).with_iteration_limit(12).with_node_limit(4 * 6 + 1024);
  runner.run(std::vector<Rewrite>{rule("commute-add", "(+ ?a ?b)", "(+ ?b ?a)")});
  const EGraph result = runner.take_egraph();
  EXPECT_EQ(result.find(ab), result.find(ba));
  EXPECT_EQ(result.find(neg), result.find(neg_ab));
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
}

// The scheduler on its own: thresholds, ban lengths and fast-forwarding.
class BanSchedulerTest : public ::testing::Test {
 protected:
  const Rewrite idle = rule("idle", "(f ?x)", "(f ?x)");
};

TEST_F(BanSchedulerTest, ExactlyTheMatchLimitIsNotBanned) {
  const EGraph egraph = with_f_nodes(1000);
  BanScheduler scheduler;
  EXPECT_EQ(scheduler.search_rule(0, egraph, idle).total_bindings(), 1000u);
  const RuleStats* stats = scheduler.stats(idle.name());
  ASSERT_NE(stats, nullptr);
  EXPECT_EQ(stats->times_applied, 1u);
  EXPECT_EQ(stats->times_banned, 0u);
  EXPECT_EQ(stats->banned_until, 0u);
  EXPECT_TRUE(scheduler.can_stop(0));
}

TEST_F(BanSchedulerTest, OneMatchOverTheLimitBansForFiveIterationsAndDoublesTheThreshold) {
  EGraph egraph = with_f_nodes(1001);
  BanScheduler scheduler;
  EXPECT_TRUE(scheduler.search_rule(0, egraph, idle).empty());
  const RuleStats* stats = scheduler.stats(idle.name());
  EXPECT_EQ(stats->times_banned, 1u);
  EXPECT_EQ(stats->banned_until, 5u);
  EXPECT_EQ(stats->times_applied, 0u);
  for (std::uint64_t i = 1; i <= 4; ++i) EXPECT_TRUE(scheduler.search_rule(i, egraph, idle).empty()) << i;
  EXPECT_EQ(scheduler.stats(idle.name())->times_banned, 1u) << "banned iterations do not search";
  EXPECT_EQ(scheduler.search_rule(5, egraph, idle).total_bindings(), 1001u) << "the threshold is 2,000 now";
  EXPECT_EQ(scheduler.stats(idle.name())->times_applied, 1u);

  // Above the doubled threshold the second ban lasts twice as long.
  for (int i = 1001; i < 2001; ++i) add_term(egraph, "(f x" + std::to_string(i) + ")");
  egraph.rebuild();
  EXPECT_TRUE(scheduler.search_rule(6, egraph, idle).empty());
  EXPECT_EQ(scheduler.stats(idle.name())->banned_until, 16u);
  EXPECT_EQ(scheduler.stats(idle.name())->times_banned, 2u);
}

TEST_F(BanSchedulerTest, CanStopMovesTheEarliestBanToNow) {
  const EGraph egraph = with_f_nodes(1001);
  const Rewrite other = rule("other", "(f ?y)", "(f ?y)");
  BanScheduler scheduler;
  EXPECT_TRUE(scheduler.can_stop(0)) << "no records, nothing banned";
  scheduler.search_rule(0, egraph, idle);   // banned until 5
  scheduler.search_rule(2, egraph, other);  // banned until 7
  EXPECT_FALSE(scheduler.can_stop(2));
  EXPECT_EQ(scheduler.stats(idle.name())->banned_until, 2u);
  EXPECT_EQ(scheduler.stats(other.name())->banned_until, 4u);
  EXPECT_EQ(scheduler.search_rule(3, egraph, idle).total_bindings(), 1001u);
  EXPECT_FALSE(scheduler.can_stop(3));
  EXPECT_EQ(scheduler.stats(other.name())->banned_until, 3u);
  EXPECT_TRUE(scheduler.can_stop(3));
}

TEST(SaturationRunner, ARunWithEveryRuleBannedFastForwardsInsteadOfStopping) {
  SaturationRunner runner;
  runner.with_egraph(with_f_nodes(1001))
      .with_iteration_limit(12)
      .run(std::vector<Rewrite>{rule("f-to-g", "(f ?x)", "(g ?x)")});
  const auto& reports = runner.iterations();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_TRUE(reports[0].applied.empty()) << "banned in iteration 0";
  EXPECT_FALSE(reports[0].stop_reason.has_value()) << "the ban is fast-forwarded, not a reason to stop";
  EXPECT_EQ(reports[1].applied, (std::vector<std::pair<Symbol, std::size_t>>{{sym("f-to-g"), 1001}}));
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  const RuleStats* stats = runner.scheduler().stats(sym("f-to-g"));
  EXPECT_EQ(stats->times_banned, 1u);
  EXPECT_EQ(stats->times_applied, 2u);
}

}  // namespace
}  // namespace veltrix::egraph
