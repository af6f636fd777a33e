// Implementation of stable_sort_by_key (included from param_map.h).
#pragma once

#include <algorithm>
#include <iterator>

namespace veltrix {

template <class It, class KeyOf>
void stable_sort_by_key(It first, It last, KeyOf key_of) {
  const auto n = std::distance(first, last);
  if (n < 2) return;
  if (n <= 16) {
    for (It i = std::next(first); i != last; ++i) {
      if (!key_less(key_of(*i), key_of(*std::prev(i)))) continue;  // common case: already sorted
      auto value = std::move(*i);
      It j = i;
      do {
        *j = std::move(*std::prev(j));
        --j;
      } while (j != first && key_less(key_of(value), key_of(*std::prev(j))));
      *j = std::move(value);
    }
    return;
  }
  std::stable_sort(first, last, [&](const auto& a, const auto& b) { return key_less(key_of(a), key_of(b)); });
}

}  // namespace veltrix
