#include "support/result.h"

#include <gtest/gtest.h>

#include <string>

#include "support/failure_message.h"

namespace veltrix {
namespace {

using testing::failure_message;

struct Refusal {
  std::string text;
};

Result<int, Refusal> parsed(bool good) {
  if (good) return 7;
  return make_err(Refusal{"bad"});
}

Result<void, Refusal> checked(bool good) {
  if (good) return {};
  return make_err(Refusal{"bad"});
}

TEST(Result, ReadingTheSideItDoesNotHoldIsAnInternalFailure) {
  const Result<int, Refusal> refused = parsed(false);
  const Result<int, Refusal> accepted = parsed(true);
  EXPECT_EQ(failure_message([&] { (void)refused.value(); }), "Result::value() called on a Result that holds an error");
  EXPECT_EQ(failure_message([&] { (void)parsed(false).value(); }),
            "Result::value() called on a Result that holds an error");
  EXPECT_EQ(failure_message([&] { (void)accepted.error(); }), "Result::error() called on a Result that holds a value");
  EXPECT_EQ(failure_message([&] { (void)checked(true).error(); }),
            "Result::error() called on a Result that holds a value");
}

TEST(Result, TheFailureNamesThePlaceOfTheRead) {
  const Result<int, Refusal> refused = parsed(false);
  const unsigned line = __LINE__ + 2;
  try {
    (void)refused.value();
    FAIL() << "no internal failure";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.where().line(), line);
    EXPECT_EQ(std::string(failure.where().file_name()), __FILE__);
  }
}

}  // namespace
}  // namespace veltrix
