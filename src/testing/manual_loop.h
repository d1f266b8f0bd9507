// ManualLoop: a MainLoop that a test drives by hand on its own thread.
//
// Posted work waits in a queue until runPending(); postAndWait() runs its work
// at once, since the test's thread stands for the loop thread. It lets a unit
// test see exactly which callbacks are pending, and run them when it chooses.
// Not for use from several threads: tests with threads use a RunLoop.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/main_loop.h"

namespace harlo {

class ManualLoop final : public platform::MainLoop {
 public:
  ManualLoop() = default;
  ManualLoop(const ManualLoop&) = delete;
  ManualLoop& operator=(const ManualLoop&) = delete;

  // Runs what is pending, and what that posts, until stop() or nothing is left.
  platform::Status run() override;
  void stop() override;
  void post(std::function<void()> work) override;
  void postAndWait(std::function<void()> work) override;
  bool isLoopThread() const override { return true; }

  // Runs posted work, and the work it posts, until none is left. Returns how
  // much ran.
  std::size_t runPending();

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> queued_;  // guarded by mutex_
  bool stopRequested_ = false;                // guarded by mutex_
};

}  // namespace harlo
