// The e-graph against a model that follows the algorithms literally: class records holding copies
// of their nodes and (node, id) parent pairs, a pending stack of (node, id) pairs, and a memo of
// every key ever inserted. The e-graph stores all of this differently (node ids instead of
// copies, pooled lists, a memo that drops stale keys and counts them, bans decided from node
// counts), so random sequences of adds, merges and rebuilds check that every observable result
// agrees exactly: roots, class counts, sizes, each class's node list before and after a rebuild,
// lookups, the signature index and the node counts of tracked signatures.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/pattern.h"
#include "egraph_test_util.h"

namespace veltrix::egraph {
namespace {

using testing::add_entry_by_entry;
using testing::pattern;
using testing::sym;

using Key = std::pair<Symbol, std::vector<ClassId>>;

struct ModelNode {
  Symbol op;
  std::vector<ClassId> children;
  friend bool operator==(const ModelNode&, const ModelNode&) = default;
  friend auto operator<=>(const ModelNode& a, const ModelNode& b) {
    if (a.op.value != b.op.value) return a.op.value <=> b.op.value;
    return a.children <=> b.children;
  }
};

class ModelEGraph {
 public:
  ClassId find(ClassId id) const {
    while (parent_[id] != id) id = parent_[id];
    return id;
  }

  ClassId add(Symbol op, std::vector<ClassId> children) {
    ModelNode node{op, std::move(children)};
    for (ClassId& c : node.children) c = find(c);
    if (auto it = memo_.find(key(node)); it != memo_.end()) return find(it->second);
    const auto id = static_cast<ClassId>(parent_.size());
    parent_.push_back(id);
    Record record;
    record.nodes.push_back(node);
    for (ClassId c : node.children) classes_.at(find(c)).parents.emplace_back(node, id);
    pending_.emplace_back(node, id);
    classes_.emplace(id, std::move(record));
    memo_.emplace(key(node), id);
    return id;
  }

  bool merge(ClassId a, ClassId b) {
    ClassId r1 = find(a), r2 = find(b);
    if (r1 == r2) return false;
    ClassId root = r1, loser = r2;
    if (classes_.at(r1).parents.size() < classes_.at(r2).parents.size()) std::swap(root, loser);
    parent_[loser] = root;
    Record gone = std::move(classes_.at(loser));
    classes_.erase(loser);
    for (const auto& pair : gone.parents) pending_.push_back(pair);
    Record& kept = classes_.at(root);
    kept.nodes = concatenated(std::move(kept.nodes), std::move(gone.nodes));
    kept.parents = concatenated(std::move(kept.parents), std::move(gone.parents));
    return true;
  }

  std::size_t rebuild() {
    std::size_t unions = 0;
    while (!pending_.empty()) {
      auto [node, id] = pending_.back();
      pending_.pop_back();
      for (ClassId& c : node.children) c = find(c);
      auto [it, inserted] = memo_.try_emplace(key(node), id);
      if (inserted) continue;
      const ClassId previous = it->second;
      it->second = id;
      if (merge(previous, id)) ++unions;
    }
    for (auto& [root, record] : classes_) {
      for (ModelNode& node : record.nodes) {
        for (ClassId& c : node.children) c = find(c);
      }
      std::sort(record.nodes.begin(), record.nodes.end());
      record.nodes.erase(std::unique(record.nodes.begin(), record.nodes.end()), record.nodes.end());
    }
    return unions;
  }

  std::size_t size() const { return memo_.size(); }
  std::size_t class_count() const { return classes_.size(); }
  std::size_t id_count() const { return parent_.size(); }
  const std::vector<ModelNode>& nodes(ClassId root) const { return classes_.at(root).nodes; }
  std::vector<ClassId> roots() const {
    std::vector<ClassId> out;
    for (const auto& [root, record] : classes_) out.push_back(root);
    return out;
  }
  std::optional<ClassId> lookup(const ModelNode& node) const {
    ModelNode canonical = node;
    for (ClassId& c : canonical.children) c = find(c);
    auto it = memo_.find(key(canonical));
    if (it == memo_.end()) return std::nullopt;
    return find(it->second);
  }

