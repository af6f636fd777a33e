// Converters from Python values to native values.
//
// Each converter returns false with a Python exception set when it refuses a value; the messages
// are the module's documented ones. Text comes back as a BORROWED view of the object's cached
// UTF-8 buffer, valid while the object lives: callers that let user code run afterwards (which
// could drop the object) keep a strong reference in a KeepAlive.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "python/py_ref.h"
#include "store/graph_store.h"
#include "store/node.h"

namespace veltrix::python {

// "'<T>' object is not an instance of '<target>'", or "'None' is not an instance of '<target>'".
void set_not_an_instance_error(PyObject* object, const char* target);

bool convert_string(PyObject* object, std::string_view& out);
bool convert_flag(PyObject* object, bool& out);
bool convert_node_id(PyObject* object, NodeId& out);
bool convert_bytes(PyObject* object, std::string_view& out);

// A GraphStore instance; `out` points into the object, valid while it lives.
bool convert_store(PyObject* object, GraphStore*& out);

// Sequences only (never str): exact lists and tuples read in place, anything else registered as a
// collections.abc.Sequence through iteration.
bool convert_id_list(PyObject* object, InputList& out);
bool convert_id_list(PyObject* object, std::vector<NodeId>& out);

// The refusal half of convert_argument, which is the one to call. Always returns false.
bool wrap_argument_error(const char* name);

// Converts the argument of parameter `name` with `convert`. When the converter refuses it with
// an exception of exactly TypeError, that is replaced by TypeError("argument '<name>':
// <message>") whose __cause__ is the original's __cause__; any other exception is left as it is.
template <class Native>
bool convert_argument(bool (*convert)(PyObject*, Native&), PyObject* object, const char* name, Native& out) {
  return convert(object, out) || wrap_argument_error(name);
}

// The `outputs` argument: nothing when it is missing (null) or None, otherwise an id list whose
// every id names a node of `store`. The ids are checked against the count at this moment: a
// store only grows, so they stay valid in any later snapshot or copy of it.
bool convert_outputs(PyObject* object, const GraphStore& store, std::optional<std::vector<NodeId>>& out);

}  // namespace veltrix::python
