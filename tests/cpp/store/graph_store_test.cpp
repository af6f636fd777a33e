#include "store/graph_store.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <thread>

#include "store/node_builders.h"
#include "store/reduced_graph.h"
#include "support/failure_message.h"

namespace veltrix {

// Test-only access to the store's lock, to prove that an internal failure under it poisons the
// store. Nothing on the Python surface can reach this.
struct GraphStoreTestAccess {
  static void fail_while_locked(GraphStore& store) {
    auto guard = store.mutex_.lock();
    internal_failure("injected failure");
  }
};

namespace {

using namespace veltrix::testing;

TEST(GraphStore, FirstBadInputInListOrderIsReportedAndNothingChanges) {
  GraphStore store;
  for (const char* name : {"a", "b", "c", "d", "e"}) ASSERT_TRUE(store.intern(src(name)).ok());
  auto result = store.intern(op("f", {1, 9, 5}));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().id, 9u);
  EXPECT_EQ(result.error().message(), "no node with id 9");
  EXPECT_EQ(result.error().debug_string(), "BadNodeId(9)");
  result = store.intern(op("f", {5}));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().id, 5u);
  EXPECT_EQ(store.node_count(), 5u);
}

TEST(GraphStore, InterningIsIdempotentAndOrderSensitive) {
  GraphStore store;
  EXPECT_EQ(store.intern(src("x")).value(), 0u);
  EXPECT_EQ(store.intern(src("x")).value(), 0u);
  EXPECT_EQ(store.node_count(), 1u);
  (void)store.intern(src("y"));
  EXPECT_EQ(store.intern(op("add", {0, 1})).value(), 2u);
  EXPECT_EQ(store.intern(op("add", {1, 0})).value(), 3u);
  EXPECT_EQ(store.intern(op("add", {0, 1})).value(), 2u);
}

TEST(GraphStore, EmptyStoreAndNodesSince) {
  GraphStore store;
  EXPECT_EQ(store.node_count(), 0u);
  EXPECT_TRUE(store.outputs().empty());
  EXPECT_TRUE(nodes_since(store, 0).empty());
  for (const char* name : {"a", "b", "c"}) (void)store.intern(src(name));
  EXPECT_TRUE(nodes_since(store, 100).empty());
  const std::vector<Node> tail = nodes_since(store, 1);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_EQ(tail[0], src("b"));
  EXPECT_EQ(tail[1], src("c"));
}

TEST(GraphStore, MarksKeepFirstPosition) {
  GraphStore store;
  for (const char* name : {"a", "b", "c"}) (void)store.intern(src(name));
  ASSERT_TRUE(store.mark_output(2).ok());
  ASSERT_TRUE(store.mark_output(0).ok());
  ASSERT_TRUE(store.mark_output(2).ok());
  EXPECT_EQ(store.outputs(), (std::vector<NodeId>{2, 0}));
  auto bad = store.mark_output(3);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().id, 3u);
  EXPECT_EQ(store.snapshot().outputs, (std::vector<NodeId>{2, 0}));
}

TEST(FromReduced, CollapsesEqualNodesAndMarksOnce) {
  ReducedGraph reduced;
  reduced.nodes = {src("a"), src("a"), op("f", {0, 1})};
  reduced.outputs = {2, 2, 0};
  reduced.report.input_nodes = 7;
  auto [store, report, output_ids, of_input, traced] = from_reduced(reduced);
  EXPECT_EQ(store.node_count(), 2u);
  EXPECT_EQ(store.snapshot().nodes[1].to_node(), op("f", {0, 0}));
  EXPECT_EQ(store.outputs(), (std::vector<NodeId>{1, 0}));
  EXPECT_EQ(output_ids, (std::vector<NodeId>{1, 1, 0}));  // one per requested output
  EXPECT_EQ(report.input_nodes, 7u);
}

TEST(FromReduced, BrokenInvariantsAreInternalFailures) {
  ReducedGraph forward;
  forward.nodes = {src("a"), op("f", {1})};
  EXPECT_EQ(failure_message([&] { (void)from_reduced(forward); }),
            "index out of bounds: the len is 1 but the index is 1");
  ReducedGraph bad_output;
  bad_output.nodes = {src("a")};
  bad_output.outputs = {3};
  EXPECT_EQ(failure_message([&] { (void)from_reduced(bad_output); }),
            "index out of bounds: the len is 1 but the index is 3");
}

