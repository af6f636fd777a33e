#include "egraph/egraph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "egraph/log.h"
#include "egraph_test_util.h"

namespace veltrix::egraph {
namespace {

using testing::add_entry_by_entry;
using testing::add_term;
using testing::failure_message;
using testing::sym;

std::vector<SymbolLang> nodes_of(const EGraph& egraph, ClassId id) {
  std::vector<SymbolLang> out;
  for (const SymbolLang& node : egraph.class_nodes(id)) out.push_back(node);
  return out;
}

TEST(EGraph, AddingAnEqualNodeAgainIsHashConsed) {
  EGraph egraph;
  const ClassId a = add_term(egraph, "a");
  const ClassId fa = add_term(egraph, "(f a)");
  EXPECT_EQ(add_term(egraph, "(f a)"), fa);
  EXPECT_EQ(egraph.add(SymbolLang(sym("a"))), a);
  EXPECT_EQ(egraph.id_count(), 2u);
  EXPECT_EQ(egraph.size(), 2u);
  EXPECT_EQ(egraph.class_count(), 2u);
  EXPECT_FALSE(egraph.is_clean()) << "a new e-graph and every add leave it dirty";
  egraph.rebuild();
  EXPECT_TRUE(egraph.is_clean());
}

TEST(EGraph, RebuildMergesCongruentParentsAndKeepsStaleMemoKeys) {
  EGraph egraph;
  const ClassId a = add_term(egraph, "a");
  const ClassId b = add_term(egraph, "b");
  const ClassId fa = add_term(egraph, "(f a)");
  const ClassId fb = add_term(egraph, "(f b)");
  egraph.rebuild();
  EXPECT_TRUE(egraph.merge(a, b));
  EXPECT_EQ(egraph.rebuild(), 1u);
  EXPECT_EQ(egraph.find(fa), egraph.find(fb));
  EXPECT_EQ(nodes_of(egraph, fa), std::vector<SymbolLang>{SymbolLang(sym("f"), {egraph.find(a)})});
  EXPECT_EQ(egraph.size(), 4u) << "the key of f(b) stays in the memo";
  EXPECT_EQ(egraph.class_count(), 2u);
  EXPECT_EQ(egraph.lookup(SymbolLang(sym("f"), {b})), egraph.find(fa));
  EXPECT_EQ(egraph.lookup(SymbolLang(sym("g"), {b})), std::nullopt);
}

// A wide parent linked many times to the classes that merge is pushed for repair once per link,
// but re-canonicalised (its children read) only once per merge that moved a child: repair stays
// linear in the work however wide the node is.
TEST(EGraph, AWideParentIsReCanonicalisedOncePerMergeNotOncePerLink) {
  for (const std::size_t merges : {1u, 2u, 50u}) {
    EGraph egraph;
    constexpr std::size_t kCopies = 200;
    std::vector<ClassId> left, right, children;
    for (std::size_t m = 0; m < merges; ++m) {
      left.push_back(add_term(egraph, "(g " + std::to_string(m) + ")"));
      right.push_back(add_term(egraph, "(h " + std::to_string(m) + ")"));
      for (std::size_t c = 0; c < kCopies; ++c) children.insert(children.end(), {left.back(), right.back()});
    }
    const ClassId wide = egraph.add(sym("concat"), children);
    egraph.rebuild();
    const std::size_t before = egraph.repair_canonicalisations();
    for (std::size_t m = 0; m < merges; ++m) egraph.merge(left[m], right[m]);
    egraph.rebuild();
    EXPECT_EQ(egraph.repair_canonicalisations() - before, 1u) << merges << " merges, one wide parent";
    for (ClassId child : egraph.class_nodes(wide)[0].children()) EXPECT_EQ(egraph.find(child), child);
    EXPECT_EQ(egraph.class_nodes(wide)[0].arity(), 2 * merges * kCopies);
  }
}

TEST(EGraph, RebuildStatisticsAreLoggedOnlyWhenTheLevelAllowsIt) {
  ASSERT_EQ(log_level(), LogLevel::Off) << "the process-wide level starts off";
  EGraph egraph;
  const ClassId a = add_term(egraph, "a");
  const ClassId b = add_term(egraph, "b");
  add_term(egraph, "(f a)");
  add_term(egraph, "(f b)");
  ::testing::internal::CaptureStderr();
  egraph.rebuild();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

  egraph.merge(a, b);
  set_log_level(LogLevel::Info);
  ::testing::internal::CaptureStderr();
  egraph.rebuild();
  const std::string logged = ::testing::internal::GetCapturedStderr();
  set_log_level(LogLevel::Off);
  // The elapsed time is the one part that varies.
  EXPECT_EQ(std::regex_replace(logged, std::regex("in [0-9]+\\.[0-9]{3}s"), "in T"),
            "[egraph INFO] REBUILT! in T\n"
            "  Old: hc size 4, eclasses: 3\n"
            "  New: hc size 4, eclasses: 2\n"
            "  unions: 1, trimmed nodes: 1\n");
}

TEST(EGraph, MergingAClassWithItselfChangesNothingButCleanliness) {
  EGraph egraph;
  const ClassId x = add_term(egraph, "x");
  egraph.rebuild();
  EXPECT_FALSE(egraph.merge(x, x));
  EXPECT_FALSE(egraph.is_clean());
  EXPECT_EQ(egraph.class_count(), 1u);
  EXPECT_EQ(egraph.rebuild(), 0u);
}

// The survivor of merge(a, b): the root of a unless a's class has strictly fewer parents.
struct RootCase {
  const char* name;
  int parents_of_a;
  int parents_of_b;
  bool a_survives;
};

class MergeRoot : public ::testing::TestWithParam<RootCase> {};

TEST_P(MergeRoot, TheClassWithMoreParentsSurvives) {
  const RootCase& c = GetParam();
  EGraph egraph;
  const ClassId a = add_term(egraph, "a");
  const ClassId b = add_term(egraph, "b");
  for (int i = 0; i < c.parents_of_a; ++i) egraph.add(SymbolLang(sym("pa" + std::to_string(i)), {a}));
  for (int i = 0; i < c.parents_of_b; ++i) egraph.add(SymbolLang(sym("pb" + std::to_string(i)), {b}));
  EXPECT_TRUE(egraph.merge(a, b));
  EXPECT_EQ(egraph.find(b), c.a_survives ? a : b);
  EXPECT_EQ(egraph.find(a), c.a_survives ? a : b);
  EXPECT_EQ(egraph.parent_count(a), static_cast<std::size_t>(c.parents_of_a + c.parents_of_b));
}

INSTANTIATE_TEST_SUITE_P(Cases, MergeRoot,
                         ::testing::Values(RootCase{"EqualKeepsA", 1, 1, true}, RootCase{"NoneKeepsA", 0, 0, true},
                                           RootCase{"FewerGivesB", 1, 2, false}, RootCase{"MoreKeepsA", 3, 2, true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// The order class lists are sorted by: operator value first, then the children
// lexicographically, a proper prefix first; widths cover leaves, inline and heap children.
struct OrderCase {
  const char* name;
  std::vector<ClassId> left;
  std::vector<ClassId> right;
  int expected;  // sign of left <=> right, same operator
};

class NodeOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(NodeOrder, ComparesChildrenLexicographicallyAndSurvivesMoves) {
  const OrderCase& c = GetParam();
  const Symbol op = sym("op|order");
  SymbolLang left(op, c.left);
  SymbolLang right(op, c.right);
  const auto sign = [](std::strong_ordering o) { return o < 0 ? -1 : (o > 0 ? 1 : 0); };
  EXPECT_EQ(sign(left <=> right), c.expected);
  EXPECT_EQ(sign(right <=> left), -c.expected);
  EXPECT_EQ(left == right, c.expected == 0);
  // A moved node keeps its children and compares as before.
  const SymbolLang moved(std::move(left));
  EXPECT_TRUE(moved.equals(op, c.left));
  EXPECT_EQ(sign(moved <=> right), c.expected);
  // The operator decides before any child.
  const Symbol a = sym("op|order-a");
  const Symbol b = sym("op|order-b");
  const Symbol low = a.value < b.value ? a : b;
  const Symbol high = a.value < b.value ? b : a;
  EXPECT_TRUE((SymbolLang(low, c.right) <=> SymbolLang(high, c.left)) < 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, NodeOrder,
                         ::testing::Values(OrderCase{"LeavesEqual", {}, {}, 0},
                                           OrderCase{"LeafBeforeUnary", {}, {0}, -1},
                                           OrderCase{"PrefixFirst", {4, 7}, {4, 7, 0}, -1},
                                           OrderCase{"ChildBeforeWidth", {9}, {1, 2}, 1},
                                           OrderCase{"FirstChildDecides", {5, 1}, {4, 9}, 1},
                                           OrderCase{"SecondChildDecides", {4, 1}, {4, 9}, -1},
                                           OrderCase{"HeapEqual", {1, 2, 3}, {1, 2, 3}, 0},
                                           OrderCase{"HeapLastChild", {1, 2, 3, 8}, {1, 2, 3, 9}, -1}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(EGraph, AddUncanonicalReturnsTheStoredIdAndAddItsRoot) {
  EGraph egraph;
  const ClassId a = add_term(egraph, "a");
  const ClassId b = add_term(egraph, "b");
  egraph.merge(b, a);
  EXPECT_EQ(egraph.add_uncanonical(SymbolLang(sym("a"))), a);
  EXPECT_EQ(egraph.add(SymbolLang(sym("a"))), b);
}

TEST(EGraph, AddingATermGivesTheClassesOfAddingItsEntriesOneByOne) {
  std::mt19937 rng(11);
  FlatTerm<SymbolLang> term;
  for (ClassId i = 0; i < 300; ++i) {
    if (i < 5 || rng() % 4 == 0) {
      term.add(SymbolLang(sym("leaf" + std::to_string(rng() % 7))));
    } else {
      term.add(
          SymbolLang(sym(rng() % 2 ? "f" : "g"), {static_cast<ClassId>(rng() % i), static_cast<ClassId>(rng() % i)}));
    }
  }
  EGraph batch;
  const std::vector<ClassId> ids = batch.add_term(term);
  EGraph single;
  const std::vector<ClassId> expected = add_entry_by_entry(single, term);
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(batch.size(), single.size());

  FlatTerm<SymbolLang> forward;
  forward.add(SymbolLang(sym("a")));
  forward.add(SymbolLang(sym("f"), {0, 2}));
  EXPECT_EQ(failure_message([&] { EGraph().add_term(forward); }),
            "index out of bounds: the len is 1 but the index is 2");
}

TEST(EGraph, InvalidIdsAreInternalFailures) {
  EGraph egraph;
  add_term(egraph, "a");
  add_term(egraph, "b");
  EXPECT_EQ(failure_message([&] { egraph.find(7); }), "index out of bounds: the len is 2 but the index is 7");
  EXPECT_EQ(failure_message([&] { egraph.merge(0, 2); }), "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(failure_message([&] { egraph.add(SymbolLang(sym("f"), {5})); }),
            "index out of bounds: the len is 2 but the index is 5");
}

TEST(EGraph, ClassesListSortedUniqueNodesAndTheKindIndexIsAscending) {
  EGraph egraph;
  const ClassId x = add_term(egraph, "x");
  const ClassId y = add_term(egraph, "y");
  const ClassId sum = add_term(egraph, "(+ x y)");
  const ClassId swapped = add_term(egraph, "(+ y x)");
  const ClassId neg = add_term(egraph, "(- x)");
  const ClassId unary_plus = add_term(egraph, "(+ x)");
  egraph.merge(neg, sum);
  egraph.merge(unary_plus, swapped);
  egraph.merge(swapped, sum);
  egraph.rebuild();
  const std::vector<SymbolLang> nodes = nodes_of(egraph, sum);
  EXPECT_TRUE(std::is_sorted(nodes.begin(), nodes.end()));
  EXPECT_EQ(nodes.size(), 4u);
  const ClassId root = egraph.find(sum);
  EXPECT_EQ(std::vector<ClassId>(egraph.classes_with(sym("+"), 2).begin(), egraph.classes_with(sym("+"), 2).end()),
            std::vector<ClassId>{root});
  EXPECT_EQ(egraph.classes_with(sym("+"), 1).size(), 1u);
  EXPECT_TRUE(egraph.classes_with(sym("+"), 3).empty());
  EXPECT_TRUE(egraph.classes_with(sym("nothing"), 0).empty());
  const auto leaves_x = egraph.classes_with(sym("x"), 0);
  ASSERT_EQ(leaves_x.size(), 1u);
  EXPECT_EQ(leaves_x[0], x);
  EXPECT_EQ(egraph.classes_with(sym("y"), 0)[0], y);
}

// Reference congruence closure: merges ids until no two ids with one operator have children in
// the same classes. Quadratic, so only for small graphs.
class ReferenceClosure {
 public:
  ClassId add(Symbol op, std::vector<ClassId> children) {
    nodes_.push_back({op, std::move(children)});
    parent_.push_back(static_cast<ClassId>(parent_.size()));
    return parent_.back();
  }
  void merge(ClassId a, ClassId b) { parent_[find(a)] = find(b); }
  ClassId find(ClassId id) const {
    while (parent_[id] != id) id = parent_[id];
    return id;
  }
  void close() {
    for (bool changed = true; changed;) {
      changed = false;
      std::map<std::pair<Symbol, std::vector<ClassId>>, ClassId> seen;
      for (ClassId id = 0; id < nodes_.size(); ++id) {
        std::vector<ClassId> canonical;
        for (ClassId child : nodes_[id].second) canonical.push_back(find(child));
        auto [it, inserted] = seen.emplace(std::make_pair(nodes_[id].first, canonical), id);
        if (!inserted && find(it->second) != find(id)) {
          merge(it->second, id);
          changed = true;
        }
      }
    }
  }

 private:
  std::vector<std::pair<Symbol, std::vector<ClassId>>> nodes_;
  std::vector<ClassId> parent_;
};

void expect_normal_form(const EGraph& egraph) {
  std::size_t roots = 0;
  std::map<std::pair<Symbol, std::size_t>, std::vector<ClassId>> kinds;
  std::map<std::pair<Symbol, std::vector<ClassId>>, ClassId> owner;
  egraph.for_each_class([&](ClassId root) {
    ++roots;
    const std::vector<SymbolLang> nodes = nodes_of(egraph, root);
    ASSERT_FALSE(nodes.empty());
    ASSERT_TRUE(std::adjacent_find(nodes.begin(), nodes.end(), std::greater_equal<>()) == nodes.end())
        << "class " << root << " is not strictly ascending";
    for (const SymbolLang& node : nodes) {
      for (ClassId child : node.children()) ASSERT_EQ(egraph.find(child), child) << "child is not a root";
      ASSERT_EQ(egraph.lookup(node), root) << "memo disagrees for " << node.debug_string();
      const std::vector<ClassId> children(node.children().begin(), node.children().end());
      auto [it, inserted] = owner.emplace(std::make_pair(node.op(), children), root);
      ASSERT_TRUE(inserted) << "congruent node in classes " << it->second << " and " << root;
      auto& list = kinds[{node.op(), node.arity()}];
      if (list.empty() || list.back() != root) list.push_back(root);
    }
  });
  EXPECT_EQ(roots, egraph.class_count());
  for (const auto& [kind, classes] : kinds) {
    const auto indexed = egraph.classes_with(kind.first, kind.second);
    EXPECT_EQ(std::vector<ClassId>(indexed.begin(), indexed.end()), classes);
  }
}

class RandomEGraph : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomEGraph, RebuildAgreesWithAReferenceCongruenceClosure) {
  std::mt19937 rng(GetParam());
  EGraph egraph;
  ReferenceClosure reference;
  const Symbol ops[] = {sym("f"), sym("g"), sym("h")};
  std::vector<ClassId> added;  // e-graph id per reference id
  for (int round = 0; round < 8; ++round) {
    for (int i = 0; i < 40; ++i) {
      const Symbol op = ops[rng() % 3];
      std::vector<ClassId> children;
      const std::size_t arity = added.size() < 4 ? 0 : rng() % 4;
      for (std::size_t k = 0; k < arity; ++k) children.push_back(static_cast<ClassId>(rng() % added.size()));
      std::vector<ClassId> mapped;
      for (ClassId child : children) mapped.push_back(added[child]);
      const Symbol chosen = arity == 0 ? sym("leaf" + std::to_string(rng() % 12)) : op;
      added.push_back(egraph.add(SymbolLang(chosen, mapped)));
      reference.add(chosen, children);
    }
    for (int i = 0; i < 6; ++i) {
      const auto a = static_cast<ClassId>(rng() % added.size());
      const auto b = static_cast<ClassId>(rng() % added.size());
      egraph.merge(added[a], added[b]);
      reference.merge(a, b);
    }
    egraph.rebuild();
    reference.close();
    expect_normal_form(egraph);
    for (ClassId i = 0; i < added.size(); ++i) {
      for (ClassId j = i + 1; j < added.size(); ++j) {
        ASSERT_EQ(egraph.find(added[i]) == egraph.find(added[j]), reference.find(i) == reference.find(j))
            << "ids " << i << " and " << j << " in round " << round;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomEGraph, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u));

}  // namespace
}  // namespace veltrix::egraph
