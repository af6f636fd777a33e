// libFuzzer harness for the IR blob reader.
//
// Any input must end in a store or in a BlobError; nothing may crash, hang or allocate without
// bound (AddressSanitizer and UndefinedBehaviorSanitizer watch the run). When a store comes
// back, the harness also checks the round trip: its blob must read back into a store whose blob
// and DOT text are byte for byte the same, and the first blob must be no longer than the input
// (bytes after the outputs are ignored, merged records and repeated marks only shrink it).
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_checks.h"
#include "store/dot_export.h"
#include "store/ir_reader.h"
#include "store/ir_writer.h"

namespace {

using veltrix::fuzz::broken;

std::string blob_of(const veltrix::GraphStore& store) {
  const veltrix::GraphSnapshot snapshot = store.snapshot();
  veltrix::Result<std::string, veltrix::ValueTooLong> blob = veltrix::serialize_ir(snapshot.nodes, snapshot.outputs);
  if (!blob.ok()) broken("a store read from a blob can be written");
  return std::move(blob).value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  veltrix::Result<veltrix::GraphStore, veltrix::BlobError> first = veltrix::read_ir_blob(input);
  if (!first.ok()) {
    if (first.error().message().empty()) broken("every error has a message");
    return 0;
  }
  const std::string blob = blob_of(first.value());
  if (blob.size() > size) broken("the canonical blob is no longer than its input");

  veltrix::Result<veltrix::GraphStore, veltrix::BlobError> second = veltrix::read_ir_blob(blob);
  if (!second.ok()) broken("a written blob reads back");
  if (second.value().node_count() != first.value().node_count()) broken("the node count survives");
  if (second.value().outputs() != first.value().outputs()) broken("the marks survive");
  if (blob_of(second.value()) != blob) broken("the blob is a fixed point");
  if (veltrix::to_dot(second.value()) != veltrix::to_dot(first.value())) broken("the DOT text survives");
  return 0;
}
