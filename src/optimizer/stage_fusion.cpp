#include "optimizer/stage_fusion.h"

#include <limits>
#include <string>
#include <utility>

#include "support/internal_failure.h"

namespace veltrix {
namespace {

constexpr TermIndex kNoTerm = std::numeric_limits<TermIndex>::max();

TermIndex find_root(std::vector<TermIndex>& parent, TermIndex i) {
  TermIndex root = i;
  while (parent[root] != root) root = parent[root];
  while (parent[i] != root) i = std::exchange(parent[i], root);
  return root;
}

std::vector<TermIndex> group_single_use(const TermList& terms, const ConsumerLists& consumers,
                                        std::span<const std::uint8_t> is_output) {
  const std::size_t n = terms.size();
  std::vector<TermIndex> parent(n);
  for (std::size_t i = 0; i < n; ++i) parent[i] = static_cast<TermIndex>(i);
  for (std::size_t i = 0; i < n; ++i) {
    const std::span<const TermIndex> uses = consumers.of(i);
    if (terms.is_boundary(i) || uses.size() != 1 || is_output[i] || terms.is_boundary(uses[0])) continue;
    const TermIndex a = find_root(parent, static_cast<TermIndex>(i));
    const TermIndex b = find_root(parent, uses[0]);
    // Union towards the smaller root, so a group's id is its smallest member.
    if (a < b) {
      parent[b] = a;
    } else if (b < a) {
      parent[a] = b;
    }
  }
  std::vector<TermIndex> group(n);
  for (std::size_t i = 0; i < n; ++i) {
    group[i] = terms.is_boundary(i) ? static_cast<TermIndex>(i) : find_root(parent, static_cast<TermIndex>(i));
  }
  return group;
}

std::vector<TermIndex> group_maximal(const TermList& terms, const ConsumerLists& consumers,
                                     std::span<const std::uint8_t> is_output) {
  const std::size_t n = terms.size();
  std::vector<TermIndex> group(n);
  for (std::size_t i = 0; i < n; ++i) group[i] = static_cast<TermIndex>(i);
  // Descending, so that every use is decided before the term it uses.
  for (std::size_t x = n; x-- > 0;) {
    const std::span<const TermIndex> uses = consumers.of(x);
    if (terms.is_boundary(x) || is_output[x] || uses.empty()) continue;
    const TermIndex g = group[uses[0]];
    bool joins = true;
    for (TermIndex use : uses) {
      if (terms.is_boundary(use) || group[use] != g) {
        joins = false;
        break;
      }
    }
    if (joins) group[x] = g;
  }
  return group;
}

}  // namespace

ConsumerLists::ConsumerLists(const TermList& terms) : ends_(terms.size() + 1, 0) {
  const std::size_t n = terms.size();
  for (std::size_t j = 0; j < n; ++j) {
    for (TermIndex c : terms.children(j)) ++ends_[c + 1];
  }
  for (std::size_t i = 0; i < n; ++i) ends_[i + 1] += ends_[i];
  consumers_.resize(ends_[n]);
  std::vector<std::uint64_t> fill(ends_.begin(), ends_.end() - 1);
  // Consumers are visited in ascending order, so each list comes out ascending.
  for (std::size_t j = 0; j < n; ++j) {
    for (TermIndex c : terms.children(j)) consumers_[fill[c]++] = static_cast<TermIndex>(j);
  }
}

std::vector<TermIndex> group_terms(const TermList& terms, const ConsumerLists& consumers,
                                   std::span<const std::uint8_t> is_output, bool maximal_fusion) {
  return maximal_fusion ? group_maximal(terms, consumers, is_output) : group_single_use(terms, consumers, is_output);
}

FusionResult fuse_and_emit(const TermList& terms, const ConsumerLists& consumers, std::span<const std::uint8_t> is_output,
                           std::span<const TermIndex> outputs, const SymbolTemplates& templates, bool maximal_fusion,
                           ReducedNodeSink& sink) {
  const std::size_t n = terms.size();
  const std::vector<TermIndex> group = group_terms(terms, consumers, is_output, maximal_fusion);

  // Everything emission needs about a group sits in one record, so that looking up the group
  // of an operand (a jump to anywhere earlier in the graph) touches one cache line.
  struct GroupSlot {
    TermIndex first = kNoTerm;    // lowest member
    TermIndex highest = kNoTerm;  // highest member: the stage's value
    std::uint32_t position = kNoTerm;  // reduced position, once emitted
    std::uint32_t stamp = kNoTerm;     // the stage whose input list holds this group...
    std::uint32_t input_slot = 0;      // ...at this position
  };
  std::vector<GroupSlot> groups(n);
  std::vector<TermIndex> next_member(n, kNoTerm);  // members of a group, linked in ascending order
  std::vector<std::uint32_t> member_position(n, 0);
  for (std::size_t t = 0; t < n; ++t) {
    GroupSlot& slot = groups[group[t]];
    if (slot.first == kNoTerm) {
      slot.first = static_cast<TermIndex>(t);
    } else {
      next_member[slot.highest] = static_cast<TermIndex>(t);
    }
    slot.highest = static_cast<TermIndex>(t);
  }
  const auto reduced_position = [&](TermIndex g) -> std::uint64_t {
    const std::uint32_t at = groups[g].position;
    if (at == kNoTerm) missing_entry();
    return at;
  };

  FusionResult result;
  std::uint32_t emitted = 0;
  InputList inputs;
  StageDraft stage;
  // Visiting each group at its highest member emits the groups ordered by highest member.
  for (std::size_t t = 0; t < n; ++t) {
    const TermIndex g = group[t];
    GroupSlot& slot = groups[g];
    if (slot.highest != t) continue;
    if (slot.first == kNoTerm) internal_failure("a fusion group has members");
    if (terms.is_boundary(t)) {
      inputs.clear();
      for (TermIndex child : terms.children(t)) inputs.push_back(reduced_position(group[child]));
      const NodeId source = checked_at(templates.node_of_symbol, terms.symbol(t));
      sink.append_boundary(templates.table[source], inputs.span());
      ++result.boundary_nodes;
    } else {
      std::uint32_t count = 0;
      for (TermIndex m = slot.first; m != kNoTerm; m = next_member[m]) member_position[m] = count++;
      stage.clear();
      std::uint32_t input_count = 0;
      for (TermIndex member = slot.first; member != kNoTerm; member = next_member[member]) {
        stage.add_member(terms.symbol(member), terms.symbol_text(member));
        for (TermIndex child : terms.children(member)) {
          const TermIndex child_group = group[child];
          if (child_group == g) {
            stage.add_ref(MemberRef{MemberRefKind::Member, member_position[child]});
            continue;
          }
          GroupSlot& producer = groups[child_group];
          if (producer.stamp != emitted) {
            producer.stamp = emitted;
            producer.input_slot = input_count++;
            stage.add_input(reduced_position(child_group));
          }
          stage.add_ref(MemberRef{MemberRefKind::Input, producer.input_slot});
        }
      }
      sink.append_stage(stage);
      ++result.stages;
    }
    slot.position = emitted++;
  }
  result.outputs.reserve(outputs.size());
  for (TermIndex output : outputs) result.outputs.push_back(reduced_position(checked_at(group, output)));
  return result;
}

}  // namespace veltrix
