#include "private_bus.h"

#include <signal.h>

namespace harlo::harness {

Result<std::unique_ptr<PrivateBus>, std::string> PrivateBus::start() {
  auto folder = TempDir::create("harlo-bus");
  if (!folder) return fail(folder.error());
  auto daemon = Subprocess::start({HARLO_DBUS_DAEMON_PATH, "--config-file=" HARLO_DBUS_CONFIG_PATH,
                                   "--address=unix:path=" + folder.value()->file("bus"), "--nofork",
                                   "--print-address", "--nosyslog"});
  if (!daemon) return fail(daemon.error());
  auto address = daemon.value()->readLine(Subprocess::Stream::out);
  if (!address || address->empty()) {
    return fail("dbus-daemon printed no address; its standard error:\n" +
                daemon.value()->transcript(Subprocess::Stream::err));
  }
  return std::unique_ptr<PrivateBus>(
      new PrivateBus(std::move(folder.value()), std::move(daemon.value()), std::move(*address)));
}

PrivateBus::~PrivateBus() {
  daemon_->sendSignal(SIGTERM);
  if (!daemon_->waitForExit()) daemon_->kill();
}

}  // namespace harlo::harness
