#include "optimizer/reduce_graph.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <limits>
#include <utility>
#include <vector>

#include "optimizer/egraph_engine.h"
#include "optimizer/emission_pipeline.h"
#include "optimizer/node_symbols.h"
#include "optimizer/stage_fusion.h"
#include "store/entry_translation.h"
#include "support/hash_table.h"
#include "support/hashing.h"
#include "support/id_index.h"
#include "support/internal_failure.h"
#include "support/keyed_fold_hash.h"
#include "support/memory_blocks.h"
#include "support/result.h"
#include "support/siphash.h"
#include "support/small_vector.h"
#include "support/thread_pool.h"

namespace veltrix {
namespace {

constexpr TermIndex kAbsent = std::numeric_limits<TermIndex>::max();

// Marks every node reachable from the outputs; returns how many there are. Inputs always name
// earlier nodes, so one backward walk in id order reaches everything a stack-based search would,
// while reading the table sequentially instead of jumping around it. An input that breaks the
// order is caught when the terms are built (its compact position is still absent there).
// The nodes reachable from the outputs, how many, and how many inputs they have in all.
struct Reached {
  BlockVector<std::uint8_t> flags;
  std::size_t count = 0;
  std::size_t inputs = 0;
};

Reached reach(const NodeTable& nodes, std::span<const NodeId> outputs) {
  const std::size_t n = nodes.size();
  Reached reached{BlockVector<std::uint8_t>(n, 0), 0, 0};
  for (NodeId output : outputs) checked_at(reached.flags, output) = 1;
  for (std::size_t id = n; id-- > 0;) {
    if (!reached.flags[id]) continue;
    ++reached.count;
    const NodeView node = nodes[id];
    reached.inputs += node.input_count();
    for (std::size_t i = 0; i < node.input_count(); ++i) checked_at(reached.flags, node.input(i)) = 1;
  }
  return reached;
}

// The symbol id and the children, two per word. The graph's shape comes from the user, so the
// hash is keyed per run: nobody can prepare a graph whose terms all collide.
std::uint64_t term_hash(SymbolId symbol, std::span<const TermIndex> children, const HashKey& key) {
  KeyedFoldHasher hasher(key);
  hasher.write_u64(std::uint64_t{symbol} << 32 | children.size());
  std::size_t i = 0;
  for (; i + 2 <= children.size(); i += 2) hasher.write_u64(children[i] | std::uint64_t{children[i + 1]} << 32);
  if (i < children.size()) hasher.write_u64(children[i]);
  return hasher.finish();
}

// Hash-conses the engine's result: equal (symbol, children) pairs become one canonical term.
// `roots` are translated into canonical positions in place.
TermList hash_cons(const TermList& result, std::vector<TermIndex>& roots) {
  const std::size_t n = result.size();
  TermList canonical(result.symbols());
  canonical.reserve(n, result.child_count());
  BlockVector<TermIndex> canonical_of(n);
  IdIndex table;
  const HashKey key = random_hash_key();
  table.reserve(n);
  for (std::size_t j = 0; j < n; ++j) {
    const TermIndex term = canonical.begin_term(result.symbol(j), result.is_boundary(j));
    for (TermIndex child : result.children(j)) {
      if (child >= j) index_out_of_bounds(j, child);
      canonical.push_child(canonical_of[child]);
    }
    const SymbolId symbol = canonical.symbol(term);
    const std::span<const TermIndex> children = canonical.children(term);
    const std::uint64_t hash = term_hash(symbol, children, key);
    const std::optional<std::uint32_t> found = table.find(hash, [&](std::uint32_t other) {
      if (canonical.symbol(other) != symbol) return false;
      const std::span<const TermIndex> theirs = canonical.children(other);
      return std::equal(theirs.begin(), theirs.end(), children.begin(), children.end());
    });
    if (found) {
      canonical_of[j] = *found;
      canonical.pop_back();
    } else {
      canonical_of[j] = term;
      table.insert(hash, term);
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

// Interns the reduced nodes into a private interner that then becomes the new store, renumbering
// positions to ids (equal reduced nodes collapse into one id). Nothing else can see the store while it is built, so no
// lock is taken per node; the nodes are handed over already resolved (texts as the new store's
// ids), each text resolved once: a member token once per symbol, a template's name, keys and
// string values once per text of the input table. Texts are interned in the order resolving the
// nodes one by one would intern them, so the store is the same.
//
// A node is interned kAhead nodes after it arrives, its index probe prefetched on arrival, so that
// the probes' cache misses in a large store overlap. Its hash is taken with input positions as
// ids, which they are until two reduced nodes collapse into one (then it is taken again).
class StoreSink final : public ReducedNodeSink {
 public:
  explicit StoreSink(const NodeTable& source) : source_(source), source_ids_(source.strings().size(), kNoString) {}

  void reserve(std::size_t nodes, std::size_t words, std::size_t stages, std::size_t members,
               std::size_t refs) override {
    interner_.reserve(nodes, words, stages, members, refs);
    ids_.reserve(nodes);
  }

  // A template's member references live in the input table, which outlives the sink; its texts
  // are resolved once each, like names.
  void append_boundary(const NodeView& node, std::span<const NodeId> inputs) override {
    if (inputs.size() > NodeTable::kMaxInputs) internal_failure("a reduced node has more inputs than a table can hold");
    Pending& pending = next_pending();
    pending.member_shapes.clear();
    translate_entry(
        node, [&](StrId text) { return source_text(text); }, inputs.size(),
        [&](std::size_t i) -> std::optional<std::uint32_t> { return position_of(inputs[i]); }, pending.node);
    arrive(pending);
  }

  // A store that was reduced before is mostly Stages, and they repeat as ops do: a Stage
  // template's members are resolved once per symbol and kept side by side, where reading the
  // template itself again would take several cache misses in a large table.
  void append_boundary_of(const SymbolTemplates& templates, SymbolId symbol, std::span<const NodeId> inputs) override {
    if (symbol >= stage_of_symbol_.size()) stage_of_symbol_.resize(templates.node_of_symbol.size(), kUnseen);
    std::uint32_t& kept = checked_at(stage_of_symbol_, symbol);
    if (kept == kUnseen) {
      const NodeView node = templates.table[checked_at(templates.node_of_symbol, symbol)];
      kept = node.kind() == NodeKind::Stage ? keep_stage(node) : kNotStage;
    }
    if (kept == kNotStage) {
      append_boundary(templates.table[templates.node_of_symbol[symbol]], inputs);
      return;
    }
    const KeptStage& stage = kept_stages_[kept];
    Pending& pending = begin(NodeKind::Stage, 0, inputs.size());
    entry::Builder build(pending.node.words);
    for (NodeId input : inputs) build.input(position_of(input));
    const std::span<const KeptMember> members(kept_members_.data() + stage.first_member, stage.member_count);
    add_members(
        pending, members.size(),
        [&](std::size_t m) {
          return std::span<const MemberRef>(kept_refs_).subspan(members[m].first_ref, members[m].ref_count);
        },
        [&](std::size_t m) { return members[m].token; });
    for (const KeptMember& member : members) pending.member_shapes.push_back(member.shape);
    arrive(pending);
  }

  void append_stage(const StageDraft& stage) override {
    Pending& pending = begin(NodeKind::Stage, 0, stage.input_count());
    entry::Builder build(pending.node.words);
    for (std::size_t i = 0; i < stage.input_count(); ++i) build.input(position_of(stage.input(i)));
    add_members(
        pending, stage.member_count(), [&](std::size_t m) { return stage.member_refs(m); },
        [&](std::size_t m) { return symbol_text(stage.member_symbol(m), stage.member_token(m)); });
    for (std::size_t m = 0; m < stage.member_count(); ++m) {
      pending.member_shapes.push_back(symbol_shape(stage.member_symbol(m)));
    }
    arrive(pending);
  }

  void use_templates(const SymbolTemplates& templates) override {
    if (&templates.table != &source_) return;  // shapes are resolved through the input table's texts
    template_table_ = &templates.table;
    node_of_symbol_ = templates.node_of_symbol;
  }

  // The id in the new store of the node at `position`, once finish() has interned everything.
  NodeId id_at(std::uint64_t position) const { return checked_at(ids_, position); }

  // The new store, and the id of each output position (marked once each, in first appearance).
  std::pair<GraphStore, std::vector<NodeId>> finish(std::span<const std::uint64_t> outputs) {
    while (waiting_ != 0) intern_oldest();
    std::vector<NodeId> output_ids;
    output_ids.reserve(outputs.size());
    for (std::uint64_t position : outputs) output_ids.push_back(checked_at(ids_, position));
    GraphStore store =
        expect_ok(GraphStore::from_interner(std::move(interner_), output_ids), "reduced output is valid");
    return {std::move(store), std::move(output_ids)};
  }

 private:
  using ResolvedNode = NodeInterner::ResolvedNode;

  struct Pending {
    ResolvedNode node;                            // inputs as reduced positions until interned
    std::vector<MemberRef> refs;                  // copies of a drafted stage's member references
    std::vector<std::uint32_t> member_shapes;     // per member: into source_shapes_, or kNoShape
    std::vector<ResolvedNode::KnownShape> known;  // the shapes of members new to the store
    std::uint64_t hash = 0;                       // taken with positions as ids
  };
  static constexpr std::size_t kAhead = 16;

  // The ring slot of the next node to arrive, its oldest node interned first if the ring is full.
  Pending& next_pending() {
    if (waiting_ == kAhead) intern_oldest();
    return ring_[(oldest_ + waiting_) % kAhead];
  }

  // A node with its header written (External and Stage labels are set on append); its params
  // and inputs follow.
  Pending& begin(NodeKind kind, std::uint32_t params, std::size_t inputs, StrId label = 0) {
    if (inputs > NodeTable::kMaxInputs) internal_failure("a reduced node has more inputs than a table can hold");
    Pending& pending = next_pending();
    ResolvedNode& resolved = pending.node;
    resolved.kind = kind;
    resolved.param_count = params;
    resolved.input_count = static_cast<std::uint32_t>(inputs);
    resolved.members.clear();
    resolved.words.clear();
    entry::Builder(resolved.words).header(kind, params, static_cast<std::uint32_t>(inputs), label);
    pending.refs.clear();
    pending.member_shapes.clear();
    return pending;
  }

  void arrive(Pending& pending) {
    pending.hash = interner_.hash_of(pending.node);
    interner_.prefetch(pending.hash);
    ++waiting_;
    ++arrived_;
  }

  void intern_oldest() {
    Pending& pending = ring_[oldest_];
    ResolvedNode& resolved = pending.node;
    bool renumbered = false;
    // Until a node collapses into an earlier one, every id is its position and there is nothing
    // to translate (nor a lookup per input, which in a large graph may miss the cache).
    if (collapsed_) {
      for (std::uint32_t& input : entry::inputs(resolved.words.data())) {
        const std::uint32_t id = ids_[input];  // an earlier node, interned already
        renumbered |= id != input;
        input = id;
      }
    }
    if (!pending.member_shapes.empty()) hand_known_shapes(pending);
    const std::uint32_t id = interner_.intern(resolved, renumbered ? interner_.hash_of(resolved) : pending.hash);
    collapsed_ |= id != ids_.size();
    ids_.push_back(id);
    oldest_ = (oldest_ + 1) % kAhead;
    --waiting_;
  }

  // A reduced position, which must name a node that arrived earlier.
  std::uint32_t position_of(NodeId position) const {
    if (position >= arrived_) index_out_of_bounds(arrived_, position);
    return static_cast<std::uint32_t>(position);
  }

  // A Stage's members: member m reads the references refs_of(m) and has the token token_of(m), a
  // text of the new store. The references may live where the next stage is written (a reused
  // draft, a growing array), so they are copied into the pending node first, all of them, before
  // any span into the copy is taken.
  template <class RefsOf, class TokenOf>
  void add_members(Pending& pending, std::size_t count, RefsOf refs_of, TokenOf token_of) {
    for (std::size_t m = 0; m < count; ++m) {
      const std::span<const MemberRef> refs = refs_of(m);
      pending.refs.insert(pending.refs.end(), refs.begin(), refs.end());
    }
    std::size_t at = 0;
    for (std::size_t m = 0; m < count; ++m) {
      const std::size_t refs = refs_of(m).size();
      pending.node.members.push_back({token_of(m), std::span<const MemberRef>(pending.refs).subspan(at, refs)});
      at += refs;
    }
  }

  struct KeptStage {
    std::uint32_t first_member;
    std::uint32_t member_count;
  };
  struct KeptMember {
    StrId token;  // resolved
    std::uint32_t ref_count;
    std::size_t first_ref;
    std::uint32_t shape;  // into source_shapes_, or kNoShape
  };
  static constexpr std::uint32_t kUnseen = UINT32_MAX;
  static constexpr std::uint32_t kNotStage = UINT32_MAX - 1;

  // Resolves a Stage template's member tokens (in member order, as resolving it node by node
  // would) and copies its references; returns its index among the kept stages.
  std::uint32_t keep_stage(const NodeView& node) {
    const KeptStage stage{static_cast<std::uint32_t>(kept_members_.size()),
                          static_cast<std::uint32_t>(node.member_count())};
    for (std::size_t m = 0; m < stage.member_count; ++m) {
      const std::span<const MemberRef> refs = node.member_refs(m);
      const NodeTable::MemberShape& shape = node.member_shape(m);
      const std::uint32_t known = shape.kind == NodeTable::MemberKind::Unreadable
                                      ? kNoShape
                                      : add_source_shape({shape.kind, shape.name, node.member_param_words(m)});
      kept_members_.push_back({source_text(node.member_token_text_id(m)), static_cast<std::uint32_t>(refs.size()),
                               kept_refs_.size(), known});
      kept_refs_.insert(kept_refs_.end(), refs.begin(), refs.end());
    }
    if (kept_stages_.size() >= kNotStage) internal_failure("a reduction has fewer than 2^32 - 2 distinct symbols");
    kept_stages_.push_back(stage);
    return static_cast<std::uint32_t>(kept_stages_.size() - 1);
  }

  // Member shapes, known from the templates the tokens were made from, so that the new store
  // need not read its new tokens back. A shape's texts are the input table's until a stage that
  // brings its token into the store is interned; they are resolved then, in the order reading
  // the token would resolve them, so the store's texts come out as they would without this.
  struct SourceShape {
    NodeTable::MemberKind kind;
    StrId name;                                  // the input table's
    std::span<const std::uint32_t> param_words;  // in the input table, its text ids
  };
  static constexpr std::uint32_t kNoShape = UINT32_MAX - 1;  // distinct from kUnseen

  std::uint32_t add_source_shape(const SourceShape& shape) {
    source_shapes_.push_back(shape);
    return static_cast<std::uint32_t>(source_shapes_.size() - 1);
  }

  // The shape of a member made from `symbol`'s template: an Op or a Reduction reads as its kind,
  // name and params (the token writes a float's bits canonical).
  std::uint32_t symbol_shape(SymbolId symbol) {
    if (!template_table_ || symbol >= node_of_symbol_.size()) return kNoShape;
    if (symbol >= shape_of_symbol_.size()) shape_of_symbol_.resize(node_of_symbol_.size(), kUnseen);
    std::uint32_t& known = shape_of_symbol_[symbol];
    if (known == kUnseen) {
      const NodeView node = (*template_table_)[node_of_symbol_[symbol]];
      const NodeKind kind = node.kind();
      known =
          kind == NodeKind::Op || kind == NodeKind::Reduction
              ? add_source_shape({kind == NodeKind::Op ? NodeTable::MemberKind::Op : NodeTable::MemberKind::Reduction,
                                  node.name_text_id(), node.param_words()})
              : kNoShape;
    }
    return known;
  }

  // Gives each member of a pending Stage whose token the store has not read yet the shape its
  // template says. An equal stage already stored has brought all its tokens, so shapes are only
  // resolved for a stage that is about to be appended.
  void hand_known_shapes(Pending& pending) {
    std::vector<ResolvedNode::Member>& members = pending.node.members;
    SmallVector<std::uint32_t, 8> fresh;  // the members whose tokens are new to the store
    for (std::size_t m = 0; m < members.size(); ++m) {
      const std::uint32_t shape = pending.member_shapes[m];
      if (shape == kNoShape || interner_.has_member_shape(members[m].token)) continue;
      resolve_shape(shape);
      fresh.push_back(static_cast<std::uint32_t>(m));
    }
    // Spans into the resolved words are taken once resolving has stopped growing them.
    pending.known.resize(members.size());
    for (const std::uint32_t m : fresh) {
      const std::uint32_t shape = pending.member_shapes[m];
      const ResolvedShape& resolved = resolved_shapes_[shape];
      pending.known[m] = {
          source_shapes_[shape].kind, resolved.name,
          std::span<const std::uint32_t>(resolved_words_).subspan(resolved.first_word, resolved.word_count)};
      members[m].shape = &pending.known[m];
    }
  }

  void resolve_shape(std::uint32_t index) {
    if (index >= resolved_shapes_.size()) resolved_shapes_.resize(source_shapes_.size(), ResolvedShape{kUnseen, 0, 0});
    ResolvedShape& resolved = resolved_shapes_[index];
    if (resolved.first_word == kUnseen) {
      const SourceShape& shape = source_shapes_[index];
      resolved.name = source_text(shape.name);
      resolved.first_word = static_cast<std::uint32_t>(resolved_words_.size());
      for (std::size_t p = 0; p < shape.param_words.size(); p += entry::kWordsPerParam) {
        const std::uint32_t* param = shape.param_words.data() + p;
        const ParamTag tag = entry::param_tag(param);
        std::uint64_t bits = entry::param_bits(param);
        const StrId key = source_text(entry::param_key(param));
        if (tag == ParamTag::Str) bits = source_text(static_cast<StrId>(bits));
        if (tag == ParamTag::Float) bits = canonical_float_bits(bits);
        entry::Builder<std::vector<std::uint32_t>>(resolved_words_).param(key, tag, bits);
      }
      resolved.word_count = static_cast<std::uint32_t>(resolved_words_.size() - resolved.first_word);
    }
  }

  StrId source_text(StrId id) {
    StrId& mapped = checked_at(source_ids_, id);
    if (mapped == kNoString) mapped = interner_.intern_text(source_.strings().view(id));
    return mapped;
  }
  StrId symbol_text(SymbolId symbol, std::string_view text) {
    if (symbol >= symbol_ids_.size()) symbol_ids_.resize(std::size_t{symbol} + 1 + symbol / 2, kNoString);
    StrId& mapped = symbol_ids_[symbol];
    if (mapped == kNoString) mapped = interner_.intern_text(text);
    return mapped;
  }

  const NodeTable& source_;
  NodeInterner interner_;
  std::vector<std::uint32_t> ids_;              // reduced position -> id in the new store, for interned nodes
  std::vector<StrId> symbol_ids_;               // symbol id -> text id in the new store, once resolved
  std::vector<StrId> source_ids_;               // input table text id -> text id in the new store, once resolved
  std::vector<std::uint32_t> stage_of_symbol_;  // symbol -> index in kept_stages_, kUnseen or kNotStage
  std::vector<KeptStage> kept_stages_;
  std::vector<KeptMember> kept_members_;
  std::vector<MemberRef> kept_refs_;
  struct ResolvedShape {
    std::uint32_t first_word;  // into resolved_words_, kUnseen until resolved
    std::uint32_t word_count;
    StrId name;
  };
  const NodeTable* template_table_ = nullptr;
  std::span<const NodeId> node_of_symbol_;
  std::vector<std::uint32_t> shape_of_symbol_;  // symbol -> into source_shapes_, kUnseen or kNoShape
  std::vector<SourceShape> source_shapes_;
  std::vector<ResolvedShape> resolved_shapes_;  // parallel to source_shapes_, grown on demand
  std::vector<std::uint32_t> resolved_words_;
  std::array<Pending, kAhead> ring_;
  std::size_t oldest_ = 0;   // ring slot of the oldest node not interned yet
  std::size_t waiting_ = 0;  // nodes arrived but not interned
  std::size_t arrived_ = 0;  // reduced positions handed out
  bool collapsed_ = false;   // some node was equal to an earlier one and got its id
};

// Marks the end of one phase: adds the time since the last mark to `slot`, if timing at all.
class PhaseClock {
 public:
  explicit PhaseClock(ReductionPhases* phases) : phases_(phases), last_(phases ? Clock::now() : Clock::time_point()) {}
  void lap(double ReductionPhases::*slot) {
    if (!phases_) return;
    const Clock::time_point now = Clock::now();
    phases_->*slot += std::chrono::duration<double>(now - last_).count();
    last_ = now;
  }

 private:
  using Clock = std::chrono::steady_clock;
  ReductionPhases* phases_;
  Clock::time_point last_;
};

// The reachable nodes as terms at compact positions, the template node of each symbol (the
// first node with it), and the outputs as terms.
struct GraphTerms {
  TermList terms;
  std::vector<NodeId> templates;
  std::vector<TermIndex> outputs;
  BlockVector<TermIndex> compact;  // input id -> term, kAbsent when unreached; kept only on request
};

// Where the building of the terms tells a loader on another thread how far it has got: each
// term's operator among the e-graph's symbols, and the number of terms finished. The count is
// raised every kBatch terms, so that the two threads do not pass its cache line back and forth
// on every term.
struct TermPublisher {
  explicit TermPublisher(std::size_t terms) : ops(terms) {}

  void finished(std::size_t terms) {
    if (terms % kBatch == 0) published.store(terms, std::memory_order_release);
  }

  static constexpr std::size_t kBatch = 256;
  BlockVector<egraph::Symbol> ops;
  TermOperators operators;
  std::atomic<std::size_t> published{0};
  std::atomic<bool> abandoned{false};
};

// Compaction and terms in one walk in id order: a reached node's inputs are reached and come
// earlier, so they already have their compact positions. `out` has room for every term.
void build_terms(const NodeTable& nodes, std::span<const NodeId> outputs, const Reached& reached, SymbolTexts& texts,
                 bool keep_compact, GraphTerms& out, TermPublisher* publisher) {
  const std::size_t n = nodes.size();
  NodeSymbols symbols(nodes, texts);
  BlockVector<TermIndex> compact(n, kAbsent);
  for (std::size_t id = 0; id < n; ++id) {
    if (!reached.flags[id]) continue;
    const NodeView node = nodes[id];
    const SymbolId symbol = symbols.symbol_of(id);
    if (symbol == out.templates.size()) out.templates.push_back(id);  // ids are handed out densely
    compact[id] = out.terms.begin_term(symbol, node.kind() != NodeKind::Op);
    for (std::size_t i = 0; i < node.input_count(); ++i) {
      const TermIndex child = checked_at(compact, node.input(i));
      if (child == kAbsent || child >= compact[id]) missing_entry();
      out.terms.push_child(child);
    }
    if (publisher) {
      publisher->ops[compact[id]] = publisher->operators.of(texts, symbol);
      publisher->finished(std::size_t{compact[id]} + 1);
    }
  }
  if (publisher) publisher->published.store(out.terms.size(), std::memory_order_release);
  out.outputs.reserve(outputs.size());
  for (NodeId output : outputs) out.outputs.push_back(compact[output]);
  if (keep_compact) out.compact = std::move(compact);
}

// The terms of the reachable nodes. With an e-graph engine and a second thread free, the engine
// loads them into its e-graph while they are built (the loading reads each term once it is
// finished, in order, as it would read the finished list), which the engine's next rewrite then
// starts from.
GraphTerms make_terms(const NodeTable& nodes, std::span<const NodeId> outputs, SymbolTexts& texts, bool keep_compact,
                      RewriteEngine& engine) {
  const Reached reached = reach(nodes, outputs);
  GraphTerms out{TermList(texts), {}, {}, {}};
  out.terms.reserve(reached.count, reached.inputs);
  auto* loader = dynamic_cast<EGraphEngine*>(&engine);
  ThreadPool& pool = ThreadPool::instance();
  if (!loader || !parallel_step(reached.count)) {
    build_terms(nodes, outputs, reached, texts, keep_compact, out, nullptr);
    return out;
  }
  TermPublisher publisher(reached.count);
  const egraph::TermArrays arrays{publisher.ops, out.terms.reserved_child_ends(reached.count),
                                  out.terms.reserved_children(reached.inputs)};
  pool.run(2, [&](std::size_t part) {
    if (part == 1) {
      loader->load_published(arrays, publisher.published, publisher.abandoned);
      return;
    }
    try {
      build_terms(nodes, outputs, reached, texts, keep_compact, out, &publisher);
    } catch (...) {
      publisher.abandoned.store(true, std::memory_order_release);
      throw;
    }
  });
  return out;
}

// The engine's result as canonical terms (hash-consed unless the engine guarantees it need not
// be), with `roots` translated to canonical positions.
TermList canonical_terms(RewriteResult& rewritten, std::size_t output_count) {
  if (rewritten.roots.size() != output_count) internal_failure("the rewrite engine returns one root per output");
  return rewritten.distinct_terms ? checked_terms(std::move(rewritten.terms), rewritten.roots)
                                  : hash_cons(rewritten.terms, rewritten.roots);
}

// Where every reached input node ended up: its term, that term's class in the engine's result,
// the canonical term of the class, the reduced node the term became or became part of.
std::vector<std::uint32_t> input_positions(std::span<const TermIndex> compact, std::span<const TermIndex> canonical_of,
                                           std::span<const std::uint32_t> term_positions) {
  std::vector<std::uint32_t> positions(compact.size(), kAbsent);
  for (std::size_t id = 0; id < compact.size(); ++id) {
    if (compact[id] != kAbsent) positions[id] = checked_at(term_positions, checked_at(canonical_of, compact[id]));
  }
  return positions;
}

// The pipeline up to and including fusion: the reduced nodes go to `sink`.
PipelineResult run_pipeline(const NodeTable& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                            bool maximal_fusion, ReducedNodeSink& sink, PhaseClock& clock, bool trace_inputs) {
  PipelineResult result;
  result.report.input_nodes = nodes.size();

  SymbolTexts texts;
  GraphTerms graph = make_terms(nodes, outputs, texts, trace_inputs, engine);
  result.report.reachable_nodes = graph.terms.size();
  const std::size_t output_count = graph.outputs.size();
  // Tracing asks the engine for the root of every term as well: roots past the outputs say which
  // result term each input term became. Roots choose nothing, so the result is the same.
  if (trace_inputs) {
    for (std::size_t t = 0; t < graph.terms.size(); ++t) graph.outputs.push_back(static_cast<TermIndex>(t));
  }
  clock.lap(&ReductionPhases::terms);

  RewriteResult rewritten = engine.rewrite(graph.terms, graph.outputs);
  // Each term list is freed once the next is made from it: emission, which builds the new store,
  // would otherwise hold all three at once at the reduction's peak.
  graph.terms = TermList(texts);
  clock.lap(&ReductionPhases::engine);

  const TermList canonical = canonical_terms(rewritten, graph.outputs.size());
  rewritten.terms = TermList(texts);
  const std::span<const TermIndex> roots = std::span<const TermIndex>(rewritten.roots).first(output_count);
  result.report.canonical_nodes = canonical.size();
  clock.lap(&ReductionPhases::canonical);

  BlockVector<std::uint8_t> is_output(canonical.size(), 0);
  for (TermIndex root : roots) is_output[root] = 1;
  std::vector<std::uint32_t> term_positions;
  FusionResult fused = fuse_and_emit_overlapped(canonical, is_output, roots, SymbolTemplates{nodes, graph.templates},
                                                maximal_fusion, sink, trace_inputs ? &term_positions : nullptr);
  if (trace_inputs) {
    result.input_positions = input_positions(
        graph.compact, std::span<const TermIndex>(rewritten.roots).subspan(output_count), term_positions);
  }
  clock.lap(&ReductionPhases::emit);
  result.outputs = std::move(fused.outputs);
  result.report.stages = fused.stages;
  result.report.boundary_nodes = fused.boundary_nodes;
  result.report.reduced_nodes = fused.stages + fused.boundary_nodes;
  return result;
}

}  // namespace

PipelineResult reduce_into(const NodeTable& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                           bool maximal_fusion, ReducedNodeSink& sink) {
  PhaseClock clock(nullptr);
  PipelineResult result = run_pipeline(nodes, outputs, engine, maximal_fusion, sink, clock, false);
  result.input_positions.clear();
  return result;
}

ReducedStore reduce_graph_to_store(const NodeTable& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                                   bool maximal_fusion, ReductionPhases* phases, bool trace_inputs) {
  StoreSink sink(nodes);
  PhaseClock clock(phases);
  const PipelineResult result = run_pipeline(nodes, outputs, engine, maximal_fusion, sink, clock, trace_inputs);
  auto [store, output_ids] = sink.finish(result.outputs);
  std::vector<NodeId> reduced_of_input;
  if (trace_inputs) {
    reduced_of_input.reserve(result.input_positions.size());
    for (std::uint32_t position : result.input_positions) {
      reduced_of_input.push_back(position == kAbsent ? kNotReduced : sink.id_at(position));
    }
  }
  clock.lap(&ReductionPhases::finish);
  return {std::move(store), result.report, std::move(output_ids), std::move(reduced_of_input), trace_inputs};
}

}  // namespace veltrix
