#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "store/graph_store.h"
#include "store/node_builders.h"
#include "store/node_interner.h"

namespace veltrix {
namespace {

using namespace veltrix::testing;

// Interns both nodes into one store: identity as the store sees it, not just operator==.
bool interned_together(const Node& a, const Node& b) {
  GraphStore store;
  (void)store.intern(src("x"));
  (void)store.intern(src("y"));
  const NodeId ia = store.intern(a).value();
  const NodeId ib = store.intern(b).value();
  EXPECT_EQ(ia == ib, a == b) << "store identity and node equality disagree";
  return ia == ib;
}

struct IdentityCase {
  const char* what;
  Node a;
  Node b;
  bool same;
};

class NodeIdentity : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(NodeIdentity, StoreAndEqualityAgree) {
  EXPECT_EQ(interned_together(GetParam().a, GetParam().b), GetParam().same) << GetParam().what;
}

double nan_with_payload(std::uint64_t payload, bool negative) {
  return std::bit_cast<double>((negative ? 0xFFF0000000000000ULL : 0x7FF0000000000000ULL) | payload);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NodeIdentity,
    ::testing::Values(
        IdentityCase{"param order", src("x", params({{"b", I(1)}, {"a", I(2)}})),
                     src("x", params({{"a", I(2)}, {"b", I(1)}})), true},
        IdentityCase{"zero signs", src("x", params({{"k", F(0.0)}})), src("x", params({{"k", F(-0.0)}})), false},
        IdentityCase{"nan payloads", src("x", params({{"k", F(nan_with_payload(1, false))}})),
                     src("x", params({{"k", F(nan_with_payload(77, true))}})), true},
        IdentityCase{"int vs float", src("x", params({{"k", I(1)}})), src("x", params({{"k", F(1.0)}})), false},
        IdentityCase{"int vs bool", src("x", params({{"k", I(1)}})), src("x", params({{"k", B(true)}})), false},
        IdentityCase{"str vs int", src("x", params({{"k", S("1")}})), src("x", params({{"k", I(1)}})), false},
        IdentityCase{"absent vs empty ref", Node::external(descriptor(), {}, {}),
                     Node::external(descriptor(std::string()), {}, {}), false},
        IdentityCase{"io schema", Node::external(descriptor(std::nullopt, "a"), {}, {}),
                     Node::external(descriptor(std::nullopt, "b"), {}, {}), false},
        IdentityCase{"equal externals", Node::external(descriptor("p"), {}, {0}),
                     Node::external(descriptor("p"), {}, {0}), true},
        IdentityCase{"input order", op("add", {0, 1}), op("add", {1, 0}), false},
        IdentityCase{"repeated input kept", op("add", {0, 0}), op("add", {0}), false},
        IdentityCase{"kind differs", src("x"), op("x", {}), false},
        IdentityCase{"op vs reduction", op("sum", {0}), red("sum", {0}), false},
        IdentityCase{"name bytes", src("x"), src("X"), false},
        IdentityCase{"exchange params", Node::exchange(params({{"axis", I(1)}}), {0}),
                     Node::exchange(params({{"axis", I(1)}}), {0}), true},
        IdentityCase{"stage refs", Node::stage({0}, {StageMember{"op|neg", {{MemberRefKind::Input, 0}}}}),
                     Node::stage({0}, {StageMember{"op|neg", {{MemberRefKind::Member, 0}}}}), false},
        IdentityCase{"stage tokens", Node::stage({0}, {StageMember{"op|neg", {}}}),
                     Node::stage({0}, {StageMember{"op|abs", {}}}), false},
        IdentityCase{
            "equal stages",
            Node::stage({0, 1}, {StageMember{"op|add", {{MemberRefKind::Input, 0}, {MemberRefKind::Input, 1}}}}),
            Node::stage({0, 1}, {StageMember{"op|add", {{MemberRefKind::Input, 0}, {MemberRefKind::Input, 1}}}}),
            true}));

TEST(ParamMap, SortsByKeyBytesStably) {
  const ParamMap map = params({{"b", I(1)}, {"ab", I(2)}, {"Z", I(3)}, {"a", I(4)}, {"\xc3\xa9", I(5)}, {"a", I(6)}});
  std::vector<std::string> keys;
  std::vector<std::int64_t> values;
  for (const ParamEntry& e : map) {
    keys.push_back(e.key);
    values.push_back(e.value.as_int());
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"Z", "a", "a", "ab", "b", "\xc3\xa9"}));
  EXPECT_EQ(values, (std::vector<std::int64_t>{3, 4, 6, 2, 1, 5}));  // repeated "a" keeps its order
}

