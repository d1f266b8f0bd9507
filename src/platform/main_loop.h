// MainLoop: the main run loop as the layers above the platform see it.
//
// One thread runs the loop (the loop thread); every Bluetooth callback is
// delivered there. Other threads hand work to it with post() and
// postAndWait(), and end it with stop(). The Linux implementation is RunLoop
// (sd-event, platform/linux/run_loop.h).
#pragma once

#include <functional>

#include "platform/status.h"

namespace harlo::platform {

class MainLoop {
 public:
  virtual ~MainLoop() = default;

  // Runs the loop on the calling thread until stop() is called. Work posted
  // before run() starts runs once it does. Returns 0 once stopped; may then
  // be called again. Returns a negative errno if the loop itself failed: the
  // loop is then finished and runs nothing more (post() drops its work, and
  // postAndWait() returns without running it, including a call that was
  // already waiting).
  virtual Status run() = 0;

  // Makes run() return after the callback in progress, if any. Any thread.
  // A stop requested before run() starts makes the next run() return at once.
  virtual void stop() = 0;

  // Runs `work` on the loop thread, after work posted earlier. Any thread.
  virtual void post(std::function<void()> work) = 0;

  // Runs `work` on the loop thread and waits until it has run. Called on the
  // loop thread itself, it runs `work` at once. From another thread the loop
  // must be running (or be about to run), or the call waits until it does.
  virtual void postAndWait(std::function<void()> work) = 0;

  // True when called on the thread currently inside run(), or on the thread
  // that created the loop while no thread is inside run().
  virtual bool isLoopThread() const = 0;
};

}  // namespace harlo::platform
