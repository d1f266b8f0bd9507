// BreakingLoop: a MainLoop for tests that runs nothing and fails when the
// test says so.
#pragma once

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/main_loop.h"

namespace harlo {

// A main loop that runs nothing and fails when the test says so, as a broken
// sd-event would: its run() then returns -EIO, and from then on post() drops
// its work and postAndWait() returns without running it.
class BreakingLoop final : public platform::MainLoop {
 public:
  platform::Status run() override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return broken_; });
    return -EIO;
  }
  void stop() override {}
  void post(std::function<void()>) override {}
  void postAndWait(std::function<void()> work) override {
    if (isLoopThread()) return work();
    std::unique_lock lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return broken_; });
  }
  bool isLoopThread() const override { return std::this_thread::get_id() == creator_; }

  // Waits, with a bound, until another thread waits in postAndWait().
  bool awaitWaiter() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [this] { return waiting_ > 0; });
  }
  void breakDown() {
    std::lock_guard lock(mutex_);
    broken_ = true;
    changed_.notify_all();
  }

 private:
  const std::thread::id creator_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::condition_variable changed_;
  bool broken_ = false;  // guarded by mutex_
  int waiting_ = 0;      // guarded by mutex_
};

}  // namespace harlo
