// BusLink: the platform's connection to the system bus. It is opened once,
// by the first publication; once lost (the bus daemon went away) it is
// opened again, every second for the first ten seconds and then every five,
// until the bus is back.
//
// Threads: loop thread only. `loop` and `log` must outlive the link.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "base/log.h"
#include "platform/linux/bluez/bus_connection.h"
#include "platform/linux/run_loop.h"

namespace harlo::platform {

class BusLink final {
 public:
  // Sets up each connection made before anything uses it: true when it
  // serves, false when it cannot (it is dropped, as if the bus could not be
  // reached; the setup has logged why).
  using Setup = std::function<bool(const std::shared_ptr<BusConnection>& connection)>;

  // `reconnected` is called once a connection lost has been made again and
  // set up.
  BusLink(RunLoop& loop, Log& log, Setup setup, std::function<void()> reconnected)
      : loop_(loop), log_(log), setup_(std::move(setup)), reconnected_(std::move(reconnected)) {}

  // Opens a connection and sets it up; false when the bus cannot be reached
  // (logged, but for the tries after a loss). The first connection is the
  // caller's to open; after a loss the link opens one itself.
  bool connect();

  // The connection, or null while there is none.
  const std::shared_ptr<BusConnection>& connection() const { return connection_; }

  // True from a loss until the connection is back.
  bool reconnecting() const { return retryTimer_ != nullptr; }

  // The connection is lost: it is dropped (whatever holds it must let go),
  // and made again as said above. Not from inside the bus's dispatch.
  void lost();

 private:
  void scheduleRetry();
  void retry();

  RunLoop& loop_;
  Log& log_;
  const Setup setup_;
  const std::function<void()> reconnected_;
  std::shared_ptr<BusConnection> connection_;
  std::unique_ptr<RunLoop::Timer> retryTimer_;  // from a loss until the connection is back
  std::chrono::steady_clock::time_point lostAt_{};
};

}  // namespace harlo::platform
