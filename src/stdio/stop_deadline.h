// StopDeadline: who ends bridge mode once a stop has been requested.
//
// The mode ends itself, in order, when it can; if it has not begun to by the
// deadline, the stop thread takes over and ends the process at once. Exactly
// one of the two does: the first to claim the end has it.
//
// Thread safety: every method from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace harlo {

class StopDeadline final {
 public:
  using Clock = std::chrono::steady_clock;

  // A stop was requested at `at`; the first call counts.
  void requested(Clock::time_point at);
  // When the stop was requested, if it was.
  std::optional<Clock::time_point> requestedAt() const;

  // The mode is about to end in order. False when the stop thread has taken
  // over: the caller must then touch nothing more and waitForTheEnd().
  bool claimForTheMode();

  // Waits until the mode has claimed its end (false) or `deadline` has
  // passed, and then takes over (true).
  bool claimAtDeadline(Clock::time_point deadline);

  // Waits for the process to end, which the stop thread, having taken over,
  // is doing.
  [[noreturn]] void waitForTheEnd();

 private:
  enum class Owner { none, mode, stopThread };

  mutable std::mutex mutex_;
  std::condition_variable claimed_;
  std::optional<Clock::time_point> requestedAt_;  // guarded by mutex_
  Owner owner_ = Owner::none;                     // guarded by mutex_
};

}  // namespace harlo
