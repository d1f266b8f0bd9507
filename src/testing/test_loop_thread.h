// TestLoopThread: runs a RunLoop on a thread of its own for the length of a
// test, as the main thread runs it in the program, so that the test thread can
// play the stdin reader. Used by tests only.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/linux/run_loop.h"
#include "testing/test_watchdog.h"

namespace harlo::platform {

class TestLoopThread final {
 public:
  // Returns once the loop is running on the new thread, so that the loop
  // thread is that thread from then on.
  explicit TestLoopThread(RunLoop& loop) : loop_(loop) {
    loop_.post([this] { running_.set_value(); });
    thread_ = std::thread([this] { status_ = loop_.run(); });
    const TestWatchdog watchdog("run loop thread starts", std::chrono::seconds(5));
    running_.get_future().wait();
  }

  // Runs what is already posted, then stops the loop and joins its thread.
  ~TestLoopThread() {
    const TestWatchdog watchdog("run loop thread ends", std::chrono::seconds(5));
    loop_.postAndWait([] {});
    loop_.stop();
    thread_.join();
    EXPECT_EQ(status_, statusOK) << "the run loop failed";
  }

  TestLoopThread(const TestLoopThread&) = delete;
  TestLoopThread& operator=(const TestLoopThread&) = delete;

  // Waits until everything posted before this call has run on the loop.
  void drain() {
    const TestWatchdog watchdog("posted work runs", std::chrono::seconds(5));
    loop_.postAndWait([] {});
  }

 private:
  RunLoop& loop_;
  std::promise<void> running_;  // set by the loop's first task
  std::thread thread_;
  Status status_ = statusOK;  // what run() returned
};

}  // namespace harlo::platform
