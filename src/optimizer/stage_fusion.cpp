#include "optimizer/stage_fusion.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "store/node_entry.h"
#include "support/internal_failure.h"
#include "support/memory_blocks.h"

namespace veltrix {
namespace {

constexpr TermIndex kNoTerm = std::numeric_limits<TermIndex>::max();
// Group marks beside term indices: an op that joined its sole consumer's group (single-use rule),
// and, while the maximal rule folds over a term's consumers, "no consumer seen" and "consumers
// disagree".
constexpr TermIndex kJoined = kNoTerm - 1;
constexpr TermIndex kNoUse = kNoTerm;
constexpr TermIndex kManyUses = kNoTerm - 1;

// Single-use rule: an op joins its consumer's group when that consumer is its only use (a
// consumer using it twice counts twice), is an op, and the op is not an output. Joined terms are
// marked kJoined; every other term is the highest member of its group and marked with itself.
BlockVector<TermIndex> group_single_use(const TermList& terms, std::span<const std::uint8_t> is_output) {
  const std::size_t n = terms.size();
  BlockVector<TermIndex> use(n, kNoUse);  // the only consumer, or kManyUses
  const std::span<const std::uint64_t> ends = terms.child_ends();
  const std::span<const TermIndex> children = terms.all_children();
  for (std::size_t j = 0; j < n; ++j) {
    for (std::uint64_t k = ends[j]; k < ends[j + 1]; ++k) {
      TermIndex& u = use[children[k]];
      u = u == kNoUse ? static_cast<TermIndex>(j) : kManyUses;
    }
  }
  BlockVector<TermIndex> group(n);
  for (std::size_t i = 0; i < n; ++i) {
    const TermIndex u = use[i];
    const bool joins = !terms.is_boundary(i) && u != kNoUse && u != kManyUses && !is_output[i] && !terms.is_boundary(u);
    group[i] = joins ? kJoined : static_cast<TermIndex>(i);
  }
  return group;
}

// Maximal rule, in descending order so that every consumer is decided before the terms it uses:
// an op that is not an output joins the group its consumers share, if they are all ops in one
// group. A group's id is then its highest member. The consumers' verdict is folded into each
// term as its consumers are decided, so no consumer lists are needed.
BlockVector<TermIndex> group_maximal(const TermList& terms, std::span<const std::uint8_t> is_output) {
  const std::size_t n = terms.size();
  BlockVector<TermIndex> shared(n, kNoUse);  // the group all consumers so far share, or kManyUses
  BlockVector<TermIndex> group(n);
  const std::span<const std::uint64_t> ends = terms.child_ends();
  const std::span<const TermIndex> children = terms.all_children();
  for (std::size_t x = n; x-- > 0;) {
    const TermIndex g = shared[x];
    const bool joins = !terms.is_boundary(x) && !is_output[x] && g != kNoUse && g != kManyUses;
    group[x] = joins ? g : static_cast<TermIndex>(x);
    // A boundary consumer disagrees with every group.
    const TermIndex verdict = terms.is_boundary(x) ? kManyUses : group[x];
    for (std::uint64_t k = ends[x]; k < ends[x + 1]; ++k) {
      TermIndex& s = shared[children[k]];
      if (s == kNoUse) {
        s = verdict;
      } else if (s != verdict) {
        s = kManyUses;
      }
    }
  }
  return group;
}

// Emits the groups in order of their highest member. Per term, read when the term is the child
// of a member being emitted: its group, and, as the value of a group (its highest member) or a
// member of the stage being emitted, its bookkeeping. All of it sits in one record so that one
// cache line serves; children are mostly recent terms, but some are anywhere earlier in a large
// graph.
class StageEmitter {
 public:
  StageEmitter(const TermList& terms, BlockVector<TermIndex> group, const SymbolTemplates& templates,
               ReducedNodeSink& sink)
      : terms_(terms), templates_(templates), sink_(sink) {
    slots_.reserve(terms.size());
    for (std::size_t t = 0; t < terms.size(); ++t) slots_.push_back(TermSlot{group[t]});
  }

  FusionResult run(std::span<const TermIndex> outputs) {
    for (std::size_t t = 0; t < terms_.size(); ++t) {
      load_ahead(t);
      if (slots_[t].group != t) continue;
      if (terms_.is_boundary(t)) {
        emit_boundary(static_cast<TermIndex>(t));
      } else {
        emit_stage(static_cast<TermIndex>(t));
      }
      slots_[t].position = emitted_++;
    }
    result_.outputs.reserve(outputs.size());
    // An output is never joined to another group, so it is its group's value.
    for (TermIndex output : outputs) result_.outputs.push_back(reduced_position(checked_at(slots_, output).group));
    return std::move(result_);
  }

  // A group's value holds its own position, and a member joined to it the position of the stage
  // that took it in.
  void term_positions(std::vector<std::uint32_t>& out) const {
    out.resize(slots_.size());
    for (std::size_t t = 0; t < slots_.size(); ++t) out[t] = slots_[t].position;
  }

