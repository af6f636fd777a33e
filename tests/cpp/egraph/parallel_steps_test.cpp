// The e-graph's steps on the worker pool (searching, normalising classes) give exactly what their
// sequential paths give. The graphs are just large enough for the pool (min_parallel_items(),
// lowered by VELTRIX_PARALLEL_MIN); with one thread both runs take the sequential path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/pattern.h"
#include "egraph_test_util.h"
#include "support/thread_pool.h"

namespace veltrix::egraph {
namespace {

using testing::pattern;
using testing::sym;

// Leaves, nodes (f x y) and (g x) over them, then merges: of neighbouring leaves (half of the
// classes are touched), of some f classes and of some g classes with leaves, whose repair makes
// congruent nodes and duplicates in the class lists. Classes stay small. Built the same way every
// time for a seed, so two builds are two copies.
EGraph merged_graph(std::size_t leaves, unsigned seed) {
  EGraph egraph;
  egraph.track_signatures(std::vector<Signature>{{sym("f"), 2}, {sym("g"), 1}});
  // Leaves as (hK vJ) over few distinct symbols.
  std::vector<ClassId> ids;
  for (std::size_t i = 0; i < leaves; ++i) {
    const ClassId v = egraph.add(SymbolLang(sym("v" + std::to_string(i % 997))));
    ids.push_back(egraph.add(SymbolLang(sym("h" + std::to_string(i / 997)), {v})));
  }
  std::mt19937 rng(seed);
  std::vector<ClassId> fs;
  std::vector<ClassId> gs;
  for (std::size_t i = 0; i < leaves; ++i) {
    fs.push_back(egraph.add(SymbolLang(sym("f"), {ids[i], ids[rng() % leaves]})));
    if (i % 3 == 0) gs.push_back(egraph.add(SymbolLang(sym("g"), {ids[i]})));
  }
  egraph.rebuild();
  for (std::size_t i = 0; i + 1 < leaves; i += 2) egraph.merge(ids[i], ids[i + 1]);
  for (std::size_t m = 0; m < leaves / 16; ++m) {
    const std::size_t f = rng() % (fs.size() - 1);
    egraph.merge(fs[f], fs[f + 1]);
    egraph.merge(gs[rng() % gs.size()], ids[rng() % leaves]);
  }
  return egraph;
}

std::size_t large() { return min_parallel_items() + 3000; }

void expect_same_classes(const EGraph& got, const EGraph& want) {
  ASSERT_EQ(got.id_count(), want.id_count());
  EXPECT_EQ(got.size(), want.size());
  EXPECT_EQ(got.class_count(), want.class_count());
  for (std::size_t id = 0; id < want.id_count(); ++id) {
    const auto c = static_cast<ClassId>(id);
    ASSERT_EQ(got.find(c), want.find(c)) << id;
    if (want.find(c) != c) continue;
    const ClassNodes a = got.class_nodes(c);
    const ClassNodes b = want.class_nodes(c);
    ASSERT_EQ(a.size(), b.size()) << id;
    for (std::size_t k = 0; k < a.size(); ++k) ASSERT_TRUE(a[k] == b[k]) << id;
  }
  for (const auto& [op, arity] : {std::pair{sym("f"), 2u}, std::pair{sym("g"), 1u}}) {
    const std::span<const ClassId> a = got.classes_with(op, arity);
    const std::span<const ClassId> b = want.classes_with(op, arity);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end()));
    EXPECT_EQ(got.tracked_node_count(op, arity), want.tracked_node_count(op, arity));
  }
}

TEST(ParallelEGraph, RebuildNormalisesClassesAsTheSequentialWalkDoes) {
  for (unsigned seed : {1u, 2u}) {
    EGraph parallel = merged_graph(2 * large(), seed);
    EGraph sequential = merged_graph(2 * large(), seed);
    const std::size_t unions = parallel.rebuild();
    {
      const SequentialSteps one_thread;
      EXPECT_EQ(sequential.rebuild(), unions);
    }
    expect_same_classes(parallel, sequential);
  }
}

void expect_same_matches(const SearchMatches& got, const SearchMatches& want) {
  ASSERT_EQ(got.class_count(), want.class_count());
  ASSERT_EQ(got.total_bindings(), want.total_bindings());
  for (std::size_t c = 0; c < want.class_count(); ++c) {
    ASSERT_EQ(got.eclass(c), want.eclass(c));
    ASSERT_EQ(got.binding_count(c), want.binding_count(c));
  }
  for (std::size_t r = 0; r < want.total_bindings(); ++r) {
    const std::span<const ClassId> a = got.row(r);
    const std::span<const ClassId> b = want.row(r);
    ASSERT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end())) << r;
  }
}

// Every limit, including one that ends inside a class of several matches, cuts the chunks'
// matches where the single walk stops; both the one-operator shortcut and the machine.
TEST(ParallelEGraph, SearchFindsTheSequentialMatchesUpToAnyLimit) {
  EGraph egraph = merged_graph(2 * large(), 3);
  egraph.rebuild();
  for (const char* text : {"(f ?a ?b)", "(f ?a ?a)", "(f (g ?a) ?b)", "(g ?a)"}) {
    const TermPattern searched = pattern(text);
    SearchMatches all;
    {
      const SequentialSteps one_thread;
      all = searched.search(egraph, SIZE_MAX);
    }
    expect_same_matches(searched.search(egraph, SIZE_MAX), all);
    std::vector<std::size_t> limits{1, all.total_bindings() / 2, all.total_bindings() + 1};
    std::size_t before = 0;  // bindings in the classes before c
    for (std::size_t c = all.class_count() / 2; c < all.class_count(); ++c) before += all.binding_count(c);
    before = all.total_bindings() - before;
    for (std::size_t c = all.class_count() / 2; c < all.class_count(); before += all.binding_count(c++)) {
      if (all.binding_count(c) > 1) {
        limits.push_back(before + 1);  // inside a class of several matches
        break;
      }
    }
    for (std::size_t limit : limits) {
      SearchMatches want;
      {
        const SequentialSteps one_thread;
        want = searched.search(egraph, limit);
      }
      expect_same_matches(searched.search(egraph, limit), want);
    }
  }
}

}  // namespace
}  // namespace veltrix::egraph
