#include "store/node_table.h"

namespace veltrix {

DescriptorRef NodeView::descriptor_ref() const {
  const NodeTable::DescriptorRecord& d = table_->descriptors_[entry::label(entry_)];
  DescriptorRef ref{text(d.fields[0]), text(d.fields[1]), text(d.fields[2]),
                    text(d.fields[3]), text(d.fields[4]), std::nullopt};
  if (d.preprocessing_ref != kNoString) ref.preprocessing_ref = text(d.preprocessing_ref);
  return ref;
}

std::size_t NodeView::member_count() const {
  return kind() == NodeKind::Stage ? table_->stages_[entry::label(entry_)].member_count : 0;
}

TableDelta NodeTable::copy_since(NodeId first, StrId first_text) const {
  TableDelta delta;
  delta.first_text = first_text;
  for (StrId id = first_text; id < strings_.size(); ++id) delta.texts.append(strings_.view(id));
  if (first >= size()) return delta;
  const std::uint32_t base = offsets_[first];
  delta.words.append(std::span<const std::uint32_t>(words_.data() + base, words_.size() - base));
  delta.offsets.reserve(size() - first);
  for (NodeId id = first; id < size(); ++id) {
    const std::uint32_t offset = offsets_[id] - base;
    delta.offsets.push_back(offset);
    std::uint32_t* copied = delta.words.data() + offset;
    const NodeKind kind = entry::kind(copied);
    if (kind == NodeKind::External) {
      delta.descriptors.push_back(descriptors_[entry::label(copied)]);
      copied[entry::kLabelWord] = static_cast<std::uint32_t>(delta.descriptors.size() - 1);
    } else if (kind == NodeKind::Stage) {
      const StageRecord& stage = stages_[entry::label(copied)];
      delta.stages.push_back({delta.members.size(), stage.member_count});
      for (std::uint32_t m = 0; m < stage.member_count; ++m) {
        MemberRecord member = members_[stage.first_member + m];
        const MemberRef* refs = refs_.data() + member.first_ref;
        member.first_ref = delta.refs.size();
        delta.refs.insert(delta.refs.end(), refs, refs + member.ref_count);
        delta.members.push_back(member);
      }
      copied[entry::kLabelWord] = static_cast<std::uint32_t>(delta.stages.size() - 1);
    }
  }
  return delta;
}

std::size_t NodeTable::memory_bytes() const {
  return strings_.memory_bytes() + offsets_.memory_bytes() + words_.memory_bytes() +
         descriptors_.capacity() * sizeof(DescriptorRecord) + stages_.capacity() * sizeof(StageRecord) +
         members_.capacity() * sizeof(MemberRecord) + refs_.capacity() * sizeof(MemberRef) +
         token_shapes_.memory_bytes() + member_shapes_.memory_bytes() + member_param_words_.memory_bytes();
}

}  // namespace veltrix