TEST(ParamMap, LongListsSortStablyToo) {
  std::vector<std::pair<std::string, ParamValue>> entries;
  for (int i = 40; i > 0; --i) entries.push_back({std::string(1, char('a' + i % 5)), I(i)});
  const ParamMap map = params(entries);
  for (std::size_t i = 1; i < map.size(); ++i) {
    ASSERT_LE(map[i - 1].key, map[i].key);
    if (map[i - 1].key == map[i].key) {
      EXPECT_GT(map[i - 1].value.as_int(), map[i].value.as_int());
    }
  }
}

TEST(Node, WithInputsReplacesOnlyInputs) {
  const Node stage = Node::stage({3, 4}, {StageMember{"op|neg", {{MemberRefKind::Input, 1}}}});
  const Node moved = stage.with_inputs(std::vector<NodeId>{0, 1});
  EXPECT_EQ(moved.members(), stage.members());
  EXPECT_EQ(std::vector<NodeId>(moved.inputs().begin(), moved.inputs().end()), (std::vector<NodeId>{0, 1}));
  const Node source = src("x");
  EXPECT_EQ(source.with_inputs(std::vector<NodeId>{5}), source);
}

TEST(NodeView, RoundTripsEveryKindBitForBit) {
  GraphStore store;
  const double nan = nan_with_payload(0x1234, true);
  std::vector<Node> nodes = {
      src("a", params({{"f", F(nan)}, {"i", I(-5)}, {"b", B(false)}, {"s", S("t|x")}})),
      op("add", {0, 0}, params({{"z", F(-0.0)}})),
      red("sum", {1}),
      Node::external(descriptor(std::string()), params({{"k", I(1)}}), {0, 2}),
      Node::stage({1, 3}, {StageMember{"op|neg", {{MemberRefKind::Input, 1}}},
                           StageMember{"red|sum", {{MemberRefKind::Member, 0}, {MemberRefKind::Input, 0}}}}),
      Node::exchange(params({{"scheme", S("hash")}}), {4, 4, 4}),
  };
  for (const Node& n : nodes) ASSERT_TRUE(store.intern(n).ok());
  const GraphSnapshot snap = store.snapshot();
  ASSERT_EQ(snap.nodes.size(), nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const Node back = snap.nodes[i].to_node();
    EXPECT_EQ(back, nodes[i]) << i;
  }
  const ParamValueRef f = snap.nodes[0].param_value(1);  // keys sort: b, f, i, s
  EXPECT_EQ(f.bits, std::bit_cast<std::uint64_t>(nan)) << "floats are stored bit for bit";
}

// Nodes reach an interner already resolved from another table's raw entries (the incremental
// reducer's deltas), where an External's or a Stage's label word indexes that table's side
// arrays. Such a node must still be found equal to its stored twin whatever that index is.
TEST(NodeInterner, ResolvedExternalsAndStagesAreFoundWhateverTheirLabelWord) {
  NodeInterner interner;
  const std::uint32_t x = interner.intern(src("x"));
  const std::uint32_t ext = interner.intern(Node::external(descriptor("p"), {}, {x}));
  const std::vector<MemberRef> refs = {{MemberRefKind::Input, 0}};
  const std::uint32_t stage = interner.intern(Node::stage({x, ext}, {StageMember{"op|neg", refs}}));

  NodeInterner::ResolvedNode external;
  external.kind = NodeKind::External;
  const char* fields[5] = {"k", "h", "f", "v", "s"};
  for (int f = 0; f < 5; ++f) external.descriptor.fields[f] = interner.intern_text(fields[f]);
  external.descriptor.preprocessing_ref = interner.intern_text("p");
  external.input_count = 1;

  NodeInterner::ResolvedNode staged;
  staged.kind = NodeKind::Stage;
  staged.input_count = 2;
  staged.members.push_back({interner.intern_text("op|neg"), refs});

  for (std::uint32_t label : {0u, 1u, 7u, 123456u}) {
    external.words = {0, static_cast<std::uint32_t>(NodeKind::External), label, 1, x};
    staged.words = {0, static_cast<std::uint32_t>(NodeKind::Stage), label, 2, x, ext};
    EXPECT_EQ(interner.find(external), std::optional<std::uint32_t>(ext)) << label;
    EXPECT_EQ(interner.find(staged), std::optional<std::uint32_t>(stage)) << label;
    EXPECT_EQ(interner.intern(staged), stage) << label;
  }
  EXPECT_EQ(interner.size(), 3u);
}

}  // namespace
}  // namespace veltrix

