#include "egraph/pattern.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "egraph/machine.h"
#include "egraph/rewrite.h"
#include "egraph_test_util.h"

namespace veltrix::egraph {
namespace {

using testing::add_term;
using testing::failure_message;
using testing::pattern;
using testing::sym;

// Program shapes: the instruction kinds in order and the registers of the substitution.
std::string shape(const Program& program) {
  std::string out;
  for (const Instruction& ins : program.instructions) {
    if (const auto* bind = std::get_if<Bind>(&ins)) {
      out += "Bind(" + std::string(resolve_symbol(bind->op)) + "/" + std::to_string(bind->arity) + " " +
             std::to_string(bind->i) + "->" + std::to_string(bind->out) + ") ";
    } else if (const auto* compare = std::get_if<Compare>(&ins)) {
      out += "Compare(" + std::to_string(compare->i) + "," + std::to_string(compare->j) + ") ";
    } else if (const auto* lookup = std::get_if<Lookup>(&ins)) {
      out += "Lookup(" + std::to_string(lookup->term.size()) + " at " + std::to_string(lookup->i) + ") ";
    } else {
      out += "Scan ";
    }
  }
  out += "|";
  for (const auto& [var, reg] : program.subst)
    out += " " + std::string(resolve_symbol(var)) + "=" + std::to_string(reg);
  return out;
}

struct CompileCase {
  const char* name;
  const char* text;
  const char* expected;
};

class Compile : public ::testing::TestWithParam<CompileCase> {};

TEST_P(Compile, SchedulesGroundThenMostUnboundThenSmallest) {
  EXPECT_EQ(shape(pattern(GetParam().text).program()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Compile,
    ::testing::Values(CompileCase{"RuleOverDistinctVariables", "(op|add ?a ?b)", "Bind(op|add/2 0->1) | ?a=1 ?b=2"},
                      CompileCase{"RepeatedVariable", "(f ?x ?x)", "Bind(f/2 0->1) Compare(2,1) | ?x=1"},
                      CompileCase{"GroundSubPatternIsLookedUp", "(f ?x (g ?x))",
                                  "Bind(f/2 0->1) Lookup(2 at 2) | ?x=1"},
                      CompileCase{"MoreUnboundVariablesFirst", "(f (g ?x) (h ?x ?y))",
                                  "Bind(f/2 0->1) Bind(h/2 2->3) Lookup(2 at 1) | ?x=3 ?y=4"},
                      CompileCase{"SmallerFirstOnEqualUnbound", "(f (g (k ?x)) (h ?y))",
                                  "Bind(f/2 0->1) Bind(h/1 2->3) Bind(g/1 1->4) Bind(k/1 4->5) | ?y=3 ?x=5"},
                      CompileCase{"ConstantLeafIsBound", "(f a ?x)", "Bind(f/2 0->1) Bind(a/0 1->3) | ?x=2"},
                      CompileCase{"LoneVariable", "?x", "| ?x=0"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Search, RepeatedVariableNeedsOneClassTwice) {
  EGraph egraph;
  const ClassId faa = add_term(egraph, "(f a a)");
  const ClassId fab = add_term(egraph, "(f a b)");
  egraph.rebuild();
  const TermPattern same = pattern("(f ?x ?x)");
  SearchMatches found = same.search(egraph, 100);
  ASSERT_EQ(found.class_count(), 1u);
  EXPECT_EQ(found.eclass(0), faa);

  egraph.merge(add_term(egraph, "a"), add_term(egraph, "b"));
  egraph.rebuild();
  found = same.search(egraph, 100);
  ASSERT_EQ(found.class_count(), 1u) << "f(a, a) and f(a, b) are congruent now";
  EXPECT_EQ(found.eclass(0), egraph.find(fab));
}

TEST(Search, ArityMustMatchExactly) {
  EGraph egraph;
  add_term(egraph, "(f a)");
  add_term(egraph, "(f a b c)");
  egraph.rebuild();
  EXPECT_TRUE(pattern("(f ?x ?y)").search(egraph, 100).empty());
  EXPECT_EQ(pattern("(f ?x)").search(egraph, 100).total_bindings(), 1u);
  EXPECT_EQ(pattern("(f ?x ?y ?z)").search(egraph, 100).total_bindings(), 1u);
}

TEST(Search, GroundSubPatternsAreCheckedAgainstTheMemo) {
  EGraph egraph;
  const ClassId hit = add_term(egraph, "(f a (g a))");
  add_term(egraph, "(f a (g b))");
  egraph.rebuild();
  const SearchMatches found = pattern("(f ?x (g ?x))").search(egraph, 100);
  ASSERT_EQ(found.class_count(), 1u);
  EXPECT_EQ(found.eclass(0), hit);
}

TEST(Search, TheLimitStopsInTheMiddleOfAClass) {
  EGraph egraph;
  std::vector<ClassId> two, five;
  for (int i = 0; i < 2; ++i) two.push_back(add_term(egraph, "(f a" + std::to_string(i) + ")"));
  for (int i = 0; i < 5; ++i) five.push_back(add_term(egraph, "(f b" + std::to_string(i) + ")"));
  add_term(egraph, "(g a0)");
  for (ClassId id : two) egraph.merge(two[0], id);
  for (ClassId id : five) egraph.merge(five[0], id);
  egraph.rebuild();
  const TermPattern f = pattern("(f ?x)");

  const SearchMatches limited = f.search(egraph, 3);
  ASSERT_EQ(limited.class_count(), 2u);
  EXPECT_LT(limited.eclass(0), limited.eclass(1)) << "candidates are searched in ascending order";
  EXPECT_EQ(limited.binding_count(0), 2u);
  EXPECT_EQ(limited.binding_count(1), 1u);
  EXPECT_EQ(limited.total_bindings(), 3u);

  const SearchMatches all = f.search(egraph, 1000);
  EXPECT_EQ(all.binding_count(0), 2u);
  EXPECT_EQ(all.binding_count(1), 5u);
  EXPECT_EQ(all.lookup(1, 0, sym("?x")), egraph.find(add_term(egraph, "b0")));
  EXPECT_TRUE(f.search(egraph, 0).empty());
}

TEST(Search, ALoneVariableMatchesEveryClassInAscendingOrder) {
  EGraph egraph;
  const ClassId a = add_term(egraph, "a");
  const ClassId fa = add_term(egraph, "(f a)");
  const ClassId b = add_term(egraph, "b");
  egraph.merge(b, a);
  egraph.rebuild();
  const SearchMatches found = pattern("?v").search(egraph, 100);
  ASSERT_EQ(found.class_count(), 2u);
  EXPECT_EQ(found.eclass(0), egraph.find(a));
  EXPECT_EQ(found.eclass(1), fa);
  EXPECT_EQ(found.binding(1, 0)[0], fa);
}

TEST(Search, ADirtyEGraphCannotBeSearched) {
  EGraph egraph;
  const ClassId x = add_term(egraph, "x");
  EXPECT_EQ(failure_message([&] { pattern("(f ?x)").search_class(egraph, x, 10); }),
            "Tried to search a dirty e-graph!");
  egraph.rebuild();
  egraph.merge(x, x);
  EXPECT_EQ(failure_message([&] { pattern("?x").search(egraph, 10); }), "Tried to search a dirty e-graph!");
}

TEST(Apply, ALoneVariableRightSideMergesWithoutAdding) {
  EGraph egraph;
  const ClassId a = add_term(egraph, "a");
  const ClassId fa = add_term(egraph, "(f a)");
  egraph.rebuild();
  const Rewrite identity = testing::rule("drop-f", "(f ?x)", "?x");
  const std::size_t size = egraph.size();
  const std::vector<ClassId> changed = identity.apply(egraph, identity.search(egraph, 10));
  EXPECT_EQ(changed, std::vector<ClassId>{a});
  EXPECT_EQ(egraph.size(), size);
  egraph.rebuild();
  EXPECT_EQ(egraph.find(fa), egraph.find(a));
}

TEST(Apply, AnInstanceAlreadyInTheClassChangesNothing) {
  EGraph egraph;
  add_term(egraph, "(+ x y)");
  egraph.rebuild();
  const Rewrite commute = testing::rule("commute", "(+ ?a ?b)", "(+ ?b ?a)");
  const ClassId swapped = commute.apply(egraph, commute.search(egraph, 10)).at(0);
  egraph.rebuild();
  EXPECT_EQ(swapped, egraph.find(add_term(egraph, "(+ y x)")));
  const SearchMatches again = commute.search(egraph, 10);
  EXPECT_EQ(again.total_bindings(), 2u);
  EXPECT_TRUE(commute.apply(egraph, again).empty());
}

TEST(Apply, NestedRightSidesAddEveryNode) {
  EGraph egraph;
  const ClassId root = add_term(egraph, "(* a (+ b c))");
  egraph.rebuild();
  const Rewrite distribute = testing::rule("distribute", "(* ?x (+ ?y ?z))", "(+ (* ?x ?y) (* ?x ?z))");
  EXPECT_EQ(distribute.apply(egraph, distribute.search(egraph, 10)).size(), 1u);
  egraph.rebuild();
  EXPECT_EQ(egraph.find(add_term(egraph, "(+ (* a b) (* a c))")), egraph.find(root));
}

TEST(Rewrite, ARightSideVariableMustBeBoundOnTheLeft) {
  Result<Rewrite, RewriteError> bad = Rewrite::create("bad-rule", pattern("(f ?x)"), pattern("(g ?x ?y)"));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "Rewrite bad-rule refers to unbound var ?y");
  EXPECT_TRUE(Rewrite::create("fine", pattern("(f ?x ?y)"), pattern("?y")).ok());
}

TEST(Apply, MatchesWithoutTheRightSidesVariableAreAnInternalFailure) {
  EGraph egraph;
  add_term(egraph, "(f a)");
  egraph.rebuild();
  const SearchMatches found = pattern("(f ?x)").search(egraph, 10);
  EXPECT_EQ(failure_message([&] { pattern("(g ?y)").apply(egraph, found); }), "Var '?y' is not bound by the match");
}

}  // namespace
}  // namespace veltrix::egraph
