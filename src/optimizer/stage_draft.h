// StageDraft: a Stage node being emitted by stage fusion, readable through the NodeLike
// accessors without owning anything.
//
// Fusion writes one stage after another into the same draft, so its member tokens (views of the
// run's symbol texts) and references live in a few reused arrays: emitting a stage allocates
// nothing, and a sink copies the draft into a Node or interns it into a store as it sees fit.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "optimizer/symbol_texts.h"
#include "store/node.h"

namespace veltrix {

class StageDraft {
 public:
  void clear() {
    inputs_.clear();
    symbols_.clear();
    tokens_.clear();
    ref_ends_.clear();
    refs_.clear();
  }
  void add_input(NodeId input) { inputs_.push_back(input); }
  // Starts a member, whose token is the text of `symbol`; its references follow through add_ref.
  void add_member(SymbolId symbol, std::string_view token) {
    symbols_.push_back(symbol);
    tokens_.push_back(token);
    ref_ends_.push_back(refs_.size());
  }
  void add_ref(MemberRef ref) {
    refs_.push_back(ref);
    ref_ends_.back() = refs_.size();
  }

  // NodeLike accessors. A Stage has neither name nor params nor descriptor.
  NodeKind kind() const { return NodeKind::Stage; }
  std::string_view name() const { return {}; }
  std::size_t param_count() const { return 0; }
  std::string_view param_key(std::size_t) const { return {}; }
  ParamValueRef param_value(std::size_t) const { return {}; }
  std::size_t input_count() const { return inputs_.size(); }
  NodeId input(std::size_t i) const { return inputs_[i]; }
  DescriptorRef descriptor_ref() const { return {}; }
  std::size_t member_count() const { return tokens_.size(); }
  std::string_view member_token(std::size_t i) const { return tokens_[i]; }
  SymbolId member_symbol(std::size_t i) const { return symbols_[i]; }
  std::span<const MemberRef> member_refs(std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ref_ends_[i - 1];
    return std::span<const MemberRef>(refs_).subspan(begin, ref_ends_[i] - begin);
  }

 private:
  InputList inputs_;
  std::vector<SymbolId> symbols_;
  std::vector<std::string_view> tokens_;
  std::vector<std::size_t> ref_ends_;
  std::vector<MemberRef> refs_;
};

}  // namespace veltrix
