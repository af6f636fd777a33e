// The PayloadDescriptor class: an immutable record of the six descriptor fields.
#pragma once

#include "python/py_ref.h"
#include "store/node.h"

namespace veltrix::python {

PyTypeObject* payload_descriptor_type();

// The native record of a PayloadDescriptor instance, or null for any other object.
const PayloadDescriptor* payload_descriptor_of(PyObject* object);

}  // namespace veltrix::python