 private:
  // Sixteen bytes a term, as it is the largest array of the emission. A member joined to a group is
  // never read from outside it, so its `position` can say which stage took it in, which also marks
  // it as collected. While a stage is emitted, `slot` is a member's place in it or a producer's
  // place among its inputs: one term is never both in one stage.
  struct TermSlot {
    TermIndex group = 0;
    std::uint32_t position = kNoTerm;     // reduced position of a group's value, or of its stage
    std::uint32_t input_stamp = kNoTerm;  // the stage whose input list holds this producer
    std::uint32_t slot = 0;
  };
  // Emitting the group at term t reads the records of the children of terms up to t.
  static constexpr std::size_t kLookahead = 16;

  void load_ahead(std::size_t t) const {
    if (t + kLookahead >= terms_.size()) return;
    for (TermIndex child : terms_.children(t + kLookahead)) __builtin_prefetch(slots_.data() + child);
  }

  std::uint64_t reduced_position(TermIndex producer) const {
    const std::uint32_t at = slots_[producer].position;
    if (at == kNoTerm) missing_entry();
    return at;
  }

  bool in_group(TermIndex child, TermIndex value) const {
    const TermIndex g = slots_[child].group;
    return g == value || g == kJoined;
  }

  // A term used from outside its group is that group's highest member.
  void emit_boundary(TermIndex t) {
    inputs_.clear();
    for (TermIndex child : terms_.children(t)) inputs_.push_back(reduced_position(child));
    sink_.append_boundary_of(templates_, terms_.symbol(t), inputs_.span());
    ++result_.boundary_nodes;
  }

  // The members of the group whose value is `value`: the value and, transitively, the children
  // that joined its group, in ascending term order, each told its place.
  void collect_members(TermIndex value) {
    members_.clear();
    walk_.assign(1, value);
    slots_[value].position = emitted_;
    while (!walk_.empty()) {
      const TermIndex m = walk_.back();
      walk_.pop_back();
      members_.push_back(m);
      for (TermIndex child : terms_.children(m)) {
        if (!in_group(child, value) || slots_[child].position == emitted_) continue;
        slots_[child].position = emitted_;
        walk_.push_back(child);
      }
    }
    if (members_.size() > 1) std::sort(members_.begin(), members_.end());
    for (std::size_t k = 0; k < members_.size(); ++k) slots_[members_[k]].slot = static_cast<std::uint32_t>(k);
  }

  // A member's operand: an earlier member, or a producer outside the group, which becomes one of
  // the stage's inputs at its first use.
  MemberRef operand(TermIndex child, TermIndex value, std::uint32_t& input_count) {
    if (in_group(child, value)) return MemberRef{MemberRefKind::Member, slots_[child].slot};
    TermSlot& producer = slots_[child];
    if (producer.input_stamp != emitted_) {
      producer.input_stamp = emitted_;
      producer.slot = input_count++;
      stage_.add_input(reduced_position(child));
    }
    return MemberRef{MemberRefKind::Input, producer.slot};
  }

  void emit_stage(TermIndex value) {
    collect_members(value);
    stage_.clear();
    std::uint32_t input_count = 0;
    for (TermIndex member : members_) {
      stage_.add_member(terms_.symbol(member), terms_.symbol_text(member));
      for (TermIndex child : terms_.children(member)) stage_.add_ref(operand(child, value, input_count));
    }
    sink_.append_stage(stage_);
    ++result_.stages;
  }

  const TermList& terms_;
  const SymbolTemplates& templates_;
  ReducedNodeSink& sink_;
  BlockVector<TermSlot> slots_;
  FusionResult result_;
  std::uint32_t emitted_ = 0;
  InputList inputs_;
  StageDraft stage_;
  std::vector<TermIndex> members_;
  std::vector<TermIndex> walk_;
};

// Room in the sink for what the groups will emit: one node per group, a stage per group of ops,
// every op a member. Sized by the groups rather than by the terms, since a large store's node
// index is resident in full however little of it is used.
void reserve_for_groups(const TermList& terms, std::span<const TermIndex> group, ReducedNodeSink& sink) {
  std::size_t nodes = 0, stages = 0, ops = 0, op_children = 0;
  for (std::size_t t = 0; t < terms.size(); ++t) {
    const bool is_op = !terms.is_boundary(t);
    if (group[t] == t) {
      ++nodes;
      stages += is_op ? 1 : 0;
    }
    if (is_op) {
      ++ops;
      op_children += terms.children(t).size();
    }
  }
  sink.reserve(nodes, nodes * entry::kHeaderWords + terms.child_count(), stages, ops, op_children);
}

}  // namespace

FusionResult fuse_and_emit(const TermList& terms, std::span<const std::uint8_t> is_output,
                           std::span<const TermIndex> outputs, const SymbolTemplates& templates, bool maximal_fusion,
                           ReducedNodeSink& sink, std::vector<std::uint32_t>* term_positions) {
  BlockVector<TermIndex> group = maximal_fusion ? group_maximal(terms, is_output) : group_single_use(terms, is_output);
  reserve_for_groups(terms, group, sink);
  sink.use_templates(templates);
  StageEmitter emitter(terms, std::move(group), templates, sink);
  FusionResult result = emitter.run(outputs);
  if (term_positions) emitter.term_positions(*term_positions);
  return result;
}

}  // namespace veltrix
