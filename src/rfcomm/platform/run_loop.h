// RunLoop: the main run loop, an sd-event loop run on one thread.
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

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "app/result.h"
#include "rfcomm/platform/status.h"

struct sd_event;
struct sd_event_source;

namespace harlo::platform {

class RunLoop final {
 public:
  // A watch on a file descriptor; destroying it stops the watch. Loop thread
  // only. The fd is not owned.
  class FdWatch {
   public:
    virtual ~FdWatch() = default;
    // Changes the epoll events watched (EPOLLIN, EPOLLOUT, ...).
    virtual Status setEvents(std::uint32_t events) = 0;
  };

  // Creates a loop with its own sd-event object. Fails with a negative errno:
  // -ELIBACC when libsystemd cannot be loaded (see systemd_library.h).
  static Result<std::unique_ptr<RunLoop>, Status> create();

  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // Runs the loop on the calling thread until stop() is called. Work posted
  // before run() starts runs once it does. Returns 0 once stopped, or a
  // negative errno if the loop itself failed. May be called again after it
  // returns.
  Status run();

  // Makes run() return after the callback in progress, if any. Any thread.
  // A stop requested before run() starts makes the next run() return at once.
  void stop();

  // Runs `work` on the loop thread, after work posted earlier. Any thread.
  void post(std::function<void()> work);

  // Runs `work` on the loop thread and waits until it has run. Called on the
  // loop thread itself, it runs `work` at once. From another thread the loop
  // must be running (or be about to run), or the call waits until it does.
  void postAndWait(std::function<void()> work);

  // True when called on the thread currently inside run(), or on the thread
  // that created the loop while no thread is inside run().
  bool isLoopThread() const;

  // Calls `onReady(revents)` on the loop thread whenever `fd` is ready for
  // `events`. Fails with a negative errno.
  Result<std::unique_ptr<FdWatch>, Status> watchFd(int fd, std::uint32_t events,
                                                   std::function<void(std::uint32_t)> onReady);

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
  std::deque<std::function<void()>> posted_;  // guarded by mutex_
  bool stopRequested_ = false;                // guarded by mutex_
  std::thread::id runningThread_;             // guarded by mutex_; empty when not running
  const std::thread::id creatorThread_;
};

}  // namespace harlo::platform
