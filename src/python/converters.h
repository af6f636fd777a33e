// Converters from Python values to native values.
//
// Each converter returns false with a Python exception set when it refuses a value; the messages
// are the module's documented ones. Text comes back as a BORROWED view of the object's cached
// UTF-8 buffer, valid while the object lives: callers that let user code run afterwards (which
// could drop the object) keep a strong reference in a KeepAlive.
#pragma once

#include <cstdint>
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

// After a converter of parameter `name` failed: an exception of exactly TypeError is replaced by
// TypeError("argument '<name>': <message>") whose __cause__ is the original's __cause__; any
// other exception is left as it is. Always returns false.
bool wrap_argument_error(const char* name);

}  // namespace veltrix::python
