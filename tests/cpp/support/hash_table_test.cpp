#include "support/hash_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace veltrix {
namespace {

TEST(HashMap, InsertFindEraseAgreeWithReferenceMap) {
  HashMap<std::uint64_t, std::uint64_t> table;
  std::map<std::uint64_t, std::uint64_t> reference;
  std::mt19937_64 rng(7);
  for (int i = 0; i < 200000; ++i) {
    const std::uint64_t key = rng() % 5000;
    switch (rng() % 3) {
      case 0:
        EXPECT_EQ(table.insert_or_assign(key, std::uint64_t(i)), reference.count(key) == 0);
        reference[key] = static_cast<std::uint64_t>(i);
        break;
      case 1: EXPECT_EQ(table.erase(key), reference.erase(key) == 1); break;
      default: {
        const std::uint64_t* found = table.find(key);
        auto it = reference.find(key);
        ASSERT_EQ(found != nullptr, it != reference.end());
        if (found) {
          EXPECT_EQ(*found, it->second);
        }
      }
    }
    ASSERT_EQ(table.size(), reference.size());
  }
  std::size_t visited = 0;
  table.for_each([&](std::uint64_t key, std::uint64_t value) {
    EXPECT_EQ(reference.at(key), value);
    ++visited;
  });
  EXPECT_EQ(visited, reference.size());
}

TEST(HashMap, ChurnWithTombstonesKeepsCapacityBounded) {
  HashMap<std::uint64_t, int> table;
  for (std::uint64_t i = 0; i < 100000; ++i) {
    ASSERT_TRUE(table.try_emplace(i, 1).second);
    ASSERT_TRUE(table.erase(i));
  }
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.find(std::uint64_t{5}), nullptr);
}

TEST(HashMap, StringKeysAcceptViewsForLookup) {
  HashMap<std::string, int> table;
  table.try_emplace(std::string("alpha"), 1);
  table.try_emplace(std::string(""), 2);
  EXPECT_EQ(*table.find(std::string_view("alpha")), 1);
  EXPECT_EQ(*table.find(std::string_view("")), 2);
  EXPECT_EQ(table.find(std::string_view("alph")), nullptr);
  auto [value, inserted] = table.try_emplace(std::string_view("alpha"), 9);
  EXPECT_FALSE(inserted);
  EXPECT_EQ(*value, 1);
}

TEST(HashMap, CopiesAreIndependent) {
  HashMap<std::string, std::vector<int>> a;
  a.try_emplace(std::string("x"), std::vector<int>{1, 2});
  HashMap<std::string, std::vector<int>> b = a;
  b.find(std::string("x"))->push_back(3);
  EXPECT_EQ(a.find(std::string("x"))->size(), 2u);
  EXPECT_EQ(b.find(std::string("x"))->size(), 3u);
  HashMap<std::string, std::vector<int>> c = std::move(b);
  EXPECT_EQ(c.size(), 1u);
}

// All hashes equal: every probe must still terminate and find the right slot by comparison.
TEST(RawHashTable, SurvivesFullCollisions) {
  RawHashTable<std::uint32_t> table;
  const auto same = [](std::uint32_t) { return std::uint64_t{42}; };
  for (std::uint32_t i = 0; i < 3000; ++i) table.insert_absent(42, i, same);
  for (std::uint32_t i = 0; i < 3000; ++i) {
    const std::uint32_t* slot = table.find(42, [&](std::uint32_t v) { return v == i; });
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(*slot, i);
  }
  EXPECT_EQ(table.find(42, [](std::uint32_t v) { return v == 99999; }), nullptr);
}

TEST(HashSet, InsertReportsNovelty) {
  HashSet<std::uint32_t> set;
  EXPECT_TRUE(set.insert(3u));
  EXPECT_FALSE(set.insert(3u));
  EXPECT_TRUE(set.contains(3u));
  EXPECT_TRUE(set.erase(3u));
  EXPECT_FALSE(set.contains(3u));
}

}  // namespace
}  // namespace veltrix
