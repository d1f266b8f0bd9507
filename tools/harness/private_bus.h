// PrivateBus: a dbus-daemon of the test's own, with the permissive
// configuration private-bus.conf beside this file, listening on a Unix socket in a
// fresh temporary folder.
//
//   auto bus = PrivateBus::start();
//   auto strict = PrivateBus::start(BusPolicy::bluezDenied);  // see BusPolicy
//   ASSERT_TRUE(bus.ok()) << bus.error();
//   // bus.value()->environment() points sd_bus_open_system (and so the
//   // helper and bluez-sim) at it: DBUS_SYSTEM_BUS_ADDRESS=<address>.
//
// Destroying it stops the daemon (SIGTERM, then SIGKILL if it lingers) and
// removes the folder. Processes on the bus should be stopped first if the
// test cares how they see the bus go. Not thread-safe.
#pragma once

#include <memory>
#include <string>

#include "base/result.h"
#include "subprocess.h"
#include "temp_dir.h"

namespace harlo::harness {

// What the daemon lets its connections do.
enum class BusPolicy {
  permissive,  // anything (private-bus.conf)
  // As permissive, except that no connection may send to org.bluez, as a
  // system bus policy that does not let the caller reach bluetoothd
  // (private-bus-bluez-denied.conf): a call to a connection owning it is
  // answered with org.freedesktop.DBus.Error.AccessDenied by the daemon.
  bluezDenied,
};

class PrivateBus final {
 public:
  // Starts the daemon with `policy` and waits (bounded) for it to print its
  // address. Fails with the reason and the daemon's standard error.
  static Result<std::unique_ptr<PrivateBus>, std::string> start(
      BusPolicy policy = BusPolicy::permissive);

  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // The address the daemon printed, e.g. "unix:path=/tmp/harlo-bus-X/bus,guid=...".
  const std::string& address() const { return address_; }

  // {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=<socket>"}, for Subprocess::start:
  // the address without the daemon's guid, as a system bus address is, so
  // that a client may connect again to a daemon restarted on the same path.
  Subprocess::Environment environment() const;

  Subprocess& daemon() { return *daemon_; }

  // Kills the daemon (SIGKILL: every connection is cut at once) and starts a
  // new one with the same policy, listening on the same socket path. Fails
  // with the reason.
  Result<void, std::string> restart();

 private:
  PrivateBus(BusPolicy policy, std::unique_ptr<TempDir> folder, std::unique_ptr<Subprocess> daemon,
             std::string address)
      : policy_(policy),
        folder_(std::move(folder)),
        daemon_(std::move(daemon)),
        address_(std::move(address)) {}

  // Starts dbus-daemon with `policy` on the socket in `folder` and reads its
  // address.
  static Result<std::pair<std::unique_ptr<Subprocess>, std::string>, std::string> startDaemon(
      BusPolicy policy, const TempDir& folder);

  BusPolicy policy_;
  std::unique_ptr<TempDir> folder_;
  std::unique_ptr<Subprocess> daemon_;
  std::string address_;
};

}  // namespace harlo::harness
