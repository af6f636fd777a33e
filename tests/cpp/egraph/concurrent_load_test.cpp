// Loading terms while another thread is still writing them gives exactly what loading the
// finished arrays gives, and stops cleanly when the writer gives up.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/symbol.h"

namespace veltrix::egraph {
namespace {

// Random terms over a few operators, some of them repeated (duplicates find their first copy).
struct RandomTerms {
  std::vector<Symbol> ops;
  std::vector<std::uint64_t> child_ends{0};
  std::vector<std::uint32_t> children;

  explicit RandomTerms(std::size_t count, unsigned seed) {
    const Symbol leaves[] = {intern_symbol("x"), intern_symbol("y")};
    const Symbol binary[] = {intern_symbol("f"), intern_symbol("g")};
    std::mt19937_64 rng(seed);
    for (std::size_t i = 0; i < count; ++i) {
      if (i < 2 || rng() % 5 == 0) {
        ops.push_back(leaves[rng() % 2]);
      } else {
        ops.push_back(binary[rng() % 2]);
        children.push_back(static_cast<std::uint32_t>(rng() % i));
        children.push_back(static_cast<std::uint32_t>(i - 1 - rng() % std::min<std::size_t>(i, 4)));
      }
      child_ends.push_back(children.size());
    }
  }
  TermArrays arrays() const { return {ops, child_ends, children}; }
};

TEST(ConcurrentLoading, TermsAddedAsTheyArePublishedGetTheIdsOfTheFinishedArrays) {
  for (unsigned seed : {1u, 2u, 3u}) {
    const RandomTerms terms(20'000, seed);
    EGraph reference;
    const std::vector<ClassId> want = reference.add_terms(terms.arrays());

    // The writer copies the terms in, a random number at a time, and publishes each batch.
    std::vector<Symbol> ops(terms.ops.size());
    std::vector<std::uint64_t> child_ends(terms.child_ends.size(), 0);
    std::vector<std::uint32_t> children(terms.children.size());
    std::atomic<std::size_t> published{0};
    std::atomic<bool> abandoned{false};
    std::thread writer([&] {
      std::mt19937_64 rng(seed);
      for (std::size_t i = 0; i < ops.size();) {
        const std::size_t end = std::min(ops.size(), i + 1 + rng() % 700);
        for (; i < end; ++i) {
          ops[i] = terms.ops[i];
          child_ends[i + 1] = terms.child_ends[i + 1];
          for (std::uint64_t k = terms.child_ends[i]; k < terms.child_ends[i + 1]; ++k) children[k] = terms.children[k];
        }
        published.store(i, std::memory_order_release);
        if (rng() % 3 == 0) std::this_thread::yield();
      }
    });
    EGraph loaded;
    const std::vector<ClassId> got = loaded.add_published_terms({ops, child_ends, children}, published, abandoned);
    writer.join();
    EXPECT_EQ(got, want) << seed;
    EXPECT_EQ(loaded.size(), reference.size()) << seed;
    EXPECT_EQ(loaded.class_count(), reference.class_count()) << seed;
  }
}

TEST(ConcurrentLoading, AWriterThatGivesUpStopsTheLoad) {
  const RandomTerms terms(5'000, 4);
  std::atomic<std::size_t> published{2'000};
  std::atomic<bool> abandoned{false};
  std::thread writer([&] { abandoned.store(true, std::memory_order_release); });
  EGraph loaded;
  EXPECT_THROW(loaded.add_published_terms(terms.arrays(), published, abandoned), EGraph::TermsAbandoned);
  writer.join();
}

}  // namespace
}  // namespace veltrix::egraph
