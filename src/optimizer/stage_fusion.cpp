#include "optimizer/stage_fusion.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

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

}  // namespace

FusionResult fuse_and_emit(const TermList& terms, std::span<const std::uint8_t> is_output,
                           std::span<const TermIndex> outputs, const SymbolTemplates& templates, bool maximal_fusion,
                           ReducedNodeSink& sink) {
  const std::size_t n = terms.size();
  BlockVector<TermIndex> group = maximal_fusion ? group_maximal(terms, is_output) : group_single_use(terms, is_output);

  // Per term, read when the term is the child of a member being emitted: its group, and, as the
  // value of a group (its highest member) or a member of the stage being emitted, its
  // bookkeeping. All of it sits in one record so that one cache line serves; children are mostly
  // recent terms, but some are anywhere earlier in a large graph.
  struct TermSlot {
    TermIndex group = 0;
    std::uint32_t position = kNoTerm;      // reduced position, once its group is emitted
    std::uint32_t input_stamp = kNoTerm;   // the stage whose input list holds this producer...
    std::uint32_t input_slot = 0;          // ...at this position
    std::uint32_t member_stamp = kNoTerm;  // the stage this term is a member of...
    std::uint32_t member_slot = 0;         // ...at this position
  };
  BlockVector<TermSlot> slots;
  slots.reserve(n);
  for (std::size_t t = 0; t < n; ++t) slots.push_back(TermSlot{group[t]});
  BlockVector<TermIndex>().swap(group);
  // Emitting the group at term t reads the records of the children of terms up to t; the loop
  // starts loading those of a term this far ahead.
  constexpr std::size_t kLookahead = 16;
  const std::span<const std::uint64_t> child_ends = terms.child_ends();
  const std::span<const TermIndex> all_children = terms.all_children();
  const auto reduced_position = [&](TermIndex producer) -> std::uint64_t {
    const std::uint32_t at = slots[producer].position;
    if (at == kNoTerm) missing_entry();
    return at;
  };

  FusionResult result;
  std::uint32_t emitted = 0;
  InputList inputs;
  StageDraft stage;
  std::vector<TermIndex> members;
  std::vector<TermIndex> walk;
  // Visiting each group at its highest member emits the groups ordered by highest member.
  for (std::size_t t = 0; t < n; ++t) {
    if (t + kLookahead < n) {
      for (std::uint64_t k = child_ends[t + kLookahead]; k < child_ends[t + kLookahead + 1]; ++k) {
        __builtin_prefetch(slots.data() + all_children[k]);
      }
    }
    if (slots[t].group != t) continue;
    if (terms.is_boundary(t)) {
      inputs.clear();
      // A term used from outside its group is that group's highest member.
      for (TermIndex child : terms.children(t)) inputs.push_back(reduced_position(child));
      const NodeId source = checked_at(templates.node_of_symbol, terms.symbol(t));
      sink.append_boundary(templates.table[source], inputs.span());
      ++result.boundary_nodes;
    } else {
      const auto value = static_cast<TermIndex>(t);
      const auto in_group = [&](TermIndex child) {
        const TermIndex g = slots[child].group;
        return g == value || g == kJoined;
      };
      // The members: the value and, transitively, the children that joined its group.
      members.clear();
      walk.assign(1, value);
      slots[value].member_stamp = emitted;
      while (!walk.empty()) {
        const TermIndex m = walk.back();
        walk.pop_back();
        members.push_back(m);
        for (TermIndex child : terms.children(m)) {
          if (!in_group(child) || slots[child].member_stamp == emitted) continue;
          slots[child].member_stamp = emitted;
          walk.push_back(child);
        }
      }
      if (members.size() > 1) std::sort(members.begin(), members.end());
      for (std::size_t k = 0; k < members.size(); ++k) slots[members[k]].member_slot = static_cast<std::uint32_t>(k);

      stage.clear();
      std::uint32_t input_count = 0;
      for (TermIndex member : members) {
        stage.add_member(terms.symbol(member), terms.symbol_text(member));
        for (TermIndex child : terms.children(member)) {
          if (in_group(child)) {
            stage.add_ref(MemberRef{MemberRefKind::Member, slots[child].member_slot});
            continue;
          }
          TermSlot& producer = slots[child];
          if (producer.input_stamp != emitted) {
            producer.input_stamp = emitted;
            producer.input_slot = input_count++;
            stage.add_input(reduced_position(child));
          }
          stage.add_ref(MemberRef{MemberRefKind::Input, producer.input_slot});
        }
      }
      sink.append_stage(stage);
      ++result.stages;
    }
    slots[t].position = emitted++;
  }
  result.outputs.reserve(outputs.size());
  // An output is never joined to another group, so it is its group's value.
  for (TermIndex output : outputs) result.outputs.push_back(reduced_position(checked_at(slots, output).group));
  return result;
}

}  // namespace veltrix
