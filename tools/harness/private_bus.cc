#include "private_bus.h"

#include <signal.h>
#include <unistd.h>

namespace harlo::harness {
namespace {

const char* configFile(BusPolicy policy) {
  switch (policy) {
    case BusPolicy::permissive:
      return HARLO_DBUS_CONFIG_DIR "/private-bus.conf";
    case BusPolicy::bluezDenied:
      return HARLO_DBUS_CONFIG_DIR "/private-bus-bluez-denied.conf";
  }
  return HARLO_DBUS_CONFIG_DIR "/private-bus.conf";
}

}  // namespace

Result<std::pair<std::unique_ptr<Subprocess>, std::string>, std::string> PrivateBus::startDaemon(
    BusPolicy policy, const TempDir& folder) {
  auto daemon = Subprocess::start(
      {HARLO_DBUS_DAEMON_PATH, std::string("--config-file=") + configFile(policy),
       "--address=unix:path=" + folder.file("bus"), "--nofork", "--print-address", "--nosyslog"});
  if (!daemon) return fail(daemon.error());
  auto address = daemon.value()->readLine(Subprocess::Stream::out);
  if (!address || address->empty()) {
    return fail("dbus-daemon printed no address; its standard error:\n" +
                daemon.value()->transcript(Subprocess::Stream::err));
  }
  return std::make_pair(std::move(daemon.value()), std::move(*address));
}

Result<std::unique_ptr<PrivateBus>, std::string> PrivateBus::start(BusPolicy policy) {
  auto folder = TempDir::create("harlo-bus");
  if (!folder) return fail(folder.error());
  auto started = startDaemon(policy, *folder.value());
  if (!started) return fail(started.error());
  return std::unique_ptr<PrivateBus>(new PrivateBus(policy, std::move(folder.value()),
                                                    std::move(started.value().first),
                                                    std::move(started.value().second)));
}

Subprocess::Environment PrivateBus::environment() const {
  return {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + folder_->file("bus")}};
}

Result<void, std::string> PrivateBus::restart() {
  daemon_->kill();
  // The dead daemon leaves its socket file behind, which a new one will not
  // listen over.
  ::unlink(folder_->file("bus").c_str());
  auto started = startDaemon(policy_, *folder_);
  if (!started) return fail(started.error());
  daemon_ = std::move(started.value().first);
  address_ = std::move(started.value().second);
  return {};
}

PrivateBus::~PrivateBus() {
  daemon_->sendSignal(SIGTERM);
  if (!daemon_->waitForExit()) daemon_->kill();
}

}  // namespace harlo::harness
