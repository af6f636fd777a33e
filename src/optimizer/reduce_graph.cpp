#include "optimizer/reduce_graph.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "optimizer/node_symbols.h"
#include "optimizer/stage_fusion.h"
#include "support/hash_table.h"
#include "support/hashing.h"
#include "support/internal_failure.h"
#include "support/result.h"
#include "support/siphash.h"

namespace veltrix {
namespace {

constexpr TermIndex kAbsent = std::numeric_limits<TermIndex>::max();

// Marks every node reachable from the outputs; returns how many there are. Inputs always name
// earlier nodes, so one backward walk in id order reaches everything a stack-based search would,
// while reading the table sequentially instead of jumping around it. An input that breaks the
// order is caught when the terms are built (its compact position is still absent there).
std::size_t mark_reachable(const NodeTable& nodes, std::span<const NodeId> outputs, std::vector<std::uint8_t>& reached) {
  const std::size_t n = nodes.size();
  for (NodeId output : outputs) checked_at(reached, output) = 1;
  std::size_t count = 0;
  for (std::size_t id = n; id-- > 0;) {
    if (!reached[id]) continue;
    ++count;
    const NodeView node = nodes[id];
    for (std::size_t i = 0; i < node.input_count(); ++i) checked_at(reached, node.input(i)) = 1;
  }
  return count;
}

// Multiply-fold over the symbol id and the children, two per step. The graph's shape comes from
// the user, so the constants are drawn for each run: nobody can prepare a graph whose terms all
// collide.
std::uint64_t term_hash(SymbolId symbol, std::span<const TermIndex> children, const HashKey& key) {
  const std::uint64_t odd = key.k1 | 1;  // never a zero factor
  std::uint64_t h = fold_multiply((std::uint64_t{symbol} << 32 | children.size()) ^ key.k0, odd);
  std::size_t i = 0;
  for (; i + 2 <= children.size(); i += 2) {
    h = fold_multiply(h ^ key.k0, (children[i] | std::uint64_t{children[i + 1]} << 32) ^ odd);
  }
  if (i < children.size()) h = fold_multiply(h ^ key.k0, children[i] ^ odd);
  return h;
}

// Eight bytes per slot keep the table of a million terms within the last-level cache.
struct HashConsSlot {
  TermIndex term;
  std::uint32_t hash;  // the high half of the term's hash; the table position derives from it
};

std::uint64_t slot_position(std::uint32_t hash) { return mix64(hash); }

// Hash-conses the engine's result: equal (symbol, children) pairs become one canonical term.
// `roots` are translated into canonical positions in place.
TermList hash_cons(const TermList& result, std::vector<TermIndex>& roots) {
  const std::size_t n = result.size();
  TermList canonical(result.symbols());
  canonical.reserve(n, result.child_count());
  std::vector<TermIndex> canonical_of(n);
  RawHashTable<HashConsSlot> table;
  const HashKey key = random_hash_key();
  table.reserve(n, [](const HashConsSlot& slot) { return slot_position(slot.hash); });
  for (std::size_t j = 0; j < n; ++j) {
    const TermIndex term = canonical.begin_term(result.symbol(j), result.is_boundary(j));
    for (TermIndex child : result.children(j)) {
      if (child >= j) index_out_of_bounds(j, child);
      canonical.push_child(canonical_of[child]);
    }
    const SymbolId symbol = canonical.symbol(term);
    const std::span<const TermIndex> children = canonical.children(term);
    const auto hash = static_cast<std::uint32_t>(term_hash(symbol, children, key) >> 32);
    const HashConsSlot* found = table.find(slot_position(hash), [&](const HashConsSlot& slot) {
      if (slot.hash != hash || canonical.symbol(slot.term) != symbol) return false;
      const std::span<const TermIndex> other = canonical.children(slot.term);
      return std::equal(other.begin(), other.end(), children.begin(), children.end());
    });
    if (found) {
      canonical_of[j] = found->term;
      canonical.pop_back();
    } else {
      canonical_of[j] = term;
      table.insert_absent(slot_position(hash), HashConsSlot{term, hash},
                          [](const HashConsSlot& slot) { return slot_position(slot.hash); });
    }
  }
  for (TermIndex& root : roots) root = checked_at(canonical_of, root);
  return canonical;
}

// The engine's result as it stands, when the engine guarantees that hash-consing would find
// nothing to merge; the contract (children and roots refer to earlier or existing terms) is
// still checked.
TermList checked_terms(TermList result, std::span<const TermIndex> roots) {
  const std::span<const std::uint64_t> ends = result.child_ends();
  const std::span<const TermIndex> children = result.all_children();
  for (std::size_t j = 0; j < result.size(); ++j) {
    for (std::uint64_t k = ends[j]; k < ends[j + 1]; ++k) {
      if (children[k] >= j) index_out_of_bounds(j, children[k]);
    }
  }
  for (TermIndex root : roots) {
    if (root >= result.size()) index_out_of_bounds(result.size(), root);
  }
  return result;
}

// Collects the reduced nodes as owned Nodes: the ReducedGraph that from_reduced takes.
class NodeListSink final : public ReducedNodeSink {
 public:
  explicit NodeListSink(std::vector<Node>& nodes) : nodes_(nodes) {}
  void append_boundary(const WithInputs<NodeView>& node) override { nodes_.push_back(Node::copy_of(node)); }
  void append_stage(const StageDraft& stage) override { nodes_.push_back(Node::copy_of(stage)); }

