#include "python/binder.h"

#include <string>
#include <vector>

namespace veltrix::python {
namespace {

bool too_many_positional(const ParamTable& table, Py_ssize_t given) {
  const std::size_t n = table.positional;
  const std::size_t required = table.required_positional;
  const char* verb = given == 1 ? "was" : "were";
  if (required == n) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", table.display, n, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given", table.display,
                 required, n, given, verb);
  }
  return false;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_name_list(const ParamTable& table, PyObject* const* slots, bool keyword_only) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < table.parameters.size(); ++i) {
    const Parameter& p = table.parameters[i];
    if (p.keyword_only == keyword_only && p.required && !slots[i]) missing.push_back(p.name);
  }
  std::string out;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) out += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    out += '\'';
    out += missing[i];
    out += '\'';
  }
  return out;
}

bool report_missing(const ParamTable& table, PyObject* const* slots, bool keyword_only) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < table.parameters.size(); ++i) {
    const Parameter& p = table.parameters[i];
    count += p.keyword_only == keyword_only && p.required && !slots[i];
  }
  if (count == 0) return true;
  const std::string names = quoted_name_list(table, slots, keyword_only);
  PyErr_Format(PyExc_TypeError, "%s missing %zu required %s %s: %s", table.display, count,
               keyword_only ? "keyword" : "positional", count == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

// Keyword-only parameters are searched first, then positional ones.
Py_ssize_t find_parameter(const ParamTable& table, PyObject* name) {
  for (int pass = 0; pass < 2; ++pass) {
    const bool keyword_only = pass == 0;
    for (std::size_t i = 0; i < table.parameters.size(); ++i) {
      const Parameter& p = table.parameters[i];
      if (p.keyword_only == keyword_only && PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, p.name)) {
        return static_cast<Py_ssize_t>(i);
      }
    }
  }
  return -1;
}

bool place_keyword(const ParamTable& table, PyObject* name, PyObject* value, PyObject** slots) {
  const Py_ssize_t index = find_parameter(table, name);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", table.display, name);
    return false;
  }
  if (slots[index]) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'", table.display, name);
    return false;
  }
  slots[index] = value;
  return true;
}

bool place_positional(const ParamTable& table, PyObject* const* args, Py_ssize_t nargs, PyObject** slots) {
  for (std::size_t i = 0; i < table.parameters.size(); ++i) slots[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > table.positional) return too_many_positional(table, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];  // positional parameters come first
  return true;
}

bool check_complete(const ParamTable& table, PyObject* const* slots) {
  for (std::size_t i = 0; i < table.parameters.size(); ++i) {
    if (table.parameters[i].required && !slots[i]) {
      return report_missing(table, slots, /*keyword_only=*/false) &&
             report_missing(table, slots, /*keyword_only=*/true);
    }
  }
  return true;
}

}  // namespace

bool bind(const ParamTable& table, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  nargs = PyVectorcall_NARGS(nargs);
  const auto given = static_cast<std::size_t>(nargs);
  if (!kwnames && given >= table.required_positional && given <= table.positional && table.required_keyword_only == 0) {
    // Positional arguments only, all required ones present: nothing can fail.
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
    for (std::size_t i = given; i < table.parameters.size(); ++i) slots[i] = nullptr;
    return true;
  }
  if (!place_positional(table, args, nargs, slots)) return false;
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(table, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
    }
  }
  return check_complete(table, slots);
}

bool bind(const ParamTable& table, PyObject* args, PyObject* kwargs, PyObject** slots) {
  PyObject* const* items = args ? &PyTuple_GET_ITEM(args, 0) : nullptr;
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  if (!place_positional(table, items, nargs, slots)) return false;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!place_keyword(table, name, value, slots)) return false;
    }
  }
  return check_complete(table, slots);
}

}  // namespace veltrix::python
