// The reduction pipeline end to end on small graphs: dead-code elimination, merging by the
// engine's rules, hash-consing, both grouping rules, group and member order, and stores that
// already hold Stages and Externals.
#include "optimizer/reduce_graph.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "optimizer/reduction_test_util.h"

namespace veltrix {
namespace {

using namespace veltrix::testing;

ParamMap identity(double scalar, const char* side) { return params({{"scalar", F(scalar)}, {"side", S(side)}}); }

Node stage_of(InputList inputs, std::vector<StageMember> members) {
  return Node::stage(std::move(inputs), std::move(members));
}
StageMember member(const char* token, std::vector<MemberRef> refs) { return StageMember{token, std::move(refs)}; }
MemberRef in(std::uint64_t i) { return {MemberRefKind::Input, i}; }

struct PipelineCase {
  const char* name;
  std::vector<Node> nodes;
  std::vector<NodeId> outputs;
  bool maximal;
  const char* expected;
};

class Pipeline : public ::testing::TestWithParam<PipelineCase> {};

TEST_P(Pipeline, ReducesToExactly) {
  const PipelineCase& c = GetParam();
  const ReducedGraph reduced = reduce(c.nodes, c.outputs, c.maximal);
  EXPECT_EQ(describe(reduced), c.expected);
  expect_well_formed(reduced);
}

// Interning straight into a store gives the store that from_reduced builds from the node list.
TEST_P(Pipeline, DirectStoreEqualsTheNodeListsStore) {
  const PipelineCase& c = GetParam();
  const NodeTable table = table_of(c.nodes);
  EGraphEngine engine;
  ReducedStore listed = from_reduced(reduce_graph(table, c.outputs, engine, c.maximal));
  const GraphStore& via_list = listed.store;
  const ReductionReport& list_report = listed.report;
  const std::vector<NodeId>& list_output_ids = listed.output_ids;
  ReducedStore directly = reduce_graph_to_store(table, c.outputs, engine, c.maximal);
  const GraphStore& direct = directly.store;
  const ReductionReport& direct_report = directly.report;
  const std::vector<NodeId>& direct_output_ids = directly.output_ids;
  EXPECT_EQ(direct_report, list_report);
  EXPECT_EQ(direct_output_ids, list_output_ids);
  const GraphSnapshot a = via_list.snapshot(), b = direct.snapshot();
  ASSERT_EQ(a.nodes.size(), b.nodes.size());
  for (std::size_t i = 0; i < a.nodes.size(); ++i) EXPECT_TRUE(same_node(a.nodes[i], b.nodes[i])) << i;
  EXPECT_EQ(a.outputs, b.outputs);
}

const PipelineCase kPipelineCases[] = {
    {"NoOutputs", {src("a"), op("neg", {0})}, {}, false, " -> ()"},
    {"DeadNodesDropped",
     {src("a"), src("b"), op("neg", {0}), op("abs", {1})},
     {2},
     false,
     "src|a / stage(0)[op|neg(i0)] -> (1)"},
    {"RepeatedOutputKept", {src("a"), op("neg", {0})}, {1, 1}, false, "src|a / stage(0)[op|neg(i0)] -> (1,1)"},
    {"SourceAsOutput", {src("a"), op("neg", {0})}, {0}, false, "src|a -> (0)"},
    // add(b, a) joins add(a, b); the mul then uses one value twice, which ends the group.
    {"CommutedPairMerges",
     {src("a"), src("b"), op("add", {0, 1}), op("add", {1, 0}), op("mul", {2, 3})},
     {4},
     false,
     "src|a / src|b / stage(0,1)[op|add(i0,i1)] / stage(2)[op|mul(i0,i0)] -> (3)"},
    {"CommutedPairMaximal",
     {src("a"), src("b"), op("add", {0, 1}), op("add", {1, 0}), op("mul", {2, 3})},
     {4},
     true,
     "src|a / src|b / stage(0,1)[op|add(i0,i1) op|mul(m0,m0)] -> (2)"},
    {"MaximumCommutes",
     {src("a"), src("b"), op("maximum", {1, 0}), op("maximum", {0, 1}), op("pair", {2, 3})},
     {4},
     true,
     "src|a / src|b / stage(1,0)[op|maximum(i0,i1) op|pair(m0,m0)] -> (2)"},
    {"SubDoesNotCommute",
     {src("a"), src("b"), op("sub", {0, 1}), op("sub", {1, 0}), op("pair", {2, 3})},
     {4},
     true,
     "src|a / src|b / stage(0,1)[op|sub(i0,i1) op|sub(i1,i0) op|pair(m0,m1)] -> (2)"},
    {"CommutingOpWithParamsStaysTwo",
     {src("a"), src("b"), op("add", {0, 1}, params({{"k", I(1)}})), op("add", {1, 0}, params({{"k", I(1)}})),
      op("pair", {2, 3})},
     {4},
     true,
     "src|a / src|b / stage(0,1)[op|add|k=i1(i0,i1) op|add|k=i1(i1,i0) op|pair(m0,m1)] -> (2)"},
    {"IdentityAddVanishes",
     {src("a"), op("add", {0}, identity(0.0, "r")), op("neg", {1})},
     {2},
     false,
     "src|a / stage(0)[op|neg(i0)] -> (1)"},
    {"IdentityMulLeftVanishes",
     {src("a"), op("mul", {0}, identity(1.0, "l")), op("neg", {1})},
     {2},
     false,
     "src|a / stage(0)[op|neg(i0)] -> (1)"},
    {"IdentityAsOutputIsItsInput", {src("a"), op("add", {0}, identity(0.0, "r"))}, {1}, false, "src|a -> (0)"},
    {"IntegerZeroIsNoIdentity",
     {src("a"), op("add", {0}, params({{"scalar", I(0)}, {"side", S("r")}}))},
     {1},
     false,
     "src|a / stage(0)[op|add|scalar=i0;side=sr(i0)] -> (1)"},
    {"NegativeZeroIsNoIdentity",
     {src("a"), op("add", {0}, identity(-0.0, "r"))},
     {1},
     false,
     "src|a / stage(0)[op|add|scalar=f8000000000000000;side=sr(i0)] -> (1)"},
    {"ExtraParamIsNoIdentity",
     {src("a"), op("add", {0}, params({{"scalar", F(0.0)}, {"side", S("r")}, {"z", B(true)}}))},
     {1},
     false,
     "src|a / stage(0)[op|add|scalar=f0000000000000000;side=sr;z=btrue(i0)] -> (1)"},
    {"IdentityWithTwoInputsStays",
     {src("a"), src("b"), op("add", {0, 1}, identity(0.0, "r"))},
     {2},
     false,
     "src|a / src|b / stage(0,1)[op|add|scalar=f0000000000000000;side=sr(i0,i1)] -> (2)"},
    {"IdentityOnAReductionStays",
     {src("a"), red("add", {0}, identity(0.0, "r"))},
     {1},
     false,
     "src|a / red|add|scalar=f0000000000000000;side=sr(0) -> (1)"},
    // neg(add0(a)) and neg(a) are equal through the identity, and become one term.
    {"CongruenceAfterIdentity",
     {src("a"), op("add", {0}, identity(0.0, "r")), op("neg", {1}), op("neg", {0}), op("pair", {2, 3})},
     {4},
     false,
     "src|a / stage(0)[op|neg(i0)] / stage(1)[op|pair(i0,i0)] -> (2)"},
    {"Chain",
     {src("s"), op("a", {0}), op("b", {1}), op("c", {2})},
     {3},
     false,
     "src|s / stage(0)[op|a(i0) op|b(m0) op|c(m1)] -> (1)"},
    {"LoneOpBeforeReduction",
     {src("s"), op("neg", {0}), red("sum", {1})},
     {2},
     false,
     "src|s / stage(0)[op|neg(i0)] / red|sum(1) -> (2)"},
    {"FanOutSingleUse",
     {src("s"), op("x", {0}), op("y", {1}), op("z", {2, 1})},
     {3},
     false,
     "src|s / stage(0)[op|x(i0)] / stage(1)[op|y(i0) op|z(m0,i0)] -> (2)"},
    {"FanOutMaximal",
     {src("s"), op("x", {0}), op("y", {1}), op("z", {2, 1})},
     {3},
     true,
     "src|s / stage(0)[op|x(i0) op|y(m0) op|z(m1,m0)] -> (1)"},
    {"OneConsumerTwiceSingleUse",
     {src("s"), op("x", {0}), op("mul", {1, 1})},
     {2},
     false,
     "src|s / stage(0)[op|x(i0)] / stage(1)[op|mul(i0,i0)] -> (2)"},
    {"OneConsumerTwiceMaximal",
     {src("s"), op("x", {0}), op("mul", {1, 1})},
     {2},
     true,
     "src|s / stage(0)[op|x(i0) op|mul(m0,m0)] -> (1)"},
    {"OutputNeverJoinsSingleUse",
     {src("s"), op("x", {0}), op("y", {1})},
     {2, 1},
     false,
     "src|s / stage(0)[op|x(i0)] / stage(1)[op|y(i0)] -> (2,1)"},
    {"OutputNeverJoinsMaximal",
     {src("s"), op("x", {0}), op("y", {1})},
     {2, 1},
     true,
     "src|s / stage(0)[op|x(i0)] / stage(1)[op|y(i0)] -> (2,1)"},
    {"UsedByBoundaryEndsGroup",
     {src("s"), op("x", {0}), red("r", {1}), op("y", {1, 2})},
     {3},
     true,
     "src|s / stage(0)[op|x(i0)] / red|r(1) / stage(1,2)[op|y(i0,i1)] -> (3)"},
    {"SameProducerSharesOneInput", {src("s"), op("sub", {0, 0})}, {1}, false, "src|s / stage(0)[op|sub(i0,i0)] -> (1)"},
    // Groups {f, k} and {g, h}: the second ends earlier, so it is emitted first; the first
    // stage's inputs are in order of first use.
    {"GroupsOrderedByHighestMember",
     {src("s"), op("f", {0}), op("g", {0}), op("h", {2}), op("k", {1, 3, 3})},
     {4},
     false,
     "src|s / stage(0)[op|g(i0) op|h(m0)] / stage(0,1)[op|f(i0) op|k(m0,i1,i1)] -> (2)"},
    {"MembersInTermOrder",
     {src("s"), op("a", {0}), op("b", {0}), op("a2", {1}), op("b2", {2}), op("j", {3, 4})},
     {5},
     false,
     "src|s / stage(0)[op|a(i0) op|b(i0) op|a2(m0) op|b2(m1) op|j(m2,m3)] -> (1)"},
    {"OpsWithoutInputs",
     {op("zero", {}), op("one", {}), op("add", {1, 0}), op("add", {0, 1})},
     {2, 3},
     false,
     "stage()[op|zero() op|one() op|add(m1,m0)] -> (0,0)"},
    // Stages and Externals already in the input stay boundary nodes, each with its own content.
    {"StagesWithEqualCountsStayApart",
     {src("s"), stage_of({0}, {member("op|neg", {in(0)})}), stage_of({0}, {member("op|abs", {in(0)})}),
      op("add", {1, 2})},
     {3},
     false,
     "src|s / stage(0)[op|neg(i0)] / stage(0)[op|abs(i0)] / stage(1,2)[op|add(i0,i1)] -> (3)"},
    {"ExternalsDifferingInPreprocessingStayApart",
     {src("s"), Node::external(descriptor(), {}, {0}), Node::external(descriptor(std::string("-")), {}, {0}),
      op("add", {1, 2})},
     {3},
     false,
     "src|s / ext|k|h|f|v|s|%-(0) / ext|k|h|f|v|s|-(0) / stage(1,2)[op|add(i0,i1)] -> (3)"},
    {"ExchangeIsABoundary",
     {src("s"), op("neg", {0}), Node::exchange(params({{"scheme", S("hash")}}), {1}), op("abs", {2})},
     {3},
     false,
     "src|s / stage(0)[op|neg(i0)] / exch|scheme=shash(1) / stage(2)[op|abs(i0)] -> (3)"},
};

INSTANTIATE_TEST_SUITE_P(Cases, Pipeline, ::testing::ValuesIn(kPipelineCases),
                         [](const auto& test) { return std::string(test.param.name); });

struct ReportCase {
  const char* name;
  std::vector<Node> nodes;
  std::vector<NodeId> outputs;
  ReductionReport expected;
};

class Reports : public ::testing::TestWithParam<ReportCase> {};

TEST_P(Reports, CountEachStep) { EXPECT_EQ(reduce(GetParam().nodes, GetParam().outputs).report, GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, Reports,
    ::testing::Values(
        ReportCase{"NoOutputs", {src("a"), op("neg", {0})}, {}, {2, 0, 0, 0, 0, 0}},
        ReportCase{"DeadNodes", {src("a"), src("b"), op("neg", {0}), op("abs", {1})}, {2}, {4, 2, 2, 1, 2, 1}},
        ReportCase{"CommutedPair",
                   {src("a"), src("b"), op("add", {0, 1}), op("add", {1, 0}), op("mul", {2, 3})},
                   {4},
                   {5, 5, 4, 2, 4, 2}},
        ReportCase{"Identity", {src("a"), op("add", {0}, identity(0.0, "r")), op("neg", {1})}, {2}, {3, 3, 2, 1, 2, 1}},
        ReportCase{"Chain", {src("s"), op("a", {0}), op("b", {1}), op("c", {2})}, {3}, {4, 4, 4, 1, 2, 1}},
        ReportCase{"InputStagesCountAsBoundaries",
                   {src("s"), stage_of({0}, {member("op|neg", {in(0)})}), op("abs", {1})},
                   {2},
                   {3, 3, 3, 1, 3, 2}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Pipeline, ReducingAReducedGraphChangesNothing) {
  const std::vector<Node> nodes = {src("a"),          src("b"),        op("add", {0, 1}), op("add", {1, 0}),
                                   op("mul", {2, 3}), red("sum", {4}), op("neg", {5}),    Node::exchange({}, {6}),
                                   op("abs", {7})};
  for (bool maximal : {false, true}) {
    const ReducedGraph once = reduce(nodes, {8, 4}, maximal);
    const GraphStore store = from_reduced(once).store;
    EGraphEngine engine;
    const GraphSnapshot snapshot = store.snapshot();
    const ReducedGraph twice = reduce_graph(snapshot.nodes, snapshot.outputs, engine, maximal);
    EXPECT_EQ(describe(twice), describe(once));
    EXPECT_EQ(twice.report.stages, 0u);
    EXPECT_EQ(twice.report.boundary_nodes, once.nodes.size());
  }
}

TEST(Pipeline, OutputOutOfRangeIsAnInternalFailure) {
  EXPECT_EQ(failure_message([] {
              reduce({src("a")}, {0, 1});
            }),
            "index out of bounds: the len is 1 but the index is 1");
}

// An engine that breaks the contract must not produce a graph that refers forwards.
class ForwardReferencingEngine final : public RewriteEngine {
 public:
  RewriteResult rewrite(const TermList& terms, std::span<const TermIndex> outputs) override {
    RewriteResult result{TermList(terms.symbols()), {outputs.begin(), outputs.end()}};
    for (std::size_t i = 0; i < terms.size(); ++i) {
      const TermIndex self = static_cast<TermIndex>(i);
      result.terms.append(terms.symbol(i), std::span<const TermIndex>(&self, 1), terms.is_boundary(i));
    }
    return result;
  }
};

class MissingRootEngine final : public RewriteEngine {
 public:
  RewriteResult rewrite(const TermList& terms, std::span<const TermIndex>) override {
    return RewriteResult{TermList(terms.symbols()), {}};
  }
};

TEST(Pipeline, EngineBreakingItsContractIsAnInternalFailure) {
  const NodeTable table = table_of({src("a"), op("neg", {0})});
  const std::vector<NodeId> outputs = {1};
  ForwardReferencingEngine forward;
  EXPECT_EQ(failure_message([&] { reduce_graph(table, outputs, forward, false); }),
            "index out of bounds: the len is 0 but the index is 0");
  MissingRootEngine missing;
  EXPECT_EQ(failure_message([&] { reduce_graph(table, outputs, missing, false); }),
            "the rewrite engine returns one root per output");
}

}  // namespace
}  // namespace veltrix
