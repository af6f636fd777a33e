// The IR blob reader: canonical bytes back into a new store.
//
// Any byte string ends in a store or in one BlobError, the first fault in byte order: every read
// checks that its bytes are present, a count from the blob never reserves more items than the
// remaining bytes could hold (so a forged count costs no memory and ends in Truncated), and the
// partly built store is dropped on failure. Records are interned as they are read, so a blob
// from the writer rebuilds every node under its own id, while two equal records in a crafted
// blob become one node; references are then ids of the rebuilt store. Parameters written out of
// key order are put in order (stable, so a repeated key is kept twice in blob order). Bytes after
// the output list are ignored.
#pragma once

#include <string_view>

#include "store/blob_error.h"
#include "store/graph_store.h"
#include "support/result.h"

namespace veltrix {

Result<GraphStore, BlobError> read_ir_blob(std::string_view bytes);

}  // namespace veltrix
