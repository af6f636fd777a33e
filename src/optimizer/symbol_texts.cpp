#include "optimizer/symbol_texts.h"

#include "support/hashing.h"
#include "support/internal_failure.h"

namespace veltrix {

std::uint32_t SymbolTexts::hash_of(std::string_view text) const {
  SipHasher13 hasher(key_);
  hasher.write_bytes(text.data(), text.size());
  return static_cast<std::uint32_t>(hasher.finish() >> 32);
}

std::pair<SymbolId, bool> SymbolTexts::intern(std::string_view text) {
  const std::uint32_t hash = hash_of(text);
  // The table position comes from a mix of the stored half, so growing never rehashes texts.
  const std::uint64_t position = mix64(hash);
  const Slot* found =
      index_.find(position, [&](const Slot& slot) { return slot.hash == hash && texts_.view(slot.id) == text; });
  if (found) return {found->id, false};
  if (texts_.size() >= UINT32_MAX) internal_failure("a reduction has fewer than 2^32 distinct symbols");
  const auto id = static_cast<SymbolId>(texts_.size());
  texts_.append(text);
  index_.insert_absent(position, Slot{id, hash}, [](const Slot& slot) { return mix64(slot.hash); });
  return {id, true};
}

}  // namespace veltrix
