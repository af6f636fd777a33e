// The node that a recording call describes: borrowed views of its converted arguments, held
// alive by the call's KeepAlive (store/borrowed_node.h).
#pragma once

#include "store/borrowed_node.h"

namespace veltrix::python {

using NodeDraft = BorrowedNode;
using ParamDraft = BorrowedNode::Param;

}  // namespace veltrix::python
