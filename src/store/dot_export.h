// DOT rendering of a store for people to look at: one node statement per node in id order, then
// one edge statement per input, grouped by the consuming node.
//
// The text depends only on the nodes and the output marks, so equal stores render to equal
// text. Labels name the kind and its fields; parameter values are shown in a fixed form (floats
// as the shortest decimal that reads back as the same double, in positional notation; strings
// quoted with every unprintable character escaped), and the label is then escaped for a DOT
// quoted string. Nothing reads the text back.
#pragma once

#include <span>
#include <string>

#include "store/graph_store.h"
#include "store/node_table.h"

namespace veltrix {

// The DOT text of `nodes`, with the ids in `marks` drawn as outputs.
std::string render_dot(const NodeTable& nodes, std::span<const NodeId> marks);

// The DOT text of a store and its output marks, rendered under the store's lock.
std::string to_dot(const GraphStore& store);

// Appends a parameter value as labels show it: "-3", "0.1", "1000000000000000000000", "NaN",
// "-inf", "true", or the quoted and escaped string.
void append_label_value(std::string& out, const ParamValueRef& value);

}  // namespace veltrix
