#include "egraph/pattern_parse.h"

#include <gtest/gtest.h>

#include <string>

#include "egraph/pattern.h"
#include "egraph/sexpr.h"
#include "egraph_test_util.h"

namespace veltrix::egraph {
namespace {

using testing::failure_message;
using testing::sym;

// read_sexpr: either the expression read (debug form) or the error with its position.
struct ReadCase {
  const char* name;
  std::string text;
  std::string expected;  // debug form of the expression, or "" when an error is expected
  ParseError error;
};

class ReadSexpr : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadSexpr, ReadsOneExpressionOrReportsWhere) {
  const ReadCase& c = GetParam();
  Result<SExpr, ParseError> read = read_sexpr(c.text);
  if (c.expected.empty()) {
    ASSERT_FALSE(read.ok()) << read.value().debug_string();
    EXPECT_EQ(read.error(), c.error) << read.error().debug_string();
  } else {
    ASSERT_TRUE(read.ok()) << read.error().debug_string();
    EXPECT_EQ(read.value().debug_string(), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadSexpr,
    ::testing::Values(
        ReadCase{"EmptyText", "", "Empty", {}},
        ReadCase{"TrailingTextIgnored", "(a b) c", R"(List([String("a"), String("b")]))", {}},
        ReadCase{"TabDoesNotEndAnAtom", "(f a\tb)", R"(List([String("f"), String("a\tb")]))", {}},
        ReadCase{"OperatorPunctuation",
                 "(op|add|scalar=f3ff0000000000000;side=sl ?x)",
                 R"(List([String("op|add|scalar=f3ff0000000000000;side=sl"), String("?x")]))",
                 {}},
        ReadCase{"QuotedStringKeepsSpacesAndBackslashes",
                 "(f \"a b\\\"c\" d)",
                 R"(List([String("f"), String("a b\\\"c"), String("d")]))",
                 {}},
        ReadCase{"ListsSpanLines", "(f\r\n  (g x)\n)", R"(List([String("f"), List([String("g"), String("x")])]))", {}},
        ReadCase{"EmptyList", "()", "List([])", {}}, ReadCase{"LeadingBlanksSkipped", " \t x", R"(String("x"))", {}},
        ReadCase{"UnclosedList", "(f a", "", {"End of file reached", 1, 5}},
        ReadCase{"UnclosedNestedListOnSecondLine", "(f\n  (g", "", {"End of file reached", 2, 5}},
        ReadCase{"ColumnsCountCodePoints", "(\xC3\xA9\xE2\x82\xAC", "", {"End of file reached", 1, 4}},
        ReadCase{"StrayClose", ")", "", {"Unexpected )", 1, 1}},
        ReadCase{"StrayCloseAfterBlanks", "  )", "", {"Unexpected )", 1, 3}},
        ReadCase{"UnclosedString", "\"abc", "", {"End of file reached", 1, 5}},
        ReadCase{"EscapedQuoteDoesNotClose", "\"ab\\\"", "", {"End of file reached", 1, 6}},
        ReadCase{"OnlyBlanks", "  ", "", {"End of file reached", 1, 3}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// "(f (f ... (f ?x)))" with `depth` lists.
std::string nested_pattern(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += "(f ";
  return text + "?x" + std::string(depth, ')');
}

// Lists nest by recursion in the reader and in every walk of what it returns, so the reader
// refuses a list one level deeper than the bound, where it opens; a long run of parentheses
// overflowed the stack before.
TEST(ReadSexpr, RefusesListsNestedDeeperThanTheBound) {
  ASSERT_TRUE(read_sexpr(nested_pattern(kMaxSexprDepth)).ok());
  Result<SExpr, ParseError> deeper = read_sexpr(nested_pattern(kMaxSexprDepth + 1));
  ASSERT_FALSE(deeper.ok());
  EXPECT_EQ(deeper.error(), (ParseError{"Lists nested too deeply", 1, 3 * kMaxSexprDepth + 1}));
  for (const std::string& text : {std::string(1'000'000, '('), "(a " + std::string(1'000'000, '(')}) {
    Result<SExpr, ParseError> read = read_sexpr(text);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().msg, "Lists nested too deeply");
  }
}

TEST(ParsePattern, DeepestAllowedPatternCompilesAndDeeperIsABadSexp) {
  Result<TermPattern, TermParseError> deepest = TermPattern::parse(nested_pattern(kMaxSexprDepth));
  ASSERT_TRUE(deepest.ok()) << deepest.error().debug_string();
  EXPECT_EQ(deepest.value().body().size(), kMaxSexprDepth + 1);
  EXPECT_EQ(deepest.value().debug_string(), nested_pattern(kMaxSexprDepth));

  Result<PatternBody, TermParseError> deeper = parse_pattern(std::string(1'000'000, '('));
  ASSERT_FALSE(deeper.ok());
  EXPECT_EQ(deeper.error().kind, TermParseError::Kind::BadSexp);
  EXPECT_EQ(deeper.error().parse.col, kMaxSexprDepth + 1);
}

// parse_pattern: the body (entries in order) or the error's debug form.
struct PatternCase {
  const char* name;
  std::string text;
  std::vector<std::string> entries;  // debug forms; empty when an error is expected
  std::string error;
};

std::vector<std::string> entry_texts(const PatternBody& body) {
  std::vector<std::string> out;
  for (const PatternNode& node : body) out.push_back((node.is_var() ? "var " : "") + node.debug_string());
  return out;
}

class ParsePattern : public ::testing::TestWithParam<PatternCase> {};

TEST_P(ParsePattern, BuildsTheBodyOrReportsTheErrorKind) {
  const PatternCase& c = GetParam();
  Result<PatternBody, TermParseError> parsed = parse_pattern(c.text);
  if (c.entries.empty()) {
    ASSERT_FALSE(parsed.ok()) << ::testing::PrintToString(entry_texts(parsed.value()));
    EXPECT_EQ(parsed.error().debug_string(), c.error);
  } else {
    ASSERT_TRUE(parsed.ok()) << parsed.error().debug_string();
    EXPECT_EQ(entry_texts(parsed.value()), c.entries);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParsePattern,
    ::testing::Values(
        PatternCase{"LoneQuestionMarkIsAnOperator", "?", {"?"}, ""},
        PatternCase{"QuestionMarkNameIsAVariable", "?x", {"var ?x"}, ""},
        PatternCase{"ChildrenPrecedeParents", "(f ?x (g ?x))", {"var ?x", "var ?x", "(g 1)", "(f 0 2)"}, ""},
        PatternCase{"SurroundingWhitespaceTrimmed", "\xE3\x80\x80 \n(f ?a)\t\xC2\xA0 ", {"var ?a", "(f 0)"}, ""},
        PatternCase{"ListOfOneVariableIsTheVariable", "(?x)", {"var ?x"}, ""},
        PatternCase{"VariableWithChildren", "(?x a)", {}, R"(BadOp(UnexpectedVar("?x")))"},
        PatternCase{"EmptyText", "", {}, "EmptySexp"}, PatternCase{"BlankText", " \t\n", {}, "EmptySexp"},
        PatternCase{"EmptyList", "()", {}, "EmptySexp"}, PatternCase{"NestedEmptyList", "(f a ())", {}, "EmptySexp"},
        PatternCase{"ListInHeadPosition", "((f) a)", {}, R"(HeadList(List([String("f")])))"},
        PatternCase{"UnclosedList",
                    "(f a",
                    {},
                    R"(BadSexp(Parse(ParseError { msg: "End of file reached", line: 1, col: 5 })))"},
        PatternCase{"StrayClose", ")", {}, R"x(BadSexp(Parse(ParseError { msg: "Unexpected )", line: 1, col: 1 })))x"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ParsePattern, TabInsideAnAtomBelongsToTheOperator) {
  PatternBody body = expect_ok(parse_pattern("(f a\tb)"), "parses");
  ASSERT_EQ(body.size(), 2u);
  EXPECT_EQ(body[0].enode().op(), sym("a\tb"));
  EXPECT_EQ(body.root().enode().children().size(), 1u);
}

TEST(Compact, RepeatedSubPatternsShareOneEntry) {
  const PatternBody twice = compact(expect_ok(parse_pattern("(f ?x ?x)"), "parses"));
  ASSERT_EQ(twice.size(), 2u);
  EXPECT_TRUE(twice[0].is_var());
  EXPECT_EQ(twice[0].var(), sym("?x"));
  EXPECT_EQ(twice[1].enode(), SymbolLang(sym("f"), {0, 0}));

  const PatternBody nested = compact(expect_ok(parse_pattern("(h (g ?x a) ?y (g ?x a) a)"), "parses"));
  EXPECT_EQ(entry_texts(nested), (std::vector<std::string>{"var ?x", "a", "(g 0 1)", "var ?y", "(h 2 3 2 1)"}));

  const PatternBody distinct = expect_ok(parse_pattern("(f ?x (g ?y))"), "parses");
  EXPECT_EQ(compact(distinct), distinct) << "a body without repeats is unchanged";
}

}  // namespace
}  // namespace veltrix::egraph
