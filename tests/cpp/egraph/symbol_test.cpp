#include "egraph/symbol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "egraph/symbol_lang.h"
#include "egraph_test_util.h"

namespace veltrix::egraph {
namespace {

using testing::failure_message;

// Texts "t0", "t1", ... grouped by the shard they hash to, `per_shard` texts per shard.
std::map<unsigned, std::vector<std::string>> texts_by_shard(std::size_t per_shard) {
  std::map<unsigned, std::vector<std::string>> by_shard;
  for (int i = 0;
       by_shard.size() < SymbolTable::kShardCount ||
       std::any_of(by_shard.begin(), by_shard.end(), [&](const auto& e) { return e.second.size() < per_shard; });
       ++i) {
    std::string text = "t" + std::to_string(i);
    auto& bucket = by_shard[SymbolTable::shard_of(text)];
    if (bucket.size() < per_shard) bucket.push_back(text);
  }
  return by_shard;
}

TEST(SymbolTable, SymbolsCarryTheShardAndThePositionPlusOne) {
  SymbolTable table;
  for (const auto& [shard, texts] : texts_by_shard(3)) {
    for (std::size_t k = 0; k < texts.size(); ++k) {
      const Symbol symbol = table.intern(texts[k]);
      EXPECT_EQ(symbol.value, (shard << 28) + static_cast<std::uint32_t>(k) + 1) << texts[k];
      EXPECT_EQ(table.intern(texts[k]), symbol) << "interning twice gives the same symbol";
      EXPECT_EQ(table.resolve(symbol), texts[k]);
    }
  }
}

TEST(SymbolTable, ResolvedTextsSurviveLaterInterning) {
  SymbolTable table;
  const std::string long_text(100000, 'x');
  std::vector<std::pair<Symbol, std::string>> interned;
  for (int i = 0; i < 5000; ++i) {
    std::string text = (i % 97 == 0 ? long_text : "") + "name-" + std::to_string(i);
    interned.emplace_back(table.intern(text), text);
  }
  interned.emplace_back(table.intern(""), "");
  for (const auto& [symbol, text] : interned) {
    EXPECT_NE(symbol.value, 0u);
    EXPECT_EQ(table.resolve(symbol), text);
  }
}

// The empty text is stored without any bytes; looking it up again, from a text with or without
// a pointer, must find it without handing a null pointer to memcmp (UndefinedBehaviorSanitizer
// reports that in the sanitized build).
TEST(SymbolTable, TheEmptyTextInternsOnce) {
  SymbolTable table;
  const Symbol empty = table.intern(std::string_view());
  EXPECT_EQ(table.intern(""), empty);
  EXPECT_EQ(table.intern(std::string_view()), empty);
  EXPECT_EQ(table.intern(std::string_view("x", 0)), empty);
  EXPECT_EQ(table.resolve(empty), "");
  EXPECT_NE(table.intern("x"), empty);
}

TEST(SymbolTable, PositionsBeyondTheSymbolRangeFailButStayInterned) {
  SymbolTable table(/*index_limit=*/3);
  const auto by_shard = texts_by_shard(4);
  const auto& full = by_shard.begin()->second;
  table.intern(full[0]);
  table.intern(full[1]);
  EXPECT_EQ(failure_message([&] { table.intern(full[2]); }), "Can't represent index 3 in a Symbol");
  EXPECT_EQ(failure_message([&] { table.intern(full[2]); }), "Can't represent index 3 in a Symbol");
  EXPECT_EQ(failure_message([&] { table.intern(full[3]); }), "Can't represent index 4 in a Symbol");
  // Other shards are unaffected, and the full shard still serves its valid symbols.
  EXPECT_EQ(failure_message([&] { table.intern(std::next(by_shard.begin())->second[0]); }), "<no failure>");
  EXPECT_EQ(table.resolve(table.intern(full[1])), full[1]);
}

TEST(SymbolTable, AFailureUnderAShardLockPoisonsThatShardOnly) {
  SymbolTable table;
  const auto by_shard = texts_by_shard(1);
  const unsigned shard = 5;
  EXPECT_EQ(failure_message([&] { table.resolve(Symbol{shard << 28}); }),
            "index out of bounds: the len is 0 but the index is 18446744073709551615");
  const std::string poisoned = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";
  EXPECT_EQ(failure_message([&] { table.intern(by_shard.at(shard)[0]); }), poisoned);
  EXPECT_EQ(failure_message([&] { table.resolve(Symbol{(shard << 28) + 1}); }), poisoned);
  const Symbol elsewhere = table.intern(by_shard.at(shard + 1)[0]);
  EXPECT_EQ(table.resolve(elsewhere), by_shard.at(shard + 1)[0]);
}

TEST(SymbolTable, ConcurrentInterningAgreesOnEverySymbol) {
  SymbolTable table;
  std::vector<std::string> texts;
  for (int i = 0; i < 4000; ++i) texts.push_back("op|" + std::to_string(i * 7919));
  constexpr int kThreads = 4;
  std::vector<std::vector<Symbol>> results(kThreads, std::vector<Symbol>(texts.size()));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::size_t> order(texts.size());
      for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(t)));
      for (std::size_t i : order) results[t][i] = table.intern(texts[i]);
    });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t i = 0; i < texts.size(); ++i) {
    for (int t = 1; t < kThreads; ++t) ASSERT_EQ(results[t][i], results[0][i]);
    ASSERT_EQ(table.resolve(results[0][i]), texts[i]);
  }
}