 private:
  std::vector<Node>& nodes_;
};

// Interns the reduced nodes straight into a new store, renumbering positions to ids as
// from_reduced does, so that no intermediate node list is built.
class StoreSink final : public ReducedNodeSink {
 public:
  explicit StoreSink(GraphStore& store) : store_(store) {}

  void append_boundary(const WithInputs<NodeView>& node) override {
    translate(node);
    append(WithInputs<WithInputs<NodeView>>(node, inputs_.span()));
  }
  void append_stage(const StageDraft& stage) override {
    translate(stage);
    append(WithInputs<StageDraft>(stage, inputs_.span()));
  }
  void mark(std::uint64_t position) {
    expect_ok(store_.mark_output(checked_at(ids_, position)), "reduced output is valid");
  }

 private:
  template <NodeLike N>
  void translate(const N& node) {
    inputs_.clear();
    for (std::size_t i = 0; i < node.input_count(); ++i) inputs_.push_back(checked_at(ids_, node.input(i)));
  }
  template <NodeLike N>
  void append(const N& node) {
    ids_.push_back(expect_ok(store_.intern(node), "reduced graph references only earlier nodes"));
  }

  GraphStore& store_;
  std::vector<NodeId> ids_;  // reduced position -> id in the new store
  InputList inputs_;
};

// The pipeline up to and including fusion; the reduced nodes go to `sink`, the reduced outputs
// and the counters into `reduced`.
void run_pipeline(const NodeTable& nodes, std::span<const NodeId> outputs, RewriteEngine& engine, bool maximal_fusion,
                  ReducedNodeSink& sink, std::vector<std::uint64_t>& reduced_outputs, ReductionReport& report) {
  const std::size_t n = nodes.size();
  report.input_nodes = n;

  std::vector<std::uint8_t> reached(n, 0);
  const std::size_t reachable = mark_reachable(nodes, outputs, reached);

  // Compaction and terms in one walk in id order: a reached node's inputs are reached and come
  // earlier, so they already have their compact positions.
  SymbolTexts texts;
  NodeSymbols symbols(nodes, texts);
  std::vector<NodeId> templates;  // symbol id -> first node with that symbol
  std::vector<TermIndex> compact(n, kAbsent);
  TermList terms(texts);
  terms.reserve(reachable, reachable * 2);
  for (std::size_t id = 0; id < n; ++id) {
    if (!reached[id]) continue;
    const NodeView node = nodes[id];
    const SymbolId symbol = symbols.symbol_of(id);
    if (symbol == templates.size()) templates.push_back(id);  // ids are handed out densely
    compact[id] = terms.begin_term(symbol, node.kind() != NodeKind::Op);
    for (std::size_t i = 0; i < node.input_count(); ++i) {
      const TermIndex child = checked_at(compact, node.input(i));
      if (child == kAbsent || child >= compact[id]) missing_entry();
      terms.push_child(child);
    }
  }
  std::vector<TermIndex> term_outputs;
  term_outputs.reserve(outputs.size());
  for (NodeId output : outputs) term_outputs.push_back(compact[output]);
  report.reachable_nodes = terms.size();

  RewriteResult rewritten = engine.rewrite(terms, term_outputs);
  if (rewritten.roots.size() != term_outputs.size()) {
    internal_failure("the rewrite engine returns one root per output");
  }

  std::vector<TermIndex> roots = std::move(rewritten.roots);
  const TermList canonical =
      rewritten.distinct_terms ? checked_terms(std::move(rewritten.terms), roots) : hash_cons(rewritten.terms, roots);
  report.canonical_nodes = canonical.size();

  const ConsumerLists consumers(canonical);
  std::vector<std::uint8_t> is_output(canonical.size(), 0);
  for (TermIndex root : roots) is_output[root] = 1;

  FusionResult fused =
      fuse_and_emit(canonical, consumers, is_output, roots, SymbolTemplates{nodes, templates}, maximal_fusion, sink);
  reduced_outputs = std::move(fused.outputs);
  report.stages = fused.stages;
  report.boundary_nodes = fused.boundary_nodes;
  report.reduced_nodes = fused.stages + fused.boundary_nodes;
}

}  // namespace

ReducedGraph reduce_graph(const NodeTable& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                          bool maximal_fusion) {
  ReducedGraph reduced;
  NodeListSink sink(reduced.nodes);
  run_pipeline(nodes, outputs, engine, maximal_fusion, sink, reduced.outputs, reduced.report);
  return reduced;
}

std::pair<GraphStore, ReductionReport> reduce_graph_to_store(const NodeTable& nodes, std::span<const NodeId> outputs,
                                                            RewriteEngine& engine, bool maximal_fusion) {
  GraphStore store;
  StoreSink sink(store);
  std::vector<std::uint64_t> reduced_outputs;
  ReductionReport report;
  run_pipeline(nodes, outputs, engine, maximal_fusion, sink, reduced_outputs, report);
  for (std::uint64_t position : reduced_outputs) sink.mark(position);
  return {std::move(store), report};
}

}  // namespace veltrix
