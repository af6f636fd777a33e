#include "egraph/signature_index.h"

#include <algorithm>

namespace veltrix::egraph {

std::vector<std::uint32_t> SignatureIndex::track(std::span<const Signature> signatures) {
  std::vector<std::uint32_t> fresh;
  for (const Signature& signature : signatures) {
    const auto [slot, inserted] = slots_.find_or_insert_with(key_of(signature.op, signature.arity), [&] {
      sets_.push_back(Set{signature, {}, {}, 0});
      return static_cast<std::uint32_t>(sets_.size() - 1);
    });
    if (!inserted) continue;
    const unsigned bit = filter_bit(signature.op);
    filter_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    cache_[bit] = CacheEntry();  // it may have cached "not tracked" for this signature
    fresh.push_back(*slot);
  }
  return fresh;
}

void SignatureIndex::finish_indexing(std::uint32_t slot, bool clean) {
  Set& set = sets_[slot];
  std::sort(set.added.begin(), set.added.end());
  set.added.erase(std::unique(set.added.begin(), set.added.end()), set.added.end());
  if (clean) {
    std::swap(set.classes, set.added);  // every id found is a root of a normalised class
  } else if (!set.added.empty()) {
    dirty_.push_back(slot);  // the next rebuild merges them in
  }
}

// Registrations come as ascending runs (new classes as they are added, then the touched classes
// in ascending order); two runs merge in linear time.
void SignatureIndex::sort_registrations(Set& set) {
  const auto split = std::is_sorted_until(set.added.begin(), set.added.end());
  if (split == set.added.end()) return;
  if (std::is_sorted(split, set.added.end())) {
    std::inplace_merge(set.added.begin(), split, set.added.end());
  } else {
    std::sort(set.added.begin(), set.added.end());
  }
}

}  // namespace veltrix::egraph
