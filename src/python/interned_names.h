// The str objects the module uses as dict keys and fixed values: interned once per process, while
// the module is executed, and kept until it ends, so building or reading a dict never creates or
// interns them again (interning a new string from two threads at once is not safe on every
// free-threaded interpreter).
#pragma once

#include "python/py_ref.h"
#include "store/node.h"

namespace veltrix::python {

struct InternedNames {
  // Node view keys.
  OwnedRef id;
  OwnedRef output;
  OwnedRef inputs;
  OwnedRef kind;
  OwnedRef name;
  OwnedRef params;
  OwnedRef descriptor;
  OwnedRef n_members;
  OwnedRef members;
  // A descriptor dict's keys, in field order; the last is the optional preprocessing_ref.
  OwnedRef descriptor_fields[6];
  // Values: the kind names, a reduction member's kind, the two member reference kinds, the empty
  // name.
  OwnedRef kinds[kNodeKindCount];
  OwnedRef member_red;
  OwnedRef ref_input;
  OwnedRef ref_member;
  OwnedRef empty;
  // The report dict's keys, in its key order.
  OwnedRef report_keys[6];
};

// BORROWED, never changes once returned (the process keeps the one set, and with it the
// references its members own); null with an exception set on failure.
const InternedNames* interned_names();

}  // namespace veltrix::python