namespace veltrix {
namespace {

using namespace veltrix::testing;

// Rolling back to a mark leaves the interner as if nothing had been added since: the same nodes
// and texts, found again by the same ids, and whatever is added next gets the ids it would have
// got without the undone nodes. Stages, externals and new texts take part.
TEST(NodeInternerRollBack, UndoesEverythingSinceTheMark) {
  const std::vector<Node> kept = {src("a"), op("f", {0}), src("b", params({{"k", S("v")}}))};
  const std::vector<Node> undone = {src("fresh", params({{"new", S("text")}})), op("g", {0, 3}),
                                    Node::external(descriptor("p"), {}, {4}),
                                    Node::stage({1}, {StageMember{"op|neg", {MemberRef{MemberRefKind::Input, 0}}}})};
  NodeInterner interner;
  for (const Node& node : kept) interner.intern(node);
  const std::size_t texts = interner.table().strings().size();
  const NodeInterner::Mark mark = interner.mark();
  for (const Node& node : undone) interner.intern(node);
  interner.roll_back(mark);
  EXPECT_EQ(interner.size(), kept.size());
  EXPECT_EQ(interner.table().strings().size(), texts);
  for (std::size_t id = 0; id < kept.size(); ++id) EXPECT_EQ(interner.find(kept[id]), id);
  for (const Node& node : undone) EXPECT_FALSE(interner.find(node).has_value());
  for (std::size_t i = 0; i < undone.size(); ++i) EXPECT_EQ(interner.intern(undone[i]), kept.size() + i);
  // fresh, new, text, g, the descriptor's h, s and p (k, f and v are kept texts), the member's
  // token and the name read from it
  EXPECT_EQ(interner.table().strings().size(), texts + 9);
}

}  // namespace
}  // namespace veltrix

namespace veltrix {
namespace {

using namespace veltrix::testing;

// A stage member's kind, name and params are read from its token when the table first holds it;
// a token that does not read is kept as unreadable, and the member keeps its token either way.
TEST(StageMembers, TokensAreReadIntoTheirShapeOnce) {
  NodeInterner interner;
  interner.intern(src("x"));
  const std::vector<StageMember> members = {
      {"op|add", {MemberRef{MemberRefKind::Input, 0}, MemberRef{MemberRefKind::Input, 0}}},
      {"red|sum|axis=i1;keep=btrue;tag=s%7Cz", {MemberRef{MemberRefKind::Member, 0}}},
      {"not a token", {MemberRef{MemberRefKind::Member, 1}}},
      {"op|add", {MemberRef{MemberRefKind::Member, 2}, MemberRef{MemberRefKind::Input, 0}}}};
  const std::uint32_t id = interner.intern(Node::stage({0}, members));
  const NodeView stage = interner.table()[id];
  using Kind = NodeTable::MemberKind;
  EXPECT_EQ(stage.member_shape(0).kind, Kind::Op);
  EXPECT_EQ(stage.text_of(stage.member_shape(0).name), "add");
  EXPECT_EQ(stage.member_param_words(0).size(), 0u);
  EXPECT_EQ(stage.member_shape(1).kind, Kind::Reduction);
  const std::span<const std::uint32_t> words = stage.member_param_words(1);
  ASSERT_EQ(words.size(), 3 * entry::kWordsPerParam);
  EXPECT_EQ(stage.text_of(entry::param_key(words.data())), "axis");
  EXPECT_EQ(entry::param_bits(words.data()), 1u);
  const std::uint32_t* tag = words.data() + 2 * entry::kWordsPerParam;
  EXPECT_EQ(stage.text_of(static_cast<StrId>(entry::param_bits(tag))), "|z");  // unescaped
  EXPECT_EQ(stage.member_shape(2).kind, Kind::Unreadable);
  EXPECT_EQ(stage.member_token(2), "not a token");
  // One shape per distinct token.
  EXPECT_EQ(&stage.member_shape(0), &stage.member_shape(3));
}

}  // namespace
}  // namespace veltrix
