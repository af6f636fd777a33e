// Append-only storage of texts addressed by dense 32-bit ids. One contiguous byte buffer plus an
// offset per text: no allocation per string, and a copy is two array copies.
#pragma once

#include <cstdint>
#include <string_view>

#include "support/pod_array.h"

namespace veltrix {

using StrId = std::uint32_t;
inline constexpr StrId kNoString = UINT32_MAX;  // an absent optional string

class StringArena {
 public:
  StringArena() { offsets_.push_back(0); }

  StrId append(std::string_view text) {
    const auto id = static_cast<StrId>(offsets_.size() - 1);
    bytes_.append(std::span<const char>(text.data(), text.size()));
    offsets_.push_back(bytes_.size());
    return id;
  }
  std::string_view view(StrId id) const {
    const std::uint64_t begin = offsets_[id];
    return {bytes_.data() + begin, static_cast<std::size_t>(offsets_[id + 1] - begin)};
  }
  std::size_t size() const { return offsets_.size() - 1; }
  // Drops the texts from `count` on.
  void truncate(std::size_t count) {
    if (count >= size()) return;
    bytes_.truncate(offsets_[count]);
    offsets_.truncate(count + 1);
  }
  std::size_t memory_bytes() const { return bytes_.memory_bytes() + offsets_.memory_bytes(); }

 private:
  PodArray<char> bytes_;
  PodArray<std::uint64_t> offsets_;
};

}  // namespace veltrix
