#include "optimizer/stage_fusion.h"

#include <limits>
#include <string>
#include <utility>

#include "support/internal_failure.h"
#include "support/small_vector.h"

namespace veltrix {
namespace {

constexpr std::uint64_t kNoPosition = std::numeric_limits<std::uint64_t>::max();

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
                           std::span<const TermIndex> outputs, const SymbolTemplates& templates, bool maximal_fusion) {
  const std::size_t n = terms.size();
  const std::vector<TermIndex> group = group_terms(terms, consumers, is_output, maximal_fusion);

  // Member lists per group, ascending, in one shared array; and each group's highest member.
  std::vector<std::uint64_t> member_ends(n + 1, 0);
  std::vector<TermIndex> highest(n, 0);
  for (std::size_t t = 0; t < n; ++t) {
    ++member_ends[group[t] + 1];
    highest[group[t]] = static_cast<TermIndex>(t);
  }
  for (std::size_t g = 0; g < n; ++g) member_ends[g + 1] += member_ends[g];
  std::vector<TermIndex> members(n);
  {
    std::vector<std::uint64_t> fill(member_ends.begin(), member_ends.end() - 1);
    for (std::size_t t = 0; t < n; ++t) members[fill[group[t]]++] = static_cast<TermIndex>(t);
  }

  FusionResult result;
  std::size_t group_count = 0;
  for (std::size_t t = 0; t < n; ++t) group_count += highest[group[t]] == t;
  result.nodes.reserve(group_count);
  std::vector<std::uint64_t> position(n, kNoPosition);  // group id -> reduced position
  const auto reduced_position = [&](TermIndex g) {
    const std::uint64_t at = position[g];
    if (at == kNoPosition) missing_entry();
    return at;
  };
  std::vector<std::uint64_t> member_position(n, 0);  // term -> position within its stage
  // Group id -> position in the current stage's input list, valid while its stamp is current.
  std::vector<std::uint64_t> input_slot(n, 0);
  std::vector<std::uint64_t> input_stamp(n, kNoPosition);
  SmallVector<TermIndex, 8> stage_inputs;
  InputList inputs;

  // Visiting each group at its highest member emits the groups ordered by highest member.
  for (std::size_t t = 0; t < n; ++t) {
    const TermIndex g = group[t];
    if (highest[g] != t) continue;
    const std::span<const TermIndex> group_members =
        std::span<const TermIndex>(members).subspan(member_ends[g], member_ends[g + 1] - member_ends[g]);
    if (group_members.empty()) internal_failure("a fusion group has members");
    inputs.clear();
    if (terms.is_boundary(t)) {
      for (TermIndex child : terms.children(t)) inputs.push_back(reduced_position(group[child]));
      const NodeId source = checked_at(templates.node_of_symbol, terms.symbol(t));
      const NodeView node = templates.table[source];
      result.nodes.push_back(Node::copy_of(WithInputs<NodeView>(node, inputs.span())));
      ++result.boundary_nodes;
    } else {
      for (std::size_t k = 0; k < group_members.size(); ++k) member_position[group_members[k]] = k;
      const std::uint64_t stamp = result.nodes.size();
      stage_inputs.clear();
      std::vector<StageMember> stage_members;
      stage_members.reserve(group_members.size());
      for (TermIndex member : group_members) {
        StageMember fused{std::string(terms.symbol_text(member)), {}};
        fused.refs.reserve(terms.children(member).size());
        for (TermIndex child : terms.children(member)) {
          const TermIndex child_group = group[child];
          if (child_group == g) {
            fused.refs.push_back(MemberRef{MemberRefKind::Member, member_position[child]});
            continue;
          }
          if (input_stamp[child_group] != stamp) {
            input_stamp[child_group] = stamp;
            input_slot[child_group] = stage_inputs.size();
            stage_inputs.push_back(child_group);
          }
          fused.refs.push_back(MemberRef{MemberRefKind::Input, input_slot[child_group]});
        }
        stage_members.push_back(std::move(fused));
      }
      for (TermIndex producer : stage_inputs) inputs.push_back(reduced_position(producer));
      result.nodes.push_back(Node::stage(inputs, std::move(stage_members)));
      ++result.stages;
    }
    position[g] = result.nodes.size() - 1;
  }

  result.outputs.reserve(outputs.size());
  for (TermIndex output : outputs) result.outputs.push_back(reduced_position(checked_at(group, output)));
  return result;
}

}  // namespace veltrix
