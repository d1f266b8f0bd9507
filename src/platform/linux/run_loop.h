// RunLoop: the main run loop on Linux, an sd-event loop run on one thread
// (the MainLoop contract, platform/main_loop.h, says what run(), stop(),
// post(), postAndWait() and isLoopThread() do).
//
// Every Bluetooth callback the bridge receives runs on this loop. The thread
// that calls run() is the loop thread; sd-event and sd-bus objects attached to
// the loop belong to it and do no locking of their own, so other threads reach
// them only through post() or postAndWait().
//
// Thread safety: post(), postAndWait(), stop() and isLoopThread() may be called
// from any thread. Everything else is for the loop thread only (or for the
// creating thread before run() starts).
#pragma once

#include <sys/eventfd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "base/result.h"
#include "platform/main_loop.h"
#include "platform/status.h"

struct sd_event;
struct sd_event_source;

namespace harlo::platform {

class RunLoop final : public MainLoop {
 public:
  // A watch on a file descriptor; destroying it stops the watch. Loop thread
  // only. The fd is not owned.
  class FdWatch {
   public:
    virtual ~FdWatch() = default;
    // Changes the epoll events watched (EPOLLIN, EPOLLOUT, ...).
    virtual Status setEvents(std::uint32_t events) = 0;
  };

  // A timer that calls its callback once on the loop thread when its deadline
  // passes; destroying it cancels it. Loop thread only.
  class Timer {
   public:
    using Clock = std::chrono::steady_clock;
    virtual ~Timer() = default;
    // Arms the timer for `deadline` (one call, then disarmed), or disarms it.
    virtual Status setDeadline(std::optional<Clock::time_point> deadline) = 0;
  };

  // Creates a loop with its own sd-event object. Fails with a negative errno:
  // -ELIBACC when libsystemd cannot be loaded (see systemd_library.h).
  static Result<std::unique_ptr<RunLoop>, Status> create();

  ~RunLoop() override;
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  Status run() override;
  void stop() override;
  void post(std::function<void()> work) override;
  void postAndWait(std::function<void()> work) override;
  bool isLoopThread() const override;

  // Calls `onReady(revents)` on the loop thread whenever `fd` is ready for
  // `events`. Fails with a negative errno.
  Result<std::unique_ptr<FdWatch>, Status> watchFd(int fd, std::uint32_t events,
                                                   std::function<void(std::uint32_t)> onReady);

  // A timer, created disarmed, that calls `onExpired` on the loop thread.
  // Fails with a negative errno.
  Result<std::unique_ptr<Timer>, Status> createTimer(std::function<void()> onExpired);

  // The sd-event object, to attach sd-bus connections to. Loop thread only.
  sd_event* native() const { return event_; }

 private:
  RunLoop(sd_event* event, int wakeFd);
  void drainPosted();
  void wake();

  sd_event* event_;
  int wakeFd_;  // eventfd: post() and stop() write to it to wake the loop
  sd_event_source* wakeSource_ = nullptr;

  mutable std::mutex mutex_;
  std::condition_variable settled_;  // a postAndWait() may return: its work ran, or run() failed
  std::deque<std::function<void()>> posted_;  // guarded by mutex_
  bool stopRequested_ = false;                // guarded by mutex_
  bool failed_ = false;                       // guarded by mutex_; set when run() fails, for good
  std::thread::id runningThread_;             // guarded by mutex_; empty when not running
  const std::thread::id creatorThread_;
};

}  // namespace harlo::platform
