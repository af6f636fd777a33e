// What an internal failure says, for tests that expect one.
#pragma once

#include <functional>
#include <string>

#include "support/internal_failure.h"

namespace veltrix::testing {

// The message of the internal failure `body` raises, or "<no failure>".
inline std::string failure_message(const std::function<void()>& body) {
  try {
    body();
  } catch (const InternalFailure& failure) {
    return failure.message();
  }
  return "<no failure>";
}

}  // namespace veltrix::testing
