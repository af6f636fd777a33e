// BlobError: why a byte string is not a readable IR blob. Each kind has one fixed message, which
// is what the Python layer raises as ValueError.
//
// NodeTooLarge is the one refusal of a well-formed blob: a record with more parameters or inputs
// than one entry of a node table can hold (16777215 parameters, 2147483647 inputs). The reader
// reports it at the first item beyond the limit, so such a node never reaches the store, where
// it would be an internal failure.
#pragma once

#include <cstdint>
#include <string>

#include "store/node_table.h"

namespace veltrix {

enum class BlobErrorKind : std::uint8_t {
  BadMagic,
  Truncated,
  InvalidTag,
  InvalidUtf8,
  NodeRefOutOfRange,
  NodeTooLarge
};

struct BlobError {
  BlobErrorKind kind = BlobErrorKind::Truncated;
  const char* what = "";    // InvalidTag: "node", "param" or "stage-ref"
  std::uint64_t value = 0;  // InvalidTag: the offending byte; NodeRefOutOfRange: the id or index

  static BlobError bad_magic() { return {BlobErrorKind::BadMagic, "", 0}; }
  static BlobError truncated() { return {BlobErrorKind::Truncated, "", 0}; }
  static BlobError invalid_tag(const char* what, std::uint8_t tag) { return {BlobErrorKind::InvalidTag, what, tag}; }
  static BlobError invalid_utf8() { return {BlobErrorKind::InvalidUtf8, "", 0}; }
  static BlobError node_ref_out_of_range(std::uint64_t id) { return {BlobErrorKind::NodeRefOutOfRange, "", id}; }
  static BlobError node_too_large() { return {BlobErrorKind::NodeTooLarge, "", 0}; }

  std::string message() const {
    switch (kind) {
      case BlobErrorKind::BadMagic: return "not a veltrix IR blob (bad magic/version)";
      case BlobErrorKind::Truncated: return "truncated veltrix IR blob";
      case BlobErrorKind::InvalidTag: return "invalid " + std::string(what) + " tag " + std::to_string(value);
      case BlobErrorKind::InvalidUtf8: return "invalid utf-8 in veltrix IR blob";
      case BlobErrorKind::NodeRefOutOfRange: return "node reference " + std::to_string(value) + " out of range";
      case BlobErrorKind::NodeTooLarge: return NodeTable::kNodeTooLarge;
    }
    return "unknown blob error";
  }
  std::string debug_string() const { return "BlobError(" + message() + ")"; }

  friend bool operator==(const BlobError& a, const BlobError& b) {
    return a.kind == b.kind && std::string(a.what) == b.what && a.value == b.value;
  }
};

}  // namespace veltrix