 private:
  struct Record {
    std::vector<ModelNode> nodes;
    std::vector<std::pair<ModelNode, ClassId>> parents;
  };

  static Key key(const ModelNode& node) { return {node.op, node.children}; }

  // The longer array first, keeping its order; the root's first on equal lengths.
  template <class T>
  static std::vector<T> concatenated(std::vector<T> root, std::vector<T> gone) {
    std::vector<T>& first = gone.size() > root.size() ? gone : root;
    std::vector<T>& second = gone.size() > root.size() ? root : gone;
    first.insert(first.end(), second.begin(), second.end());
    return std::move(first);
  }

  std::vector<ClassId> parent_;
  std::map<ClassId, Record> classes_;
  std::vector<std::pair<ModelNode, ClassId>> pending_;
  std::map<Key, ClassId, std::less<>> memo_;
};

// The e-graph's list of a class, children canonicalised (before a rebuild the e-graph may hold
// some nodes more canonical than the model's copies, which only a rebuild canonicalises).
std::vector<ModelNode> canonical_nodes(const EGraph& egraph, ClassId root) {
  std::vector<ModelNode> out;
  for (const SymbolLang& node : egraph.class_nodes(root)) {
    ModelNode copy{node.op(), {}};
    for (ClassId c : node.children()) copy.children.push_back(egraph.find(c));
    out.push_back(std::move(copy));
  }
  return out;
}

std::vector<ModelNode> canonical_nodes(const ModelEGraph& model, ClassId root) {
  std::vector<ModelNode> out = model.nodes(root);
  for (ModelNode& node : out) {
    for (ClassId& c : node.children) c = model.find(c);
  }
  return out;
}

void expect_same(const EGraph& egraph, const ModelEGraph& model, bool clean, const std::string& where) {
  ASSERT_EQ(egraph.id_count(), model.id_count()) << where;
  for (ClassId id = 0; id < model.id_count(); ++id) ASSERT_EQ(egraph.find(id), model.find(id)) << where << " id " << id;
  ASSERT_EQ(egraph.class_count(), model.class_count()) << where;
  ASSERT_EQ(egraph.size(), model.size()) << where;
  for (ClassId root : model.roots()) {
    ASSERT_EQ(canonical_nodes(egraph, root), canonical_nodes(model, root)) << where << " class " << root;
    if (!clean) continue;
    for (const ModelNode& node : model.nodes(root)) {
      ASSERT_EQ(egraph.lookup(node.op, node.children), model.lookup(node)) << where << " class " << root;
    }
  }
}

// Random adds (one by one, or a whole term at once), merges and rebuilds over a few operators.
void run_random_history(unsigned seed, bool with_kinds) {
  std::mt19937 rng(seed);
  EGraph egraph;
  ModelEGraph model;
  const Symbol ops[] = {sym("f"), sym("g"), sym("h")};
  const std::vector<Signature> kinds = {{sym("f"), 2}, {sym("g"), 1}, {sym("h"), 3}};
  if (with_kinds) egraph.track_signatures(kinds);
  std::vector<ClassId> ids;
  for (int round = 0; round < 12; ++round) {
    const std::string where = "seed " + std::to_string(seed) + " round " + std::to_string(round);
    if (rng() % 3 == 0) {
      // A whole term at once: children index earlier entries of the term, or existing classes
      // through leaves that repeat.
      FlatTerm<SymbolLang> term;
      const std::size_t count = 5 + rng() % 40;
      for (ClassId e = 0; e < count; ++e) {
        const std::size_t arity = e < 3 ? 0 : rng() % 4;
        const Symbol op = arity == 0 ? sym("leaf" + std::to_string(rng() % 6)) : ops[rng() % 3];
        std::vector<ClassId> children;
        for (std::size_t k = 0; k < arity; ++k) children.push_back(static_cast<ClassId>(rng() % e));
        term.add(SymbolLang(op, children));
      }
      const std::vector<ClassId> added = egraph.add_term(term);
      std::vector<ClassId> expected;
      for (const SymbolLang& entry : term) {
        std::vector<ClassId> children;
        for (ClassId c : entry.children()) children.push_back(expected[c]);
        expected.push_back(model.add(entry.op(), children));
      }
      ASSERT_EQ(added, expected) << where;
      ids.insert(ids.end(), added.begin(), added.end());
    } else {
      for (int i = 0; i < 30; ++i) {
        const std::size_t arity = ids.size() < 3 ? 0 : rng() % 4;
        const Symbol op = arity == 0 ? sym("leaf" + std::to_string(rng() % 9)) : ops[rng() % 3];
        std::vector<ClassId> children;
        for (std::size_t k = 0; k < arity; ++k) children.push_back(ids[rng() % ids.size()]);
        const ClassId id = egraph.add(SymbolLang(op, children));
        ASSERT_EQ(id, model.add(op, children)) << where;
        ids.push_back(id);
      }
    }
    const std::size_t merges = rng() % 8;
    for (std::size_t i = 0; i < merges; ++i) {
      const ClassId a = ids[rng() % ids.size()], b = ids[rng() % ids.size()];
      ASSERT_EQ(egraph.merge(a, b), model.merge(a, b)) << where;
    }
    expect_same(egraph, model, false, where + " before rebuild");
    ASSERT_EQ(egraph.rebuild(), model.rebuild()) << where;
    expect_same(egraph, model, true, where + " after rebuild");

    if (!with_kinds) continue;
    for (const Signature& kind : kinds) {
      std::vector<ClassId> classes;
      std::size_t nodes = 0;
      for (ClassId root : model.roots()) {
        std::size_t here = 0;
        for (const ModelNode& node : model.nodes(root))
          here += node.op == kind.op && node.children.size() == kind.arity;
        if (here) classes.push_back(root);
        nodes += here;
      }
      const auto indexed = egraph.classes_with(kind.op, kind.arity);
      EXPECT_EQ(std::vector<ClassId>(indexed.begin(), indexed.end()), classes) << where;
      EXPECT_EQ(egraph.tracked_node_count(kind.op, kind.arity), nodes) << where;
    }
  }
}

class ModelHistory : public ::testing::TestWithParam<unsigned> {};

TEST_P(ModelHistory, EveryStepAgreesWithTheLiteralModel) { run_random_history(GetParam(), false); }

TEST_P(ModelHistory, TrackedKindsAgreeWithTheModelsClasses) { run_random_history(GetParam(), true); }

INSTANTIATE_TEST_SUITE_P(Seeds, ModelHistory, ::testing::Range(1u, 21u));

TEST(EGraphModel, LongListsConcatenateLongerFirstAcrossPoolBlocks) {
  // Classes of 1, 2, 3, ... 9 leaves, merged pairwise and then into one, cross every block size of
  // the list pool; the order before a rebuild is the literal concatenation order.
  EGraph egraph;
  ModelEGraph model;
  std::vector<ClassId> heads;
  int leaf = 0;
  for (int size = 1; size <= 9; ++size) {
    std::vector<ClassId> members;
    for (int k = 0; k < size; ++k) {
      const Symbol op = sym("l" + std::to_string(leaf++));
      const ClassId id = egraph.add(SymbolLang(op));
      ASSERT_EQ(id, model.add(op, {}));
      members.push_back(id);
    }
    for (std::size_t k = 1; k < members.size(); ++k) {
      ASSERT_EQ(egraph.merge(members[k], members[0]), model.merge(members[k], members[0]));
    }
    heads.push_back(members[0]);
  }
  for (std::size_t k = 1; k < heads.size(); ++k)
    ASSERT_EQ(egraph.merge(heads[k - 1], heads[k]), model.merge(heads[k - 1], heads[k]));
  expect_same(egraph, model, false, "merged");
  EXPECT_EQ(egraph.class_nodes(heads[0]).size(), 45u);
  egraph.rebuild();
  model.rebuild();
  expect_same(egraph, model, true, "rebuilt");
}

TEST(EGraphModel, StaleKeysStayCountedWhenTheirNodesMoveAgainAndAgain) {
  // f(x0) is re-canonicalised by every merge of its child's class: each time its old key goes
  // stale and stays counted, as in the model's memo.
  EGraph egraph;
  ModelEGraph model;
  ClassId child = egraph.add(SymbolLang(sym("x0")));
  model.add(sym("x0"), {});
  egraph.add(SymbolLang(sym("f"), {child}));
  model.add(sym("f"), {child});
  egraph.rebuild();
  model.rebuild();
  for (int i = 1; i <= 6; ++i) {
    const Symbol op = sym("x" + std::to_string(i));
    // The new leaf gets a parent first, so that its class survives and f's child moves.
    const ClassId leaf = egraph.add(SymbolLang(op));
    ASSERT_EQ(leaf, model.add(op, {}));
    const Symbol g = sym("g" + std::to_string(i));
    egraph.add(SymbolLang(g, {leaf}));
    model.add(g, {leaf});
    egraph.add(SymbolLang(g, {leaf, leaf}));
    model.add(g, {leaf, leaf});
    ASSERT_EQ(egraph.merge(child, leaf), model.merge(child, leaf));
    ASSERT_EQ(egraph.rebuild(), model.rebuild());
    expect_same(egraph, model, true, "move " + std::to_string(i));
    child = egraph.find(leaf);
  }
  EXPECT_EQ(egraph.size(), model.size());
  EXPECT_GT(egraph.size(), egraph.id_count()) << "stale keys are counted";
}

TEST(EGraphModel, LargeTermsWithManyDuplicatesAddAsOneByOne) {
  // Large enough for the bulk add to look ahead in the memo, with duplicate entries early (ids
  // computed from positions) and many later (ids read back); then a merge and a rebuild.
  std::mt19937 rng(3);
  FlatTerm<SymbolLang> term;
  const Symbol ops[] = {sym("f"), sym("g")};
  for (ClassId e = 0; e < 150'000; ++e) {
    if (e < 4 || rng() % 50 == 0) {
      term.add(SymbolLang(sym("leaf" + std::to_string(rng() % 3))));
    } else {
      const ClassId window = e < 1000 ? e : 1000;
      const auto recent = [&] { return static_cast<ClassId>(e - 1 - rng() % window); };
      const ClassId a = recent();
      const ClassId b = rng() % 8 == 0 ? static_cast<ClassId>(rng() % e) : recent();
      term.add(SymbolLang(ops[rng() % 2], {a, b}));
    }
  }
  EGraph batch;
  const std::vector<ClassId> ids = batch.add_term(term);
  EGraph single;
  const std::vector<ClassId> expected = add_entry_by_entry(single, term);
  ASSERT_EQ(ids, expected);
  EXPECT_LT(batch.id_count(), term.size() - 100) << "the term has duplicate entries";
  EXPECT_EQ(batch.size(), single.size());
  for (EGraph* g : {&batch, &single}) {
    g->rebuild();
    g->merge(ids[10], ids[20]);
    g->rebuild();
  }
  EXPECT_EQ(batch.size(), single.size());
  EXPECT_EQ(batch.class_count(), single.class_count());
  for (ClassId id : ids) ASSERT_EQ(batch.find(id), single.find(id));
}

// A one-operator pattern over distinct variables: its match count is known from the node counts
// and equals what the search finds; any other pattern, or a dirty e-graph, gives no count.
TEST(EGraphModel, KnownMatchCountsEqualSearches) {
  std::mt19937 rng(5);
  EGraph egraph;
  std::vector<ClassId> ids;
  for (int i = 0; i < 400; ++i) {
    const std::size_t arity = ids.size() < 3 ? 0 : rng() % 3;
    const Symbol op = arity == 0 ? sym("leaf" + std::to_string(rng() % 7)) : sym(rng() % 2 ? "f" : "g");
    std::vector<ClassId> children;
    for (std::size_t k = 0; k < arity; ++k) children.push_back(ids[rng() % ids.size()]);
    ids.push_back(egraph.add(SymbolLang(op, children)));
  }
  for (int i = 0; i < 40; ++i) egraph.merge(ids[rng() % ids.size()], ids[rng() % ids.size()]);
  egraph.rebuild();

  const TermPattern f2 = pattern("(f ?a ?b)"), g1 = pattern("(g ?a)"), leaf = pattern("leaf3");
  for (const TermPattern* p : {&f2, &g1, &leaf}) {
    const std::optional<std::size_t> first = p->known_match_count(egraph);
    EXPECT_FALSE(first.has_value()) << p->debug_string() << ": not tracked before its first search";
    const std::size_t found = p->search(egraph, 1'000'000).total_bindings();
    EXPECT_EQ(p->known_match_count(egraph), found) << p->debug_string();
    // A limited search stops at the limit, in the middle of a class if need be.
    if (found > 3) {
      EXPECT_EQ(p->search(egraph, found - 3).total_bindings(), found - 3);
    }
  }
  EXPECT_EQ(pattern("(f ?a ?a)").known_match_count(egraph), std::nullopt);
  EXPECT_EQ(pattern("(f ?a (g ?b))").known_match_count(egraph), std::nullopt);
  EXPECT_EQ(pattern("?a").known_match_count(egraph), std::nullopt);
  const ClassId fresh = egraph.add(SymbolLang(sym("fresh")));
  egraph.add(SymbolLang(sym("f"), {fresh, fresh}));
  EXPECT_EQ(f2.known_match_count(egraph), std::nullopt) << "a dirty e-graph gives no count";
}

// The shortcut search for one operator over distinct variables against the matching machine,
// which searches one class at a time.
TEST(EGraphModel, ShortcutSearchEqualsTheMachineClassByClass) {
  std::mt19937 rng(9);
  EGraph egraph;
  std::vector<ClassId> ids;
  for (int i = 0; i < 300; ++i) {
    const std::size_t arity = ids.size() < 3 ? 0 : 2;
    const Symbol op = arity == 0 ? sym("leaf" + std::to_string(rng() % 5)) : sym(rng() % 3 ? "f" : "g");
    std::vector<ClassId> children;
    for (std::size_t k = 0; k < arity; ++k) children.push_back(ids[rng() % ids.size()]);
    ids.push_back(egraph.add(SymbolLang(op, children)));
  }
  for (int i = 0; i < 60; ++i) egraph.merge(ids[rng() % ids.size()], ids[rng() % ids.size()]);
  egraph.rebuild();
  for (const char* text : {"(f ?a ?b)", "(f ?b ?a)", "(g ?x ?y)"}) {
    const TermPattern p = pattern(text);
    for (std::size_t limit : {std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
      const SearchMatches fast = p.search(egraph, limit);
      std::vector<ClassId> expected_classes;
      std::vector<ClassId> expected_values;
      std::size_t remaining = limit;
      for (ClassId eclass : egraph.classes_with(p.root_signature()->op, p.root_signature()->arity)) {
        if (remaining == 0) break;
        const SearchMatches one = p.search_class(egraph, eclass, remaining);
        if (one.empty()) continue;
        expected_classes.push_back(eclass);
        for (std::size_t b = 0; b < one.binding_count(0); ++b) {
          for (ClassId v : one.binding(0, b)) expected_values.push_back(v);
        }
        remaining -= one.total_bindings();
      }
      std::vector<ClassId> classes, values;
      for (std::size_t c = 0; c < fast.class_count(); ++c) {
        classes.push_back(fast.eclass(c));
        for (std::size_t b = 0; b < fast.binding_count(c); ++b) {
          for (ClassId v : fast.binding(c, b)) values.push_back(v);
        }
      }
      EXPECT_EQ(classes, expected_classes) << text << " limit " << limit;
      EXPECT_EQ(values, expected_values) << text << " limit " << limit;
    }
  }
}

}  // namespace
}  // namespace veltrix::egraph