TEST(SymbolTable, TheProcessWideTableInternsOnce) {
  const Symbol a = intern_symbol("op|add");
  EXPECT_EQ(intern_symbol("op|add"), a);
  EXPECT_EQ(resolve_symbol(a), "op|add");
  EXPECT_EQ(a.value >> 28, SymbolTable::shard_of("op|add"));
  EXPECT_NE(intern_symbol("?a"), intern_symbol("?b"));
}

// SymbolLang ordering: operator value first, then children lexicographically, prefix first.
struct OrderCase {
  std::uint32_t op_a;
  std::vector<ClassId> children_a;
  std::uint32_t op_b;
  std::vector<ClassId> children_b;
  std::strong_ordering expected;
};

class SymbolLangOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(SymbolLangOrder, ComparesByOperatorThenChildren) {
  const OrderCase& c = GetParam();
  const SymbolLang a(Symbol{c.op_a}, c.children_a);
  const SymbolLang b(Symbol{c.op_b}, c.children_b);
  EXPECT_EQ(a <=> b, c.expected);
  EXPECT_EQ(b <=> a, 0 <=> (a <=> b));
  EXPECT_EQ(a == b, c.expected == 0);
  EXPECT_EQ(a.matches(b), c.op_a == c.op_b && c.children_a.size() == c.children_b.size());
  if (a == b) {
    EXPECT_EQ(a.hash(), b.hash());
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SymbolLangOrder,
                         ::testing::Values(OrderCase{1, {9, 9}, 2, {0}, std::strong_ordering::less},
                                           OrderCase{2, {}, 2, {0}, std::strong_ordering::less},
                                           OrderCase{2, {1, 2}, 2, {1, 2, 0}, std::strong_ordering::less},
                                           OrderCase{2, {1, 3}, 2, {1, 2, 7}, std::strong_ordering::greater},
                                           OrderCase{2, {4, 5, 6, 7}, 2, {4, 5, 6, 7}, std::strong_ordering::equal},
                                           OrderCase{2, {4, 5, 6, 7}, 2, {4, 5, 6, 8}, std::strong_ordering::less},
                                           OrderCase{3, {}, 3, {}, std::strong_ordering::equal}));

TEST(SymbolLang, WideNodesCopyAndMoveTheirChildren) {
  const std::vector<ClassId> wide{1, 2, 3, 4, 5};
  SymbolLang a(Symbol{7}, wide);
  SymbolLang copy = a;
  copy.children()[0] = 99;
  EXPECT_EQ(a.children()[0], 1u) << "a copy owns its children";
  SymbolLang moved = std::move(copy);
  EXPECT_EQ(moved.children()[0], 99u);
  moved = a;
  EXPECT_EQ(moved, a);
  SymbolLang narrow(Symbol{7}, {1, 2});
  narrow = std::move(moved);
  EXPECT_EQ(narrow, a);
  moved = SymbolLang(Symbol{8});
  EXPECT_TRUE(moved.is_leaf());
  EXPECT_EQ(hash_node(a.op(), wide), a.hash());
  EXPECT_NE(SymbolLang(Symbol{7}, {1, 2}).hash(), SymbolLang(Symbol{7}, {2, 1}).hash());
}

}  // namespace
}  // namespace veltrix::egraph
