// StopSignalThread: StopSignals on Linux, for SIGTERM, SIGINT and SIGHUP.
//
// start() blocks the three signals in the calling thread, and so in every
// thread it starts later, and starts a thread of its own ("harlo-signals")
// that takes them from a signalfd. When the first one arrives, the thread
// gives the three their default action and unblocks them in itself only,
// then passes the request on: a second signal finds the one thread that does
// not block it and ends the process by its default action, whatever the
// receiver is doing.
//
// Call start() on the main thread before any other thread is started; the
// object must be destroyed on a thread other than its own.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/result.h"
#include "platform/status.h"
#include "platform/stop_signals.h"

namespace harlo::platform {

class StopSignalThread final : public StopSignals {
 public:
  // Fails with a negative errno.
  static Result<std::unique_ptr<StopSignalThread>, Status> start();

  // Stops the thread (after the receiver's call, if one is running).
  ~StopSignalThread() override;
  StopSignalThread(const StopSignalThread&) = delete;
  StopSignalThread& operator=(const StopSignalThread&) = delete;

  void onRequest(std::function<void(std::string_view name)> requested) override;

 private:
  StopSignalThread(int signalFd, int wakeFd) : signalFd_(signalFd), wakeFd_(wakeFd) {}
  void run();
  // Waits for the first signal, or the end; its name, or nothing at the end.
  std::optional<std::string> awaitSignal();

  const int signalFd_;
  const int wakeFd_;  // eventfd: the object is going away
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void(std::string_view)> receiver_;  // guarded by mutex_
  bool calling_ = false;                            // guarded by mutex_; receiver_ runs
  bool taken_ = false;                              // guarded by mutex_; a signal arrived
  bool ending_ = false;                             // guarded by mutex_
};

}  // namespace harlo::platform
