// Reading a graph written by `store.serialize(...)` from a file, for the native benchmarks.
#pragma once

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "store/graph_store.h"
#include "store/ir_reader.h"

namespace veltrix::bench {

// The store the file holds, or nothing after printing why it could not be read.
inline std::optional<GraphStore> read_store_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  Result<GraphStore, BlobError> store = read_ir_blob(bytes);
  if (!store.ok()) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), store.error().message().c_str());
    return std::nullopt;
  }
  return std::move(store.value());
}

}  // namespace veltrix::bench
