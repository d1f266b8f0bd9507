#include "stdio/stop_deadline.h"

namespace harlo {

void StopDeadline::requested(Clock::time_point at) {
  std::lock_guard lock(mutex_);
  if (!requestedAt_) requestedAt_ = at;
}

std::optional<StopDeadline::Clock::time_point> StopDeadline::requestedAt() const {
  std::lock_guard lock(mutex_);
  return requestedAt_;
}

bool StopDeadline::claimForTheMode() {
  std::lock_guard lock(mutex_);
  if (owner_ == Owner::none) {
    owner_ = Owner::mode;
    claimed_.notify_all();
  }
  return owner_ == Owner::mode;
}

bool StopDeadline::claimAtDeadline(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  claimed_.wait_until(lock, deadline, [this] { return owner_ != Owner::none; });
  if (owner_ == Owner::none) owner_ = Owner::stopThread;
  return owner_ == Owner::stopThread;
}

void StopDeadline::waitForTheEnd() {
  std::unique_lock lock(mutex_);
  for (;;) claimed_.wait(lock);
}

}  // namespace harlo
