// The reduction's shortcuts against the straightforward steps they replace, on random graphs:
// interning straight into a store against from_reduced of the node list, skipping hash-consing of
// the engine's result against doing it, and stage fusion (grouped without consumer lists or group
// tables) against a reference that follows the grouping and emission rules literally.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <map>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "optimizer/emission_pipeline.h"
#include "optimizer/reduction_test_util.h"
#include "optimizer/stage_fusion.h"
#include "store/ir_writer.h"
#include "support/thread_pool.h"

namespace veltrix {
namespace {

using namespace veltrix::testing;

// A random graph rich in what the reduction treats specially: commuted twins, identity ops,
// params of every type (string values and keys that repeat across nodes), reductions,
// exchanges, externals with and without a preprocessing reference (and with "-", which shares
// the symbol of an absent one), and stages already in the input.
std::vector<Node> random_graph(std::mt19937_64& rng, std::size_t count) {
  std::vector<Node> nodes;
  std::vector<std::string> seen;  // symbols of distinct nodes, to keep the table duplicate-free
  const auto pick = [&]() -> NodeId { return nodes.empty() ? 0 : rng() % nodes.size(); };
  const auto recent = [&]() -> NodeId { return nodes.size() - 1 - rng() % std::min<std::size_t>(nodes.size(), 8); };
  const auto add = [&](Node node) {
    std::string key = encode_symbol(node);
    for (NodeId input : node.inputs()) key += "," + std::to_string(input);
    if (node.kind() == NodeKind::External) key += node.descriptor().preprocessing_ref.value_or("<none>");
    if (node.kind() == NodeKind::Stage) {
      for (const StageMember& m : node.members()) key += "|" + m.token;
    }
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) return;
    seen.push_back(key);
    nodes.push_back(std::move(node));
  };
  const char* commutative[] = {"add", "mul", "maximum"};
  const char* other[] = {"sub", "neg", "exp"};
  while (nodes.size() < count) {
    const int roll = static_cast<int>(rng() % 100);
    if (nodes.size() < 3 || roll < 8) {
      add(src("in" + std::to_string(rng() % 5),
              rng() % 2 ? params({{"dtype", S(rng() % 2 ? "f32" : "i64")}}) : ParamMap{}));
    } else if (roll < 35) {
      const NodeId a = recent(), b = rng() % 4 ? recent() : pick();
      const char* name = commutative[rng() % 3];
      add(op(name, {a, b}));
      if (rng() % 3 == 0) add(op(name, {b, a}));
    } else if (roll < 45) {
      const bool is_add = rng() % 2;
      add(op(is_add ? "add" : "mul", {recent()},
             params({{"scalar", F(is_add ? 0.0 : 1.0)}, {"side", S(rng() % 2 ? "r" : "l")}})));
    } else if (roll < 65) {
      const char* name = other[rng() % 3];
      if (name[0] == 's') {
        add(op(name, {recent(), pick()}, rng() % 2 ? params({{"alpha", F(0.5)}, {"mode", S("fast")}}) : ParamMap{}));
      } else {
        const double odd_float = rng() % 2 ? -0.0 : std::bit_cast<double>(0x7ff8000000000123ULL);  // NaN, payload
        add(op(name, {recent()},
               rng() % 3 ? ParamMap{}
                         : params({{"approx", B(true)}, {"bits", I(-16)}, {"at", F(rng() % 2 ? odd_float : 2.5)}})));
      }
    } else if (roll < 72) {
      add(op("where", {recent(), recent(), pick()}));
    } else if (roll < 80) {
      add(red(rng() % 2 ? "sum" : "max", {recent()}, params({{"axis", I(static_cast<std::int64_t>(rng() % 3) - 1)}})));
    } else if (roll < 86) {
      add(Node::exchange(params({{"scheme", S("hash")}, {"partitions", I(4)}}), {recent()}));
    } else if (roll < 93) {
      std::optional<std::string> ref;
      if (rng() % 3 == 0) ref = "-";
      if (rng() % 3 == 0) ref = "prep";
      add(Node::external(descriptor(ref, rng() % 2 ? "s" : "t"), rng() % 2 ? params({{"k", S("v")}}) : ParamMap{},
                         {recent()}));
    } else if (rng() % 2) {  // two stage shapes, so that reduced stores' repeated stages interleave
      const NodeId a = recent();
      add(Node::stage({a, pick()}, {StageMember{"op|neg", {{MemberRefKind::Input, 0}}},
                                    StageMember{"op|add", {{MemberRefKind::Member, 0}, {MemberRefKind::Input, 1}}}}));
    } else {
      add(Node::stage({recent()}, {StageMember{"op|exp", {{MemberRefKind::Input, 0}}}}));
    }
  }
  return nodes;
}

std::vector<NodeId> random_outputs(std::mt19937_64& rng, std::size_t count) {
  std::vector<NodeId> outputs;
  const std::size_t k = rng() % 6;
  for (std::size_t i = 0; i < k; ++i) outputs.push_back(count - 1 - rng() % std::min<std::size_t>(count, 20));
  if (rng() % 2) outputs.push_back(rng() % count);
  return outputs;
}

std::string blob_of(const GraphStore& store) {
  return store.read_locked([](const NodeTable& table, std::span<const NodeId> marks) {
    return expect_ok(serialize_ir(table, marks), "store serializes");
  });
}

// Forwards to EGraphEngine but does not promise distinct terms, so the pipeline hash-conses.
class HashConsedEngine final : public RewriteEngine {
 public:
  RewriteResult rewrite(const TermList& terms, std::span<const TermIndex> outputs) override {
    RewriteResult result = engine_.rewrite(terms, outputs);
    EXPECT_TRUE(result.distinct_terms);
    result.distinct_terms = false;
    return result;
  }

