// NodeSymbols must give every node the symbol that formatting it and interning the text would,
// in whatever order nodes are asked for: looking shapes up first only saves work.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "node_builders.h"
#include "optimizer/node_symbols.h"
#include "reduction_test_util.h"
#include "store/term_encoding.h"

namespace veltrix {
namespace {

using testing::F;
using testing::I;
using testing::params;
using testing::S;
using testing::table_of;

// Few names and param values, so that shapes repeat; floats include both zeros and a NaN, which
// differ from each other in bits.
std::vector<Node> varied_nodes(std::size_t count) {
  std::mt19937 rng(11);
  const ParamValue values[] = {I(0),   I(1),    I(-7),
                               F(0.0), F(-0.0), F(std::numeric_limits<double>::quiet_NaN()),
                               S("x"), S("y"),  testing::B(true)};
  const auto some_params = [&]() -> ParamMap {
    switch (rng() % 4) {
      case 0: return {};
      case 1: return params({{"k", values[rng() % std::size(values)]}});
      default:
        return params({{"a", values[rng() % std::size(values)]}, {"b" + std::to_string(rng() % 3), I(rng() % 50)}});
    }
  };
  std::vector<Node> nodes;
  for (std::size_t id = 0; nodes.size() < count; ++id) {
    const std::string name = "n" + std::to_string(rng() % 6);
    const NodeId input = static_cast<NodeId>(rng() % std::max<std::size_t>(id, 1));
    if (id < 8 || rng() % 10 == 0) {
      nodes.push_back(testing::src(name + "_" + std::to_string(id), some_params()));
    } else if (rng() % 5 == 0) {
      nodes.push_back(testing::red(name, {static_cast<NodeId>(id - 1)}, some_params()));
    } else {
      nodes.push_back(testing::op(name, {input, static_cast<NodeId>(id - 1)}, some_params()));
    }
  }
  return nodes;
}

enum class Order { Ascending, EveryThird, Descending };

class NodeSymbolsOrder : public ::testing::TestWithParam<Order> {};

TEST_P(NodeSymbolsOrder, SameIdsAsFormattingEveryNode) {
  const NodeTable table = table_of(varied_nodes(20'000));
  std::vector<NodeId> asked;
  for (NodeId id = 0; id < table.size(); ++id) {
    if (GetParam() != Order::EveryThird || id % 3 != 1) asked.push_back(id);
  }
  if (GetParam() == Order::Descending) std::reverse(asked.begin(), asked.end());

  SymbolTexts texts, expected_texts;
  NodeSymbols symbols(table, texts);
  std::string text;
  for (NodeId id : asked) {
    text.clear();
    append_symbol(text, table[id]);
    ASSERT_EQ(symbols.symbol_of(id), expected_texts.intern(text).first) << "node " << id << ": " << text;
  }
  EXPECT_EQ(texts.size(), expected_texts.size());
  EXPECT_GT(texts.size(), 100u) << "the table has many shapes";
}

INSTANTIATE_TEST_SUITE_P(Orders, NodeSymbolsOrder,
                         ::testing::Values(Order::Ascending, Order::EveryThird, Order::Descending));

}  // namespace
}  // namespace veltrix
