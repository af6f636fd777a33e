#include "support/small_vector.h"

#include <gtest/gtest.h>

#include <vector>

namespace veltrix {
namespace {

TEST(SmallVector, SpillsToHeapAndBackThroughMoves) {
  SmallVector<std::uint32_t, 2> v;
  std::vector<std::uint32_t> reference;
  for (std::uint32_t i = 0; i < 100; ++i) {
    v.push_back(i);
    reference.push_back(i);
    ASSERT_TRUE(std::equal(v.begin(), v.end(), reference.begin(), reference.end()));
  }
  SmallVector<std::uint32_t, 2> copy = v;
  SmallVector<std::uint32_t, 2> moved = std::move(v);
  EXPECT_EQ(copy, moved);
  EXPECT_TRUE(v.empty());
  SmallVector<std::uint32_t, 2> small{4, 5};
  SmallVector<std::uint32_t, 2> small_moved = std::move(small);
  EXPECT_EQ(small_moved, (SmallVector<std::uint32_t, 2>{4, 5}));
  moved = small_moved;
  EXPECT_EQ(moved.size(), 2u);
}

TEST(SmallVector, OrderingIsLexicographicWithPrefixFirst) {
  using V = SmallVector<std::uint32_t, 3>;
  EXPECT_LT((V{1, 2}), (V{1, 2, 0}));
  EXPECT_LT((V{1, 2, 9}), (V{1, 3}));
  EXPECT_FALSE((V{1}) < (V{1}));
}

}  // namespace
}  // namespace veltrix
