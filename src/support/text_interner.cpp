#include "support/text_interner.h"

#include "support/internal_failure.h"

namespace veltrix {

std::uint64_t TextIndex::hash_of(std::string_view text) const {
  SipHasher13 hasher(key_);
  hasher.write_bytes(text.data(), text.size());
  return hasher.finish();
}

std::optional<StrId> TextIndex::find(const StringArena& texts, std::string_view text) const {
  return index_.find(hash_of(text), [&](StrId id) { return texts.view(id) == text; });
}

std::pair<StrId, bool> TextIndex::intern(StringArena& texts, std::string_view text) {
  const std::uint64_t hash = hash_of(text);
  if (auto found = index_.find(hash, [&](StrId id) { return texts.view(id) == text; })) return {*found, false};
  if (texts.size() >= kNoString - 1) internal_failure("too many distinct texts in one table");
  const StrId id = texts.append(text);
  index_.insert(hash, id);
  return {id, true};
}

void TextIndex::truncate(StringArena& texts, std::size_t count) {
  for (std::size_t id = texts.size(); id-- > count;) {
    if (!index_.erase(hash_of(texts.view(static_cast<StrId>(id))), static_cast<StrId>(id))) {
      internal_failure("a stored text is in the text index");
    }
  }
  texts.truncate(count);
}

}  // namespace veltrix