TEST(GraphStore, FailureUnderTheLockPoisonsEveryLaterOperation) {
  GraphStore store;
  (void)store.intern(src("a"));
  EXPECT_EQ(failure_message([&] { GraphStoreTestAccess::fail_while_locked(store); }), "injected failure");
  const std::string poisoned = "veltrix-core store mutex poisoned: PoisonError { .. }";
  EXPECT_EQ(failure_message([&] { (void)store.node_count(); }), poisoned);
  EXPECT_EQ(failure_message([&] { (void)store.intern(src("b")); }), poisoned);
  EXPECT_EQ(failure_message([&] { (void)store.snapshot(); }), poisoned);
  EXPECT_EQ(failure_message([&] { (void)nodes_since(store, 0); }), poisoned);
  EXPECT_EQ(failure_message([&] { (void)store.mark_output(0); }), poisoned);
}

TEST(GraphStore, ConcurrentInternersAgreeOnIds) {
  GraphStore store;
  constexpr int kThreads = 4;
  constexpr int kNodes = 2000;
  std::vector<std::vector<NodeId>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kNodes; ++i) seen[t].push_back(store.intern(src("n" + std::to_string(i))).value());
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(store.node_count(), std::uint64_t{kNodes});
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
}

// Many nodes that differ only slightly: a lookup must find exactly its own node among them.
TEST(GraphStore, LargeRandomGraphInternsConsistently) {
  GraphStore store;
  std::mt19937_64 rng(3);
  std::vector<Node> added;
  (void)store.intern(src("s"));
  added.push_back(src("s"));
  for (int i = 0; i < 20000; ++i) {
    const NodeId a = rng() % added.size(), b = rng() % added.size();
    Node n = op(i % 2 ? "add" : "mul", {a, b}, params({{"k", I(static_cast<std::int64_t>(rng() % 4))}}));
    const NodeId id = store.intern(n).value();
    if (id == added.size()) added.push_back(n);
    ASSERT_EQ(added.at(id), n);
  }
  const GraphSnapshot snap = store.snapshot();
  for (std::size_t i = 0; i < added.size(); i += 97) EXPECT_EQ(snap.nodes[i].to_node(), added[i]);
}

// Readers share the store's table instead of copying it: each snapshot, taken while other threads
// record and dropped on threads of its own, must keep exactly the nodes it saw, a prefix of the
// final store, however the store grows (and copies its table) meanwhile.
TEST(GraphStore, SnapshotsKeepWhatTheySawWhileTheStoreGrows) {
  GraphStore store;
  (void)store.intern(src("s"));
  constexpr int kWriters = 2;
  constexpr int kNodes = 3000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kNodes; ++i) {
        const NodeId last = static_cast<NodeId>(store.node_count() - 1);
        (void)store.intern(op("w" + std::to_string(t), {last}, params({{"i", I(i)}})));
      }
    });
  }
  std::deque<std::vector<Node>> seen;
  std::deque<GraphSnapshot> held;
  for (int round = 0; round < 40; ++round) {
    held.push_back(store.snapshot());
    const NodeTable& nodes = held.back().nodes;
    std::vector<Node> copy;
    for (NodeId id = 0; id < nodes.size(); ++id) copy.push_back(nodes[id].to_node());
    seen.push_back(std::move(copy));
    if (held.size() > 3) {  // dropped elsewhere, while the writers go on
      std::thread([snapshot = std::move(held.front())] {}).join();
      held.pop_front();
      seen.pop_front();
    }
    for (std::size_t k = 0; k < held.size(); ++k) {
      ASSERT_EQ(held[k].nodes.size(), seen[k].size());
      for (NodeId id = 0; id < seen[k].size(); id += 61) ASSERT_EQ(held[k].nodes[id].to_node(), seen[k][id]);
    }
  }
  for (auto& thread : threads) thread.join();
  const GraphSnapshot final_nodes = store.snapshot();
  EXPECT_EQ(final_nodes.nodes.size(), std::size_t{1} + kWriters * kNodes);
  for (const std::vector<Node>& prefix : seen) {
    for (NodeId id = 0; id < prefix.size(); ++id) ASSERT_EQ(final_nodes.nodes[id].to_node(), prefix[id]);
  }
}

}  // namespace
}  // namespace veltrix
