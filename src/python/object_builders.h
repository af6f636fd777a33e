// Python objects made from native values: a str from text, a list from a maker of its items.
// Both return a new reference, or null with an exception set.
#pragma once

#include <cstddef>
#include <string_view>

#include "python/py_ref.h"

namespace veltrix::python {

// `text` must be UTF-8, as every text the store keeps is.
inline OwnedRef new_str(std::string_view text) {
  return OwnedRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// A list of `size` items, item i made by `make_item(i)` (an OwnedRef, null on failure).
template <class MakeItem>
OwnedRef new_list(std::size_t size, MakeItem&& make_item) {
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!list) return {};
  for (std::size_t i = 0; i < size; ++i) {
    OwnedRef item = make_item(i);
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

}  // namespace veltrix::python
