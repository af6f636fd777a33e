#include "store/term_encoding.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "store/node_builders.h"

namespace veltrix {
namespace {

using namespace veltrix::testing;

struct SymbolCase {
  Node node;
  const char* symbol;
};

class Symbols : public ::testing::TestWithParam<SymbolCase> {};

TEST_P(Symbols, EncodeExactly) { EXPECT_EQ(encode_symbol(GetParam().node), GetParam().symbol); }

INSTANTIATE_TEST_SUITE_P(
    Cases, Symbols,
    ::testing::Values(
        SymbolCase{op("add", {0}, params({{"scalar", F(0.0)}, {"side", S("r")}})),
                   "op|add|scalar=f0000000000000000;side=sr"},
        SymbolCase{op("a;b", {}), "op|a%3Bb"}, SymbolCase{op("neg", {0}), "op|neg"}, SymbolCase{src("x"), "src|x"},
        SymbolCase{Node::exchange({}, {0}), "exch"},
        SymbolCase{Node::exchange(params({{"axis", I(1)}}), {0}), "exch|axis=i1"},
        SymbolCase{red("sum", {0}, params({{"axis", I(-5)}, {"keep", B(true)}})), "red|sum|axis=i-5;keep=btrue"},
        SymbolCase{src("x", params({{"one", F(1.0)}, {"neg", F(-0.0)}, {"nan", F(-std::nan("7"))}})),
                   "src|x|nan=f7ff8000000000000;neg=f8000000000000000;one=f3ff0000000000000"},
        SymbolCase{src("%3B|=", params({{"k=;", S("v|%")}})), "src|%253B%7C%3D|k%3D%3B=sv%7C%25"},
        SymbolCase{Node::external(descriptor(), {}, {}), "ext|k|h|f|v|s|%-"},
        SymbolCase{Node::external(descriptor(std::string("-")), {}, {}), "ext|k|h|f|v|s|-"},
        SymbolCase{
            Node::external(PayloadDescriptor{"a|b", "", "f", "v", "s", std::string("")}, params({{"p", I(0)}}), {}),
            "ext|a%7Cb||f|v|s||p=i0"},
        SymbolCase{
            Node::stage({0, 1}, {StageMember{"op|neg", {{MemberRefKind::Input, 1}}},
                                 StageMember{"op|add|k=i1", {{MemberRefKind::Member, 0}, {MemberRefKind::Input, 0}}}}),
            "stage|2|op%7Cneg=i1|op%7Cadd%7Ck%3Di1=m0;i0"}));

TEST(Symbols, ExternalsDifferingInAnyFieldDiffer) {
  // Without escaping, ("a|b", "c") and ("a", "b|c") would read the same; absent and "-" too.
  const Node x = Node::external(PayloadDescriptor{"a|b", "c", "f", "v", "s", std::nullopt}, {}, {});
  const Node y = Node::external(PayloadDescriptor{"a", "b|c", "f", "v", "s", std::nullopt}, {}, {});
  EXPECT_NE(encode_symbol(x), encode_symbol(y));
  EXPECT_NE(encode_symbol(Node::external(descriptor(), {}, {})),
            encode_symbol(Node::external(descriptor(std::string("%-")), {}, {})));
}

TEST(Symbols, StagesWithEqualCountsButOtherMembersDiffer) {
  const Node a = Node::stage({0}, {StageMember{"op|neg", {{MemberRefKind::Input, 0}}}});
  const Node b = Node::stage({0}, {StageMember{"op|abs", {{MemberRefKind::Input, 0}}}});
  const Node c = Node::stage({0}, {StageMember{"op|neg", {{MemberRefKind::Member, 0}}}});
  EXPECT_NE(encode_symbol(a), encode_symbol(b));
  EXPECT_NE(encode_symbol(a), encode_symbol(c));
}

TEST(Escaping, RoundTripsAnyText) {
  for (std::string text : {"", "%", "%3B", "%253B", "a;b=c|d%e", "%%7C|", "\xc3\xa9%"}) {
    EXPECT_EQ(unescape_symbol_text(escape_symbol_text(text)), text) << text;
  }
  EXPECT_EQ(escape_symbol_text("%3B"), "%253B");
}

struct ParseCase {
  const char* token;
  bool parses;
};

class MemberTokens : public ::testing::TestWithParam<ParseCase> {};

// The in-place reader of tokens without escapes must read exactly what the general parser does.
void expect_plain_reading_agrees(std::string_view token) {
  const std::optional<PlainMemberToken> plain = read_plain_member_token(token);
  if (token.find('%') != std::string_view::npos) {
    EXPECT_FALSE(plain) << token;
    return;
  }
  const std::optional<MemberToken> parsed = parse_member_token(token);
  ASSERT_EQ(plain.has_value(), parsed.has_value()) << token;
  if (!parsed) return;
  EXPECT_EQ(plain->is_op, parsed->kind == "op") << token;
  EXPECT_EQ(plain->name, parsed->name) << token;
  ASSERT_EQ(plain->params.size(), parsed->params.size()) << token;
  for (std::size_t i = 0; i < plain->params.size(); ++i) {
    EXPECT_EQ(plain->params[i].key, parsed->params[i].key) << token;
    EXPECT_EQ(ParamValue::from_ref(plain->params[i].value), parsed->params[i].value) << token;
  }
}

TEST_P(MemberTokens, AcceptOnlyWellFormedOpAndReductionTokens) {
  EXPECT_EQ(parse_member_token(GetParam().token).has_value(), GetParam().parses) << GetParam().token;
  expect_plain_reading_agrees(GetParam().token);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemberTokens,
    ::testing::Values(ParseCase{"red|sum|axis=i0", true}, ParseCase{"op|", true}, ParseCase{"op|f|", true},
                      ParseCase{"src|x", false}, ParseCase{"op", false}, ParseCase{"op|f|k", false},
                      ParseCase{"op|f|a=i1;", false}, ParseCase{"op|f|;a=i1", false}, ParseCase{"op|f|a=x1", false},
                      ParseCase{"op|f|a=f", false}, ParseCase{"op|f|a=", false}, ParseCase{"op|f|a=i", false},
                      ParseCase{"op|f|a=i+", false}, ParseCase{"op|f|a=i+-1", false},
                      ParseCase{"op|f|a=i9223372036854775808", false}, ParseCase{"op|f|a=i-9223372036854775808", true},
                      ParseCase{"op|f|a=f+FF", true}, ParseCase{"op|f|a=f1ffffffffffffffff", false},
                      ParseCase{"op|f|a=f0x1", false}, ParseCase{"op|f|a=bTrue", false},
                      ParseCase{"op|f|a=\xc3\xa9", false}, ParseCase{"op|f|a=s", true}, ParseCase{"op|f|a=s|b", true}));

TEST(MemberTokens, ReadBackNameAndParams) {
  auto parsed = parse_member_token("red|sum|axis=i0");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->kind, "red");
  EXPECT_EQ(parsed->name, "sum");
  ASSERT_EQ(parsed->params.size(), 1u);
  EXPECT_EQ(parsed->params[0].key, "axis");
  EXPECT_EQ(parsed->params[0].value, I(0));
  // The third part keeps further bars: the string value reads "x|y" after unescaping none.
  parsed = parse_member_token("op|f|b=s1;a=sx|y");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->params[0].key, "a");
  EXPECT_EQ(parsed->params[0].value.as_str(), "x|y");
}

