// TestWatchdog: makes a threaded test fail instead of hanging.
//
// A test that waits on another thread (a run loop, a writer) arms a watchdog
// for the scope of the wait. If the scope has not ended after the given
// number of seconds, the watchdog names the scenario on standard error and
// aborts the test process, which the test runner reports as a failure. Used
// by tests only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace harlo::platform {

class TestWatchdog final {
 public:
  TestWatchdog(std::string scenario, std::chrono::seconds bound)
      : scenario_(std::move(scenario)), thread_([this, bound] { watch(bound); }) {}

  ~TestWatchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    changed_.notify_one();
    thread_.join();
  }

  TestWatchdog(const TestWatchdog&) = delete;
  TestWatchdog& operator=(const TestWatchdog&) = delete;

 private:
  void watch(std::chrono::seconds bound) {
    std::unique_lock lock(mutex_);
    if (changed_.wait_for(lock, bound, [this] { return done_; })) return;
    std::fprintf(stderr, "timed out (deadlock or lost wake-up): %s\n", scenario_.c_str());
    std::abort();
  }

  const std::string scenario_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace harlo::platform
