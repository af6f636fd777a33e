#include "store/node_table.h"

namespace veltrix {

DescriptorRef NodeView::descriptor_ref() const {
  const NodeTable::DescriptorRecord& d = table_->descriptors_[entry_[NodeTable::kLabelWord]];
  DescriptorRef ref{text(d.fields[0]), text(d.fields[1]), text(d.fields[2]),
                    text(d.fields[3]), text(d.fields[4]), std::nullopt};
  if (d.preprocessing_ref != kNoString) ref.preprocessing_ref = text(d.preprocessing_ref);
  return ref;
}

std::size_t NodeView::member_count() const {
  return kind() == NodeKind::Stage ? table_->stages_[entry_[NodeTable::kLabelWord]].member_count : 0;
}

std::size_t NodeTable::memory_bytes() const {
  return strings_.memory_bytes() + offsets_.memory_bytes() + words_.memory_bytes() +
         descriptors_.capacity() * sizeof(DescriptorRecord) + stages_.capacity() * sizeof(StageRecord) +
         members_.capacity() * sizeof(MemberRecord) + refs_.capacity() * sizeof(MemberRef);
}

}  // namespace veltrix
