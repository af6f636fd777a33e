// A node table read as columns: the rows (every node, or those reachable from some outputs, in id
// order), each row's kind code, its inputs in compressed form (offsets into one flat array), and a
// shape id that indexes the distinct shapes the rows hold. A node's shape is everything about it
// but its inputs: kind, name, params, descriptor, stage members. Rows of one shape differ only in
// their inputs, so a reader that builds something per node (a view, an implementation, a task)
// builds it once per shape.
//
// Shape ids follow the first row that shows each shape, so the columns of a table never depend
// on hash values. Reading is two steps: plan_columns finds the rows and counts what they hold,
// so that the caller can allocate the columns at their final size (Python buffers, say), and
// fill_columns writes them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "store/node_table.h"

namespace veltrix {

struct ColumnPlan {
  std::vector<std::uint8_t> reached;  // per node of the table; empty when every node is a row
  std::uint64_t rows = 0;
  std::uint64_t input_count = 0;  // the length of the flat input column
};

// The rows of `table` for `outputs` (every id below table.size()), or every node without them.
ColumnPlan plan_columns(const NodeTable& table, const std::optional<std::span<const NodeId>>& outputs);

// The columns' storage, sized by the plan: ids, kinds, shapes and the input count of each row
// (offsets holds rows + 1 entries: the inputs of row k are inputs[offsets[k]:offsets[k + 1]]).
struct ColumnBuffers {
  std::int64_t* ids;
  std::uint8_t* kinds;
  std::uint32_t* shapes;
  std::int64_t* offsets;
  std::int64_t* inputs;
};

// Writes the columns and returns, for each shape id, the first row's node id (its representative).
std::vector<NodeId> fill_columns(const NodeTable& table, const ColumnPlan& plan, const ColumnBuffers& out);

}  // namespace veltrix
