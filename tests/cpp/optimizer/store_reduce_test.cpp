// Reducing a GraphStore: against its marks or an explicit output list, bad ids, and the input
// store left as it was.
#include "optimizer/store_reduce.h"

#include <gtest/gtest.h>

#include <vector>

#include "optimizer/egraph_engine.h"
#include "optimizer/reduction_test_util.h"

namespace veltrix {
namespace {

using namespace veltrix::testing;

// A store of `nodes` whose output marks are `marks` (marks exist only on built stores).
GraphStore store_with_marks(std::vector<Node> nodes, std::vector<std::uint64_t> marks) {
  return from_reduced(ReducedGraph{std::move(nodes), std::move(marks), {}}).store;
}

std::vector<std::string> symbols_of(const GraphStore& store) {
  const GraphSnapshot snapshot = store.snapshot();
  std::vector<std::string> out;
  for (std::size_t i = 0; i < snapshot.nodes.size(); ++i) out.push_back(encode_symbol(snapshot.nodes[i]));
  return out;
}

TEST(StoreReduce, AgainstMarksInMarkOrder) {
  const GraphStore store = store_with_marks({src("a"), src("b"), op("neg", {0}), op("abs", {1})}, {3, 2});
  EGraphEngine engine;
  auto [reduced, report, output_ids, of_input, traced] = reduce_against_marks(store, engine, false);
  EXPECT_EQ(symbols_of(reduced),
            (std::vector<std::string>{"src|a", "src|b", "stage|1|op%7Cneg=i0", "stage|1|op%7Cabs=i0"}));
  EXPECT_EQ(reduced.outputs(), (std::vector<NodeId>{3, 2}));
  EXPECT_EQ(report.input_nodes, 4u);
}

TEST(StoreReduce, WithoutMarksNothingIsReachable) {
  GraphStore store;
  ASSERT_TRUE(store.intern(src("a")).ok());
  EGraphEngine engine;
  auto [reduced, report, output_ids, of_input, traced] = reduce_against_marks(store, engine, false);
  EXPECT_EQ(reduced.node_count(), 0u);
  EXPECT_EQ(report, (ReductionReport{1, 0, 0, 0, 0, 0}));
}

TEST(StoreReduce, ExplicitOutputsIgnoreTheMarks) {
  const GraphStore store = store_with_marks({src("a"), src("b"), op("neg", {0})}, {2});
  EGraphEngine engine;
  Result<ReducedStore, BadNodeId> reduced = reduce_against_outputs(store, std::vector<NodeId>{1, 1}, engine, false);
  ASSERT_TRUE(reduced.ok());
  EXPECT_EQ(symbols_of(reduced.value().store), std::vector<std::string>{"src|b"});
  EXPECT_EQ(reduced.value().store.outputs(), std::vector<NodeId>{0});  // a repeated output is marked once

  Result<ReducedStore, BadNodeId> none = reduce_against_outputs(store, {}, engine, false);
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(none.value().store.node_count(), 0u);
  EXPECT_EQ(none.value().report, (ReductionReport{3, 0, 0, 0, 0, 0}));
}

TEST(StoreReduce, BadOutputFailsBeforeAnyWork) {
  GraphStore store;
  for (const Node& node : {src("a"), src("b"), src("c"), src("d"), src("e")}) ASSERT_TRUE(store.intern(node).ok());
  EGraphEngine engine;
  Result<ReducedStore, BadNodeId> reduced = reduce_against_outputs(store, std::vector<NodeId>{0, 7, 9}, engine, false);
  ASSERT_FALSE(reduced.ok());
  EXPECT_EQ(reduced.error().message(), "no node with id 7");
  EXPECT_FALSE(engine.last_run().has_value());  // the engine never ran
}

TEST(StoreReduce, TheInputStoreNeverChanges) {
  const GraphStore store =
      store_with_marks({src("a"), src("b"), op("add", {0, 1}), op("add", {1, 0}),
                        op("add", {2}, params({{"scalar", F(0.0)}, {"side", S("r")}})), op("mul", {3, 4})},
                       {5});
  const std::vector<std::string> before = symbols_of(store);
  EGraphEngine engine;
  for (bool maximal : {false, true}) {
    (void)reduce_against_marks(store, engine, maximal);
    (void)reduce_against_outputs(store, std::vector<NodeId>{5, 2}, engine, maximal);
  }
  EXPECT_EQ(symbols_of(store), before);
  EXPECT_EQ(store.outputs(), std::vector<NodeId>{5});
}

}  // namespace
}  // namespace veltrix
