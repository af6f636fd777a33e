#include "store/dot_export.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "store/node_builders.h"

namespace veltrix {
namespace {

using namespace veltrix::testing;

// The DOT text of a store holding the given nodes (inputs are ids of that store).
std::string dot_of(std::initializer_list<Node> nodes, std::initializer_list<NodeId> marks = {}) {
  GraphStore store;
  for (const Node& node : nodes) (void)store.intern(node);
  for (NodeId id : marks) (void)store.mark_output(id);
  return to_dot(store);
}

// The one node statement of a single-node store.
std::string statement_of(const Node& node) {
  const std::string text = dot_of({node});
  const std::string header = "digraph veltrix {\n";
  return text.substr(header.size(), text.size() - header.size() - 3);  // without "\n}\n"
}

TEST(DotExport, EmptyStore) { EXPECT_EQ(to_dot(GraphStore()), "digraph veltrix {\n}\n"); }

TEST(DotExport, MarkedOpAfterASource) {
  EXPECT_EQ(dot_of({src("x"), op("neg", {0}, params({{"scale", F(2.0)}}))}, {1}),
            "digraph veltrix {\n"
            "  n0 [label=\"Source x\"];\n"
            "  n1 [label=\"Op neg {scale=2}\", shape=doublecircle];\n"
            "  n0 -> n1;\n"
            "}\n");
}

TEST(DotExport, EdgesFollowAllNodesGroupedByConsumerWithRepeats) {
  EXPECT_EQ(dot_of({src("a"), src("b"), op("add", {0, 0}), op("f", {2, 1, 0}), Node::exchange({}, {3})}, {4, 0}),
            "digraph veltrix {\n"
            "  n0 [label=\"Source a\", shape=doublecircle];\n"
            "  n1 [label=\"Source b\"];\n"
            "  n2 [label=\"Op add\"];\n"
            "  n3 [label=\"Op f\"];\n"
            "  n4 [label=\"Exchange\", shape=doublecircle];\n"
            "  n0 -> n2;\n"
            "  n0 -> n2;\n"
            "  n2 -> n3;\n"
            "  n1 -> n3;\n"
            "  n0 -> n3;\n"
            "  n3 -> n4;\n"
            "}\n");
}

TEST(DotExport, StageDrawsItsOwnInputsOnly) {
  const Node stage = Node::stage(
      {1, 0}, {StageMember{"op|f", {{MemberRefKind::Input, 0}}}, StageMember{"op|g", {{MemberRefKind::Member, 0}}},
               StageMember{"red|h", {{MemberRefKind::Member, 1}}}});
  EXPECT_EQ(dot_of({src("a"), src("b"), stage}),
            "digraph veltrix {\n"
            "  n0 [label=\"Source a\"];\n"
            "  n1 [label=\"Source b\"];\n"
            "  n2 [label=\"Stage[3 members]\"];\n"
            "  n1 -> n2;\n"
            "  n0 -> n2;\n"
            "}\n");
}

struct LabelCase {
  const char* what;
  Node node;
  std::string statement;
};
void PrintTo(const LabelCase& c, std::ostream* os) { *os << c.what; }

class DotLabel : public ::testing::TestWithParam<LabelCase> {};

TEST_P(DotLabel, RendersExactly) { EXPECT_EQ(statement_of(GetParam().node), GetParam().statement) << GetParam().what; }

INSTANTIATE_TEST_SUITE_P(
    Kinds, DotLabel,
    ::testing::Values(
        LabelCase{"source with params", src("x", params({{"n", I(-3)}, {"flag", B(true)}, {"x", F(0.1)}})),
                  "  n0 [label=\"Source x {flag=true, n=-3, x=0.1}\"];"},
        LabelCase{"empty name", src(""), "  n0 [label=\"Source \"];"},
        LabelCase{"reduction", red("sum", {}, params({{"axis", I(0)}})), "  n0 [label=\"Reduction sum {axis=0}\"];"},
        LabelCase{"external without params", Node::external(descriptor("ignored", "ignored too"), {}, {}),
                  "  n0 [label=\"External k:h [f v]\"];"},
        LabelCase{"external with params", Node::external(descriptor(), params({{"b", B(false)}}), {}),
                  "  n0 [label=\"External k:h [f v] {b=false}\"];"},
        LabelCase{"exchange with scheme", Node::exchange(params({{"scheme", S("hash")}}), {}),
                  "  n0 [label=\"Exchange {scheme=\\\"hash\\\"}\"];"},
        LabelCase{"empty stage", Node::stage({}, {}), "  n0 [label=\"Stage[0 members]\"];"}));

INSTANTIATE_TEST_SUITE_P(
    Escaping, DotLabel,
    ::testing::Values(LabelCase{"quote in a name", src("a\"b"), "  n0 [label=\"Source a\\\"b\"];"},
                      LabelCase{"backslash in a name", src("a\\b"), "  n0 [label=\"Source a\\\\b\"];"},
                      LabelCase{"raw line feed stays raw", src("a\nb"), "  n0 [label=\"Source a\nb\"];"},
                      LabelCase{"str value quoted then escaped", op("f", {}, params({{"mode", S("fast")}})),
                                "  n0 [label=\"Op f {mode=\\\"fast\\\"}\"];"},
                      // The Str rendering doubles the backslash, then the label escaping doubles both.
                      LabelCase{"backslash in a str value", src("s", params({{"p", S("a\\b")}})),
                                "  n0 [label=\"Source s {p=\\\"a\\\\\\\\b\\\"}\"];"},
                      LabelCase{"quote in a str value", src("s", params({{"p", S("\"")}})),
                                "  n0 [label=\"Source s {p=\\\"\\\\\\\"\\\"}\"];"},
                      LabelCase{"control escapes", src("s", params({{"p", S(std::string("\t\r\n\0", 4))}})),
                                "  n0 [label=\"Source s {p=\\\"\\\\t\\\\r\\\\n\\\\0\\\"}\"];"},
                      LabelCase{"apostrophe and printable unicode unchanged",
                                src("s", params({{"p", S("it's \xc3\xa9\xe4\xb8\xad")}})),
                                "  n0 [label=\"Source s {p=\\\"it's \xc3\xa9\xe4\xb8\xad\\\"}\"];"},
                      LabelCase{
                          "unprintable and combining as code points",
                          src("s", params({{"p", S("\x01\x7f\xc2\x85\xcc\x81\xe2\x80\x8b")}})),
                          "  n0 [label=\"Source s {p=\\\"\\\\u{1}\\\\u{7f}\\\\u{85}\\\\u{301}\\\\u{200b}\\\"}\"];"},
                      LabelCase{"keys are not quoted", src("s", params({{"a b\"", I(1)}})),
                                "  n0 [label=\"Source s {a b\\\"=1}\"];"}));

struct FloatCase {
  double value;
  const char* text;
};
void PrintTo(const FloatCase& c, std::ostream* os) { *os << c.text; }

class DotFloat : public ::testing::TestWithParam<FloatCase> {};

TEST_P(DotFloat, ShortestRoundTripInPositionalNotation) {
  std::string out;
  append_label_value(out, ParamValue::from_float(GetParam().value).ref());
  EXPECT_EQ(out, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DotFloat,
    ::testing::Values(FloatCase{1.0, "1"}, FloatCase{0.5, "0.5"}, FloatCase{-0.0, "-0"}, FloatCase{0.0, "0"},
                      FloatCase{2.0, "2"}, FloatCase{0.1, "0.1"}, FloatCase{1e21, "1000000000000000000000"},
                      FloatCase{1e-7, "0.0000001"}, FloatCase{-2.5, "-2.5"}, FloatCase{123456.789, "123456.789"},
                      FloatCase{1.0 / 3.0, "0.3333333333333333"}, FloatCase{9007199254740993.0, "9007199254740992"},
                      FloatCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      FloatCase{std::bit_cast<double>(0xFFF0000000000123ULL), "NaN"},
                      FloatCase{std::numeric_limits<double>::infinity(), "inf"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "-inf"}, FloatCase{1e-5, "0.00001"},
                      FloatCase{1e22, "10000000000000000000000"},
                      // Shortest digits, not the exact binary value (99999999999999991611392).
                      FloatCase{1e23, "100000000000000000000000"}, FloatCase{-1.5e25, "-15000000000000000000000000"},
                      FloatCase{123456789012345678901234567890.0, "123456789012345680000000000000"},
                      FloatCase{1.5e-10, "0.00000000015"}, FloatCase{12.0, "12"}, FloatCase{1.25e2, "125"}));

TEST(DotFloat, ExtremesAreWrittenInFull) {
  std::string tiny;
  append_label_value(tiny, ParamValue::from_float(5e-324).ref());
  EXPECT_EQ(tiny, "0." + std::string(323, '0') + "5");

  std::string out;
  append_label_value(out, ParamValue::from_float(std::numeric_limits<double>::max()).ref());
  EXPECT_EQ(out.size(), 309u);
  EXPECT_EQ(out, "17976931348623157" + std::string(292, '0'));
}

TEST(DotExport, RendersUnderTheStoreLock) {
  // A poisoned store refuses to render, which shows that rendering takes the store's mutex.
  GraphStore store;
  (void)store.intern(src("a"));
  try {
    store.read_locked([](const NodeTable&, std::span<const NodeId>) -> int { internal_failure("injected"); });
  } catch (const InternalFailure&) {
  }
  EXPECT_THROW((void)to_dot(store), InternalFailure);
}

}  // namespace
}  // namespace veltrix
