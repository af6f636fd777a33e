#include "support/poisonable_mutex.h"

#include <gtest/gtest.h>

#include "support/failure_message.h"
#include "support/internal_failure.h"
#include "support/result.h"

namespace veltrix {
namespace {

using testing::failure_message;

TEST(PoisonableMutex, FailureUnderTheLockPoisonsForGood) {
  PoisonableMutex mutex("test object poisoned");
  EXPECT_EQ(failure_message([&] {
              auto guard = mutex.lock();
              internal_failure("injected");
            }),
            "injected");
  EXPECT_TRUE(mutex.poisoned());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(failure_message([&] { auto guard = mutex.lock(); }), "test object poisoned: PoisonError { .. }");
  }
}

TEST(PoisonableMutex, FailureInsideRunLockedPoisonsToo) {
  PoisonableMutex mutex("runner poisoned");
  EXPECT_EQ(mutex.run_locked([] { return 7; }), 7);
  EXPECT_EQ(failure_message([&] { mutex.run_locked([]() -> int { internal_failure("inside"); }); }), "inside");
  EXPECT_TRUE(mutex.poisoned());
  EXPECT_EQ(failure_message([&] { mutex.run_locked([] {}); }), "runner poisoned: PoisonError { .. }");
  EXPECT_EQ(failure_message([&] { auto guard = mutex.lock(); }), "runner poisoned: PoisonError { .. }");
}

TEST(PoisonableMutex, FailureOutsideTheLockLeavesItUsable) {
  PoisonableMutex mutex("m");
  EXPECT_EQ(failure_message([&] {
              { auto guard = mutex.lock(); }
              internal_failure("after unlock");
            }),
            "after unlock");
  EXPECT_FALSE(mutex.poisoned());
  EXPECT_EQ(failure_message([&] { auto guard = mutex.lock(); }), "<no failure>");
}

TEST(PoisonableMutex, AFailureAlreadyInFlightDoesNotPoisonANewHolder) {
  PoisonableMutex mutex("m");
  struct LocksDuringUnwind {
    PoisonableMutex& mutex;
    ~LocksDuringUnwind() { auto guard = mutex.lock(); }
  };
  EXPECT_EQ(failure_message([&] {
              LocksDuringUnwind locker{mutex};
              internal_failure("outer");
            }),
            "outer");
  EXPECT_FALSE(mutex.poisoned());
}

struct DemoError {
  int code;
  std::string debug_string() const { return "Demo(" + std::to_string(code) + ")"; }
};

TEST(InternalFailure, ExpectOkAndIndexMessages) {
  Result<int, DemoError> bad = make_err(DemoError{7});
  EXPECT_EQ(failure_message([&] { (void)expect_ok(std::move(bad), "value is present"); }), "value is present: Demo(7)");
  Result<int, DemoError> good = 5;
  EXPECT_EQ(expect_ok(std::move(good), "unused"), 5);
  std::vector<int> v{1, 2};
  EXPECT_EQ(failure_message([&] { (void)checked_at(v, 2); }), "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(failure_message([] { missing_entry(); }), "no entry found for key");
}

}  // namespace
}  // namespace veltrix