TEST(MemberTokens, InvertEncodingOfOpsAndReductions) {
  const Node nodes[] = {
      op("we%ird;=|", {0}, params({{"k;=", S("%3B|")}, {"f", F(-0.0)}, {"i", I(INT64_MIN)}, {"b", B(false)}})),
      red("sum", {0}, params({{"", S("")}})),
      op("", {}),
  };
  for (const Node& node : nodes) {
    auto parsed = parse_member_token(encode_symbol(node));
    ASSERT_TRUE(parsed) << encode_symbol(node);
    EXPECT_EQ(parsed->kind, node.kind() == NodeKind::Op ? "op" : "red");
    EXPECT_EQ(parsed->name, node.name());
    EXPECT_EQ(parsed->params, node.params());
  }
}

// Random Op and Reduction nodes over texts dense in the characters the encoding escapes or
// splits on, with every kind of value, including NaN payloads, -0.0 and the integer extremes.
TEST(MemberTokens, InvertEncodingOfRandomOpsAndReductions) {
  std::mt19937_64 rng(20261207);
  const char* const pieces[] = {"a", "b", "|", ";", "=", "%", "3B", "%7C", "i", "f", "s", "\xc3\xa9", "\n", " "};
  auto text = [&] {
    std::string out;
    for (std::uint64_t n = rng() % 7; n > 0; --n) out += pieces[rng() % std::size(pieces)];
    return out;
  };
  auto value = [&]() -> ParamValue {
    switch (rng() % 4) {
      case 0: {
        const std::int64_t extremes[] = {INT64_MIN, INT64_MAX, 0, -1};
        return I(rng() % 2 ? extremes[rng() % 4] : static_cast<std::int64_t>(rng()));
      }
      case 1: {
        const std::uint64_t special[] = {0x8000000000000000ULL, 0x7ff0000000000001ULL, 0xfff8000000000123ULL,
                                         0x7ff0000000000000ULL};
        return F(std::bit_cast<double>(rng() % 2 ? rng() : special[rng() % 4]));
      }
      case 2: return B(rng() % 2 == 0);
      default: return S(text());
    }
  };
  for (int i = 0; i < 2000; ++i) {
    std::vector<std::pair<std::string, ParamValue>> entries;
    for (std::uint64_t n = rng() % 5; n > 0; --n) entries.emplace_back(text(), value());
    const Node node = i % 2 ? op(text(), {0}, params(entries)) : red(text(), {0}, params(entries));
    const std::string symbol = encode_symbol(node);
    auto parsed = parse_member_token(symbol);
    ASSERT_TRUE(parsed) << symbol;
    expect_plain_reading_agrees(symbol);
    EXPECT_EQ(parsed->kind, node.kind() == NodeKind::Op ? "op" : "red") << symbol;
    EXPECT_EQ(parsed->name, node.name()) << symbol;
    EXPECT_EQ(parsed->params, node.params()) << symbol;
  }
}

}  // namespace
}  // namespace veltrix
