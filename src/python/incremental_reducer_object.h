// The IncrementalReducer class.
#pragma once

#include "python/py_ref.h"

namespace veltrix::python {

PyTypeObject* incremental_reducer_type();

}  // namespace veltrix::python
