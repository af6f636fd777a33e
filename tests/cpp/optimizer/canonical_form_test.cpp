#include "optimizer/canonical_form.h"

#include <gtest/gtest.h>

#include "optimizer/egraph_engine.h"
#include "optimizer/store_reduce.h"
#include "store/node_builders.h"
#include "store/reduced_graph.h"

namespace veltrix {
namespace {

using namespace veltrix::testing;

ParamMap identity_params(double scalar, const char* side) { return params({{"scalar", F(scalar)}, {"side", S(side)}}); }

NodeId add(GraphStore& store, const Node& node) { return store.intern(node).value(); }

std::vector<Node> stored_nodes(const GraphStore& store) { return nodes_since(store, 0); }

TEST(CanonicalForm, StepsConsumeOnlyTheDelta) {
  GraphStore store;
  CanonicalForm form;
  EXPECT_EQ(form.step(store).value(), 0u);
  for (int i = 0; i < 10; ++i) {
    add(store, src("s" + std::to_string(i)));
    if (i == 2 || i == 5) {
      EXPECT_EQ(form.step(store).value(), 3u);
    }
  }
  EXPECT_EQ(form.step(store).value(), 4u);
  EXPECT_EQ(form.step(store).value(), 0u);
  EXPECT_EQ(form.watermark(), 10u);
  EXPECT_EQ(form.total_work(), 10u);
  EXPECT_EQ(form.canonical_count(), 10u);
}

TEST(CanonicalForm, CommutedTwinsAreOneCanonicalNode) {
  GraphStore store;
  const NodeId a = add(store, src("a")), b = add(store, src("b"));
  CanonicalForm form;
  (void)form.step(store);
  const std::uint64_t before = form.canonical_count();
  add(store, op("add", {a, b}));
  add(store, op("add", {b, a}));
  add(store, op("maximum", {b, a}));
  add(store, op("maximum", {a, b}));
  EXPECT_EQ(form.step(store).value(), 4u);
  EXPECT_EQ(form.canonical_count(), before + 2);
  EXPECT_EQ(form.watermark(), 6u);
}

struct NotMergedCase {
  const char* what;
  Node first;
  Node second;
};

class CommutativityOnlyWhereSound : public ::testing::TestWithParam<NotMergedCase> {};

TEST_P(CommutativityOnlyWhereSound, KeepsBothOrders) {
  GraphStore store;
  add(store, src("a"));
  add(store, src("b"));
  add(store, GetParam().first);
  add(store, GetParam().second);
  CanonicalForm form;
  (void)form.step(store);
  EXPECT_EQ(form.canonical_count(), 4u) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(Cases, CommutativityOnlyWhereSound,
                         ::testing::Values(NotMergedCase{"not commutative", op("sub", {0, 1}), op("sub", {1, 0})},
                                           NotMergedCase{"has params", op("add", {0, 1}, params({{"k", I(1)}})),
                                                         op("add", {1, 0}, params({{"k", I(1)}}))},
                                           NotMergedCase{"a reduction", red("add", {0, 1}), red("add", {1, 0})},
                                           NotMergedCase{"three operands", op("add", {0, 1, 1}),
                                                         op("add", {1, 0, 1})}));

TEST(CanonicalForm, IdentityOpsGiveWayToTheirInput) {
  GraphStore store;
  const NodeId x = add(store, src("x"));
  const NodeId identity = add(store, op("add", {x}, identity_params(0.0, "r")));
  const NodeId times_one = add(store, op("mul", {identity}, identity_params(1.0, "l")));
  const NodeId user = add(store, op("neg", {times_one}));
  CanonicalForm form;
  (void)form.step(store);
  EXPECT_EQ(form.canonical_count(), 2u);  // x and neg(x)
  const Node canonical_user = form.nodes()[1].to_node();
  EXPECT_EQ(canonical_user, op("neg", {0}));
  EXPECT_EQ(form.translate(std::vector<NodeId>{identity, user}).value(), (std::vector<NodeId>{0, 1}));
}

struct KeptCase {
  const char* what;
  Node node;
};

class NotAnIdentity : public ::testing::TestWithParam<KeptCase> {};

TEST_P(NotAnIdentity, IsKeptAsANode) {
  GraphStore store;
  add(store, src("x"));
  add(store, src("y"));
  add(store, GetParam().node);
  CanonicalForm form;
  (void)form.step(store);
  EXPECT_EQ(form.canonical_count(), 3u) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NotAnIdentity,
    ::testing::Values(KeptCase{"a reduction", red("add", {0}, identity_params(0.0, "r"))},
                      KeptCase{"an integer zero", op("add", {0}, params({{"scalar", I(0)}, {"side", S("r")}}))},
                      KeptCase{"a further param",
                               op("add", {0}, params({{"scalar", F(0.0)}, {"side", S("r")}, {"z", I(1)}}))},
                      KeptCase{"negative zero", op("add", {0}, identity_params(-0.0, "r"))},
                      // Only a one-input op is an identity: with two inputs the op is not x + 0.
                      KeptCase{"two inputs", op("add", {0, 1}, identity_params(0.0, "r"))},
                      KeptCase{"no input", op("mul", {}, identity_params(1.0, "l"))}));

ReducedStore reduce_store(const GraphStore& store, std::span<const NodeId> outputs, bool maximal) {
  EGraphEngine engine;
  return reduce_against_outputs(store, outputs, engine, maximal).value();
}

void expect_same_store(const GraphStore& a, const GraphStore& b) {
  EXPECT_EQ(stored_nodes(a), stored_nodes(b));
  EXPECT_EQ(a.outputs(), b.outputs());
}

TEST(Finalize, MatchesReduceWhenEveryNodeIsReachable) {
  GraphStore store;
  const NodeId a = add(store, src("a")), b = add(store, src("b"));
  const NodeId s = add(store, op("add", {a, b}));
  const NodeId t = add(store, op("add", {b, a}));
  const NodeId u = add(store, op("mul", {s, t}));
  const NodeId v = add(store, op("add", {u}, identity_params(0.0, "l")));
  const NodeId w = add(store, red("sum", {v, a}));
  const std::vector<NodeId> outputs = {w, u, w};
  for (bool maximal : {false, true}) {
    CanonicalForm stepped;
    (void)stepped.step(store);
    auto finalized = finalize(stepped, store, outputs, maximal).value();
    auto reduced = reduce_store(store, outputs, maximal);
    expect_same_store(finalized.store, reduced.store);
    EXPECT_EQ(finalized.report.canonical_nodes, reduced.report.canonical_nodes);
    EXPECT_EQ(finalized.report.stages, reduced.report.stages);
    EXPECT_EQ(finalized.report.reduced_nodes, reduced.report.reduced_nodes);
    EXPECT_EQ(finalized.report.boundary_nodes, reduced.report.boundary_nodes);
    EXPECT_EQ(finalized.report.input_nodes, stepped.canonical_count());
    // Finalizing again consumes nothing new and gives the same store.
    auto again = finalize(stepped, store, outputs, maximal).value();
    expect_same_store(again.store, finalized.store);
    EXPECT_EQ(stepped.watermark(), store.node_count());
  }
}

TEST(Finalize, ADeadFirstOccurrenceDecidesTheOperandOrder) {
  GraphStore store;
  const NodeId a = add(store, src("a")), b = add(store, src("b"));
  add(store, op("add", {b, a}));
  const NodeId kept = add(store, op("add", {a, b}));
  const std::vector<NodeId> outputs = {kept};
  CanonicalForm form;
  auto finalized = finalize(form, store, outputs, false).value();
  auto reduced = reduce_store(store, outputs, false);
  const auto stage_inputs = [](const GraphStore& s) {
    const std::vector<Node> nodes = stored_nodes(s);
    return std::vector<NodeId>(nodes.back().inputs().begin(), nodes.back().inputs().end());
  };
  // Sources a, b keep ids 0 and 1 in both results; the stage reads them in the order kept.
  EXPECT_EQ(stage_inputs(reduced.store), (std::vector<NodeId>{0, 1}));
  EXPECT_EQ(stage_inputs(finalized.store), (std::vector<NodeId>{1, 0}));
}

TEST(Finalize, ASecondSmallerStoreConsumesNothing) {
  GraphStore big, small;
  for (int i = 0; i < 5; ++i) add(big, src("n" + std::to_string(i)));
  add(small, src("x"));
  CanonicalForm form;
  EXPECT_EQ(form.step(big).value(), 5u);
  EXPECT_EQ(form.step(small).value(), 0u);
  EXPECT_EQ(form.watermark(), 5u);
}

// Text ids are a store's own: a different, longer store continues the form with its own texts.
TEST(CanonicalForm, ADifferentStoreContinuesWithItsOwnTexts) {
  GraphStore first, second;
  add(first, src("a"));
  add(first, op("neg", {0}));
  add(second, src("zzz", params({{"k", S("v")}})));  // text ids 0.. mean other texts here
  add(second, op("abs", {0}));
  add(second, op("neg", {0}, params({{"k", S("v")}})));
  add(second, red("sum", {2, 1}));
  CanonicalForm form;
  EXPECT_EQ(form.step(first).value(), 2u);
  EXPECT_EQ(form.step(second).value(), 2u);
  EXPECT_EQ(form.nodes()[2].to_node(), op("neg", {0}, params({{"k", S("v")}})));
  EXPECT_EQ(form.nodes()[3].to_node(), red("sum", {2, 1}));
  EXPECT_EQ(form.step(first).value(), 0u);
  add(first, op("neg", {1}));
  add(first, op("sqrt", {2}));
  add(first, op("exp", {3}));
  EXPECT_EQ(form.step(first).value(), 1u);  // only ids from the watermark (4) on
  EXPECT_EQ(form.nodes()[4].to_node(), op("exp", {3}));
}

}  // namespace
}  // namespace veltrix
