// The IR blob writer: a store's nodes and an output list as canonical bytes.
//
// The bytes are fully determined by the node table and the output list: magic "VIR1", the node
// count, one record per node in id order with every field as stored (parameters in their stored
// key order, float bit patterns unchanged), then the output ids exactly as given, repetitions
// included. All numbers are fixed-width little-endian; lengths and counts are 32-bit.
//
// Writing is two passes over the table: the first computes the exact size and checks that every
// length, count and stage reference index fits in 32 bits; the second fills a buffer of exactly
// that size. So a caller can allocate the final object (a Python bytes) once and have it filled
// in place, and a value that does not fit is refused before a single byte is written: a blob is
// never produced with a truncated length.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "store/node_table.h"
#include "support/result.h"

namespace veltrix {

// A string, list or map longer than 4294967295, or a stage reference index above that: the blob
// has no encoding for it.
struct ValueTooLong {
  std::string message() const { return "value too long for a veltrix IR blob"; }
  std::string debug_string() const { return "ValueTooLong"; }
};

// The exact size of the blob of `nodes` with `outputs`, or ValueTooLong.
Result<std::size_t, ValueTooLong> ir_blob_size(const NodeTable& nodes, std::span<const NodeId> outputs);

// Fills `out`, whose size must be what ir_blob_size returned for the same arguments.
void write_ir_blob(const NodeTable& nodes, std::span<const NodeId> outputs, std::span<char> out);

// Both steps into a new string.
Result<std::string, ValueTooLong> serialize_ir(const NodeTable& nodes, std::span<const NodeId> outputs);

}  // namespace veltrix
