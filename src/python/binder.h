// Argument binding from a parameter table.
//
// Every callable with parameters declares one ParamTable (its display name and its parameters,
// positional ones first, then keyword-only ones) and binds through `bind`, which produces the
// interpreter-style TypeError messages. Binding only places arguments into slots; conversion
// happens afterwards, in parameter order, through the converters.
#pragma once

#include <span>

#include "python/py_ref.h"

namespace veltrix::python {

struct Parameter {
  const char* name;
  bool required;
  bool keyword_only;
};

struct ParamTable {
  constexpr ParamTable(const char* display_name, std::span<const Parameter> params)
      : display(display_name), parameters(params) {
    for (const Parameter& p : params) {
      positional += !p.keyword_only;
      required_positional += !p.keyword_only && p.required;
      required_keyword_only += p.keyword_only && p.required;
    }
  }

  const char* display;  // "GraphStore.add_op()"
  std::span<const Parameter> parameters;
  // Derived once, so that binding the common call (positional arguments only) is a copy.
  std::size_t positional = 0;
  std::size_t required_positional = 0;
  std::size_t required_keyword_only = 0;
};

// Fast-call form. On success every slot holds the BORROWED argument for its parameter, or null
// when it was not given. On failure a TypeError is set and false is returned.
bool bind(const ParamTable& table, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Constructor form (args tuple, kwargs dict or null); the same rules and messages.
bool bind(const ParamTable& table, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace veltrix::python
