// Converters for the two structured arguments of the recording methods: a parameter dict and a
// payload descriptor. Their messages are the module's own and are never wrapped with the
// parameter name.
#pragma once

#include "python/converters.h"
#include "store/borrowed_node.h"

namespace veltrix::python {

// `object` may be null (not given). Fills `out` in key order.
bool convert_params(PyObject* object, SmallVector<BorrowedNode::Param, 8>& out, KeepAlive& keep);

// A PayloadDescriptor object, or a dict with the five required string fields and an optional
// "preprocessing_ref".
bool convert_descriptor(PyObject* object, DescriptorRef& out, KeepAlive& keep);

}  // namespace veltrix::python
