#include "testing/manual_loop.h"

#include <utility>

namespace harlo {

platform::Status ManualLoop::run() {
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard lock(mutex_);
      if (stopRequested_ || queued_.empty()) {
        stopRequested_ = false;
        return platform::statusOK;
      }
      work = std::move(queued_.front());
      queued_.pop_front();
    }
    work();
  }
}

void ManualLoop::stop() {
  std::lock_guard lock(mutex_);
  stopRequested_ = true;
}

void ManualLoop::post(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  queued_.push_back(std::move(work));
}

void ManualLoop::postAndWait(std::function<void()> work) { work(); }

std::size_t ManualLoop::runPending() {
  std::size_t ran = 0;
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard lock(mutex_);
      if (queued_.empty()) return ran;
      work = std::move(queued_.front());
      queued_.pop_front();
    }
    work();
    ++ran;
  }
}

}  // namespace harlo
