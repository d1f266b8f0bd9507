// Deadlines as poll() takes them, for the waits of the sessions and of the
// ATT bearer.
#pragma once

#include <chrono>

namespace harlo {

// Milliseconds until `deadline` for poll(), rounded up so that an early
// wake-up never reads as expiry; 0 once it has passed.
inline int pollTimeout(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace harlo
