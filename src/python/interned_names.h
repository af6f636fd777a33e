// The str objects the module uses as dict keys and fixed values: interned once per process and
// kept until it ends, so building or reading a dict never creates them again.
#pragma once

#include "python/py_ref.h"
#include "store/node.h"

namespace veltrix::python {

struct InternedNames {
  // Node view keys.
  PyObject* id;
  PyObject* output;
  PyObject* inputs;
  PyObject* kind;
  PyObject* name;
  PyObject* params;
  PyObject* descriptor;
  PyObject* n_members;
  PyObject* members;
  // A descriptor dict's keys, in field order; the last is the optional preprocessing_ref.
  PyObject* descriptor_fields[6];
  // Values: the kind names, the two member reference kinds, the empty name.
  PyObject* kinds[kNodeKindCount];
  PyObject* ref_input;
  PyObject* ref_member;
  PyObject* empty;
};

// BORROWED, never changes once returned; null with an exception set on failure.
const InternedNames* interned_names();

}  // namespace veltrix::python