 private:
  EGraphEngine engine_;
};

// Every stage member reads as the same kind, name and params in both stores, texts compared as
// texts: the direct path hands the store the shapes it knows, the node list's store reads its
// tokens back.
void expect_same_member_shapes(const GraphStore& a, const GraphStore& b, const std::string& where) {
  const GraphSnapshot x = a.snapshot(), y = b.snapshot();
  ASSERT_EQ(x.nodes.size(), y.nodes.size()) << where;
  for (NodeId id = 0; id < x.nodes.size(); ++id) {
    const NodeView p = x.nodes[id], q = y.nodes[id];
    if (p.kind() != NodeKind::Stage) continue;
    ASSERT_EQ(p.member_count(), q.member_count()) << where;
    for (std::size_t m = 0; m < p.member_count(); ++m) {
      EXPECT_EQ(p.member_shape(m).kind, q.member_shape(m).kind) << where << " node " << id << " member " << m;
      EXPECT_EQ(p.text_of(p.member_shape(m).name), q.text_of(q.member_shape(m).name)) << where;
      const std::span<const std::uint32_t> pw = p.member_param_words(m), qw = q.member_param_words(m);
      ASSERT_EQ(pw.size(), qw.size()) << where;
      for (std::size_t w = 0; w < pw.size(); w += entry::kWordsPerParam) {
        const std::uint32_t *pp = pw.data() + w, *qp = qw.data() + w;
        EXPECT_EQ(p.text_of(entry::param_key(pp)), q.text_of(entry::param_key(qp))) << where;
        ASSERT_EQ(entry::param_tag(pp), entry::param_tag(qp)) << where;
        if (entry::param_tag(pp) == ParamTag::Str) {
          EXPECT_EQ(p.text_of(static_cast<StrId>(entry::param_bits(pp))),
                    q.text_of(static_cast<StrId>(entry::param_bits(qp))))
              << where;
        } else {
          EXPECT_EQ(entry::param_bits(pp), entry::param_bits(qp)) << where;
        }
      }
    }
  }
}

class RandomReductions : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomReductions, DirectStoreAndSkippedHashConsingChangeNothing) {
  std::mt19937_64 rng(GetParam());
  for (int round = 0; round < 20; ++round) {
    const std::vector<Node> nodes = random_graph(rng, 5 + rng() % 120);
    const NodeTable table = table_of(nodes);
    const std::vector<NodeId> outputs = random_outputs(rng, table.size());
    for (bool maximal : {false, true}) {
      const std::string where = "seed " + std::to_string(GetParam()) + " round " + std::to_string(round) +
                                (maximal ? " maximal" : " single-use");
      EGraphEngine engine;
      const ReducedGraph list = reduce_graph(table, outputs, engine, maximal);
      expect_well_formed(list);
      HashConsedEngine hash_consed;
      EXPECT_EQ(describe(reduce_graph(table, outputs, hash_consed, maximal)), describe(list)) << where;

      ReducedStore listed = from_reduced(list);
      const GraphStore& via_list = listed.store;
      const ReductionReport& list_report = listed.report;
      const std::vector<NodeId>& list_output_ids = listed.output_ids;
      EGraphEngine direct_engine;
      ReducedStore directly = reduce_graph_to_store(table, outputs, direct_engine, maximal);
      const GraphStore& direct = directly.store;
      const ReductionReport& direct_report = directly.report;
      const std::vector<NodeId>& direct_output_ids = directly.output_ids;
      EXPECT_EQ(direct_report, list_report) << where;
      EXPECT_EQ(direct_output_ids, list_output_ids) << where;
      ASSERT_EQ(direct_output_ids.size(), outputs.size()) << where;
      EXPECT_EQ(blob_of(direct), blob_of(via_list)) << where;
      expect_same_member_shapes(direct, via_list, where);
      {
        // Reduced again, the stages are kept whole: their members' shapes come from the stages.
        const GraphSnapshot reduced = direct.snapshot();
        EGraphEngine again_engine, again_list_engine;
        ReducedStore again = reduce_graph_to_store(reduced.nodes, reduced.outputs, again_engine, maximal);
        ReducedStore again_listed =
            from_reduced(reduce_graph(reduced.nodes, reduced.outputs, again_list_engine, maximal));
        EXPECT_EQ(blob_of(again.store), blob_of(again_listed.store)) << where;
        expect_same_member_shapes(again.store, again_listed.store, where);
      }

      // Tracing where each input went changes nothing, reaches exactly the reachable inputs,
      // and sends every output where the output mapping says.
      EGraphEngine traced_engine;
      ReducedStore traced = reduce_graph_to_store(table, outputs, traced_engine, maximal, nullptr, true);
      EXPECT_EQ(blob_of(traced.store), blob_of(direct)) << where;
      ASSERT_EQ(traced.reduced_of_input.size(), table.size()) << where;
      std::size_t reached = 0;
      for (NodeId reduced : traced.reduced_of_input) {
        if (reduced == kNotReduced) continue;
        ++reached;
        EXPECT_LT(reduced, traced.store.node_count()) << where;
      }
      EXPECT_EQ(reached, direct_report.reachable_nodes) << where;
      for (std::size_t i = 0; i < outputs.size(); ++i) {
        EXPECT_EQ(traced.reduced_of_input[outputs[i]], direct_output_ids[i]) << where;
      }
      // Every reduced node stands for some input: nothing is made from nothing.
      std::vector<bool> covered(traced.store.node_count(), false);
      for (NodeId reduced : traced.reduced_of_input) {
        if (reduced != kNotReduced) covered[reduced] = true;
      }
      EXPECT_TRUE(std::all_of(covered.begin(), covered.end(), [](bool c) { return c; })) << where;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomReductions, ::testing::Range(1u, 9u));

// ---- stage fusion against the rules as written ----

struct Emitted {
  std::vector<std::string> lines;  // one per reduced node
};

class RecordingSink final : public ReducedNodeSink {
 public:
  explicit RecordingSink(Emitted& out) : out_(out) {}
  void append_boundary(const NodeView& node, std::span<const NodeId> inputs) override {
    std::string line = "node " + std::to_string(node.id()) + " (";
    for (NodeId input : inputs) line += std::to_string(input) + ",";
    out_.lines.push_back(line + ")");
  }
  void append_stage(const StageDraft& stage) override {
    std::string line = "stage (";
    for (std::size_t i = 0; i < stage.input_count(); ++i) line += std::to_string(stage.input(i)) + ",";
    line += ")";
    for (std::size_t m = 0; m < stage.member_count(); ++m) {
      line += " " + std::string(stage.member_token(m)) + "[";
      for (const MemberRef& ref : stage.member_refs(m)) {
        line += (ref.kind == MemberRefKind::Input ? "i" : "m") + std::to_string(ref.index) + ",";
      }
      line += "]";
    }
    out_.lines.push_back(line);
  }

 private:
  Emitted& out_;
};

struct ReferenceResult {
  Emitted emitted;
  std::vector<std::uint64_t> outputs;
  std::uint64_t stages = 0;
  std::uint64_t boundary = 0;
};

// Grouping and emission as the rules state them: consumer lists, a union-find for the
// single-use rule, a descending pass for the maximal rule, a map from group to members, groups
// sorted by their largest member.
ReferenceResult reference_fusion(const TermList& terms, std::span<const std::uint8_t> is_output,
                                 std::span<const TermIndex> outputs, const NodeTable& templates_table,
                                 std::span<const NodeId> templates, bool maximal) {
  const std::size_t n = terms.size();
  std::vector<std::vector<TermIndex>> consumers(n);
  for (std::size_t j = 0; j < n; ++j) {
    for (TermIndex c : terms.children(j)) consumers[c].push_back(static_cast<TermIndex>(j));
  }
  std::vector<TermIndex> group(n);
  for (std::size_t i = 0; i < n; ++i) group[i] = static_cast<TermIndex>(i);
  if (!maximal) {
    std::vector<TermIndex> parent = group;
    const auto find = [&](TermIndex i) {
      TermIndex root = i;
      while (parent[root] != root) root = parent[root];
      while (parent[i] != root) i = std::exchange(parent[i], root);
      return root;
    };
    for (std::size_t i = 0; i < n; ++i) {
      if (terms.is_boundary(i) || consumers[i].size() != 1 || is_output[i] || terms.is_boundary(consumers[i][0]))
        continue;
      const TermIndex a = find(static_cast<TermIndex>(i)), b = find(consumers[i][0]);
      if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
    for (std::size_t i = 0; i < n; ++i)
      group[i] = terms.is_boundary(i) ? static_cast<TermIndex>(i) : find(static_cast<TermIndex>(i));
  } else {
    for (std::size_t x = n; x-- > 0;) {
      if (terms.is_boundary(x) || is_output[x] || consumers[x].empty()) continue;
      const TermIndex g = group[consumers[x][0]];
      bool joins = true;
      for (TermIndex use : consumers[x]) joins &= !terms.is_boundary(use) && group[use] == g;
      if (joins) group[x] = g;
    }
  }
  std::map<TermIndex, std::vector<TermIndex>> members;
  for (std::size_t t = 0; t < n; ++t) members[group[t]].push_back(static_cast<TermIndex>(t));
  std::vector<TermIndex> order;
  for (const auto& [g, list] : members) order.push_back(g);
  std::sort(order.begin(), order.end(),
            [&](TermIndex a, TermIndex b) { return members[a].back() < members[b].back(); });

  ReferenceResult result;
  RecordingSink sink(result.emitted);
  std::map<TermIndex, std::uint64_t> position;
  for (TermIndex g : order) {
    const std::vector<TermIndex>& list = members[g];
    if (terms.is_boundary(list[0])) {
      std::vector<NodeId> inputs;
      for (TermIndex child : terms.children(list[0])) inputs.push_back(position.at(group[child]));
      sink.append_boundary(templates_table[templates[terms.symbol(list[0])]], inputs);
      ++result.boundary;
    } else {
      StageDraft stage;
      std::vector<TermIndex> stage_inputs;
      for (TermIndex m : list) {
        stage.add_member(terms.symbol(m), terms.symbol_text(m));
        for (TermIndex child : terms.children(m)) {
          if (group[child] == g) {
            const auto at = std::find(list.begin(), list.end(), child) - list.begin();
            stage.add_ref(MemberRef{MemberRefKind::Member, static_cast<std::uint64_t>(at)});
            continue;
          }
          auto at = std::find(stage_inputs.begin(), stage_inputs.end(), group[child]);
          if (at == stage_inputs.end()) {
            stage_inputs.push_back(group[child]);
            stage.add_input(position.at(group[child]));
            at = stage_inputs.end() - 1;
          }
          stage.add_ref(MemberRef{MemberRefKind::Input, static_cast<std::uint64_t>(at - stage_inputs.begin())});
        }
      }
      sink.append_stage(stage);
      ++result.stages;
    }
    position[g] = position.size();
  }
  for (TermIndex o : outputs) result.outputs.push_back(position.at(group[o]));
  return result;
}

// The symbols of fusion tests, each with its template node: a Source for the leaf, a Reduction
// for boundaries, and ops.
struct FusionSymbols {
  SymbolTexts texts;
  std::vector<NodeId> templates;
  std::vector<Node> template_nodes;
  SymbolId leaf = add("src|x", src("x"));
  SymbolId boundary = add("red|sum", red("sum", {0}));
  SymbolId ops[3] = {add("op|f", op("f", {0})), add("op|g", op("g", {0})), add("op|h", op("h", {0}))};

  SymbolId add(const std::string& text, Node node) {
    const auto [id, added] = texts.intern(text);
    if (added) {
      templates.push_back(template_nodes.size());
      template_nodes.push_back(std::move(node));
    }
    return id;
  }
};

class RandomFusion : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomFusion, GroupsAndEmitsAsTheRulesState) {
  std::mt19937_64 rng(GetParam());
  FusionSymbols symbols;
  SymbolTexts& texts = symbols.texts;
  const std::vector<NodeId>& templates = symbols.templates;
  const SymbolId leaf = symbols.leaf, boundary = symbols.boundary;
  const SymbolId* ops = symbols.ops;
  const NodeTable table = table_of(symbols.template_nodes);

  for (int round = 0; round < 40; ++round) {
    TermList terms(texts);
    const std::size_t n = 1 + rng() % 60;
    terms.append(leaf, {}, true);
    for (std::size_t i = 1; i < n; ++i) {
      const bool is_boundary = rng() % 6 == 0;
      std::vector<TermIndex> children;
      const std::size_t arity = 1 + rng() % 3;
      for (std::size_t k = 0; k < arity; ++k) {
        // Mostly the previous few terms, sometimes any, sometimes the same child twice.
        const TermIndex child = rng() % 4 ? static_cast<TermIndex>(i - 1 - rng() % std::min<std::size_t>(i, 3))
                                          : static_cast<TermIndex>(rng() % i);
        children.push_back(child);
        if (rng() % 8 == 0) children.push_back(child);
      }
      terms.append(is_boundary ? boundary : ops[rng() % 3], children, is_boundary);
    }
    std::vector<TermIndex> outputs;
    for (std::size_t k = rng() % 4; k-- > 0;) outputs.push_back(static_cast<TermIndex>(rng() % n));
    outputs.push_back(static_cast<TermIndex>(n - 1));
    std::vector<std::uint8_t> is_output(n, 0);
    for (TermIndex o : outputs) is_output[o] = 1;

    for (bool maximal : {false, true}) {
      Emitted emitted;
      RecordingSink sink(emitted);
      const FusionResult got =
          fuse_and_emit(terms, is_output, outputs, SymbolTemplates{table, templates}, maximal, sink);
      const ReferenceResult want = reference_fusion(terms, is_output, outputs, table, templates, maximal);
      const std::string where = "seed " + std::to_string(GetParam()) + " round " + std::to_string(round) +
                                (maximal ? " maximal" : " single-use");
      EXPECT_EQ(emitted.lines, want.emitted.lines) << where;
      EXPECT_EQ(got.outputs, want.outputs) << where;
      EXPECT_EQ(got.stages, want.stages) << where;
      EXPECT_EQ(got.boundary_nodes, want.boundary) << where;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomFusion, ::testing::Range(1u, 13u));

// ---- fusion overlapped with its sink on a second thread ----

// A graph large enough for the overlapped path: chains of ops with some far reads, boundaries
// now and then.
struct LargeFusion {
  FusionSymbols symbols;
  const std::vector<NodeId>& templates = symbols.templates;
  NodeTable table = table_of(symbols.template_nodes);
  TermList terms{symbols.texts};
  std::vector<TermIndex> outputs;
  std::vector<std::uint8_t> is_output;

  explicit LargeFusion(std::size_t n) {
    const SymbolId boundary = symbols.boundary;
    const SymbolId* ops = symbols.ops;
    std::mt19937_64 rng(7);
    terms.append(symbols.leaf, {}, true);
    for (std::size_t i = 1; i < n; ++i) {
      const bool is_boundary = rng() % 9 == 0;
      std::vector<TermIndex> children{static_cast<TermIndex>(i - 1)};
      if (rng() % 3 == 0) children.push_back(static_cast<TermIndex>(rng() % i));
      terms.append(is_boundary ? boundary : ops[rng() % 2], children, is_boundary);
    }
    outputs = {static_cast<TermIndex>(n / 2), static_cast<TermIndex>(n - 1)};
    is_output.assign(n, 0);
    for (TermIndex o : outputs) is_output[o] = 1;
  }
};

TEST(ConcurrentEmission, OverlappedFusionMakesTheSameCallsInTheSameOrder) {
  const LargeFusion graph(min_parallel_items() + 5000);
  for (bool maximal : {false, true}) {
    Emitted direct, overlapped;
    RecordingSink direct_sink(direct), overlapped_sink(overlapped);
    const SymbolTemplates templates{graph.table, graph.templates};
    std::vector<std::uint32_t> direct_positions, overlapped_positions;
    const FusionResult want =
        fuse_and_emit(graph.terms, graph.is_output, graph.outputs, templates, maximal, direct_sink, &direct_positions);
    const FusionResult got = fuse_and_emit_overlapped(graph.terms, graph.is_output, graph.outputs, templates, maximal,
                                                      overlapped_sink, &overlapped_positions);
    EXPECT_EQ(overlapped.lines, direct.lines);
    EXPECT_EQ(got.outputs, want.outputs);
    EXPECT_EQ(got.stages, want.stages);
    EXPECT_EQ(got.boundary_nodes, want.boundary_nodes);
    EXPECT_EQ(overlapped_positions, direct_positions);
  }
}

// A sink that fails part-way (memory exhaustion, say) fails the emission with its own error,
// whichever thread it failed on, and nothing waits forever.
class FailingSink final : public ReducedNodeSink {
 public:
  explicit FailingSink(std::size_t calls) : left_(calls) {}
  void append_boundary(const NodeView&, std::span<const NodeId>) override { count(); }
  void append_stage(const StageDraft&) override { count(); }

 private:
  void count() {
    if (left_-- == 0) throw std::bad_alloc();
  }
  std::size_t left_;
};

TEST(ConcurrentEmission, ASinkThatFailsFailsTheEmission) {
  const LargeFusion graph(min_parallel_items() + 5000);
  // About one term in nine is a boundary, each followed by a stage: a twentieth of the terms is
  // part-way through the calls at any graph size (VELTRIX_PARALLEL_MIN makes it small).
  for (std::size_t calls : {std::size_t{0}, std::size_t{10}, graph.terms.size() / 20}) {
    FailingSink sink(calls);
    EXPECT_THROW(fuse_and_emit_overlapped(graph.terms, graph.is_output, graph.outputs,
                                          SymbolTemplates{graph.table, graph.templates}, false, sink),
                 std::bad_alloc)
        << calls;
  }
}

}  // namespace
}  // namespace veltrix
