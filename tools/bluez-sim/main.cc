// bluez-sim: a stand-in for bluetoothd's profile API on a private bus, for
// machines without Bluetooth.
//
// It connects to the bus named by DBUS_SYSTEM_BUS_ADDRESS, exports
// org.bluez.ProfileManager1 at /org/bluez (profile_manager.h) and the
// adapters with their object manager (adapters.h; hci0, powered, unless
// --no-adapter or --adapter-off), accepts simulated clients on --socket
// (client_listener.h), writes what is registered to --record-file
// (record_file.h), exports its control object on a second connection
// (sim_control.h), then owns org.harlo.BluezSim and org.bluez and prints
// "bluez-sim ready" on standard output. On SIGTERM or SIGINT it sends
// Release() to every registered profile and exits 0. It exits 1 if the bus
// connection is lost or the loop fails, 2 on a bad command line or failed
// start-up. --help prints the usage and the ready line and control
// interface it relies on (sim_options.h) on standard output and exits 0.
#include <signal.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "adapters.h"
#include "client_listener.h"
#include "log.h"
#include "profile_manager.h"
#include "sim_control.h"
#include "sim_options.h"

namespace harlo::bluez_sim {
namespace {

struct Simulator {
  sd_event* event = nullptr;
  sd_bus* bus = nullptr;         // owns org.bluez
  sd_bus* controlBus = nullptr;  // owns org.harlo.BluezSim
  std::unique_ptr<ProfileManager> manager;
  std::unique_ptr<Adapters> adapters;
  std::unique_ptr<ClientListener> listener;
  std::unique_ptr<SimControl> control;

  ~Simulator() {
    control.reset();
    listener.reset();
    adapters.reset();
    manager.reset();
    sd_bus_flush_close_unref(controlBus);
    sd_bus_flush_close_unref(bus);
    sd_event_unref(event);
  }
};

int onTerminate(sd_event_source*, const struct signalfd_siginfo*, void* data) {
  auto* sim = static_cast<Simulator*>(data);
  logLine("terminating");
  sim->manager->releaseAll();
  sd_bus_flush(sim->bus);
  sd_event_exit(sim->event, 0);
  return 0;
}

int startFailed(const char* what, int r) {
  logLine(std::string(what) + ": " + std::strerror(-r));
  return 2;
}

// Opens a connection to the system bus on `event`'s loop; losing it ends the
// loop.
int connectToBus(sd_event* event, sd_bus** bus) {
  int r = sd_bus_open_system(bus);
  if (r >= 0) r = sd_bus_set_exit_on_disconnect(*bus, 1);
  if (r >= 0) r = sd_bus_attach_event(*bus, event, 0);
  return r;
}

int run(const SimOptions& options) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigprocmask(SIG_BLOCK, &signals, nullptr);

  Simulator sim;
  int r = sd_event_default(&sim.event);
  if (r < 0) return startFailed("sd_event_default", r);
  for (int signal : {SIGTERM, SIGINT}) {
    if ((r = sd_event_add_signal(sim.event, nullptr, signal, &onTerminate, &sim)) < 0) {
      return startFailed("sd_event_add_signal", r);
    }
  }
  if ((r = connectToBus(sim.event, &sim.bus)) < 0 ||
      (r = connectToBus(sim.event, &sim.controlBus)) < 0) {
    return startFailed("connecting to the system bus", r);
  }

  auto manager = ProfileManager::create(
      sim.bus, {options.recordFile, options.failRegister, options.neverAnswerUnregister});
  if (!manager) return startFailed("ProfileManager1", manager.error());
  sim.manager = std::move(manager.value());
  auto adapters = Adapters::create(sim.event, sim.bus);
  if (!adapters) return startFailed("the object manager", adapters.error());
  sim.adapters = std::move(adapters.value());
  if (options.adapter != StartAdapter::none) {
    auto added = sim.adapters->add(options.adapter == StartAdapter::powered);
    if (!added) return startFailed("adding hci0", added.error());
  }
  if (options.socketPath) {
    auto listener = ClientListener::create(sim.event, sim.bus, *sim.manager, *sim.adapters,
                                           *options.socketPath);
    if (!listener) {
      logLine("client socket: " + listener.error());
      return 2;
    }
    sim.listener = std::move(listener.value());
    sim.manager->setOnRemoved([listener = sim.listener.get()](const Registration& registration) {
      listener->closeConnectionsOf(registration.owner, registration.path);
    });
    sim.adapters->setOnLinksLost([listener = sim.listener.get()](const std::string& adapter) {
      listener->dropLinksThrough(adapter);
    });
  }
  auto control = SimControl::create(sim.controlBus, *sim.adapters);
  if (!control) return startFailed("the control object", control.error());
  sim.control = std::move(control.value());
  if ((r = sd_bus_request_name(sim.controlBus, simControlName, 0)) < 0)
    return startFailed("owning org.harlo.BluezSim", r);
  if ((r = sd_bus_request_name(sim.bus, "org.bluez", 0)) < 0)
    return startFailed("owning org.bluez", r);

  std::fputs("bluez-sim ready\n", stdout);
  std::fflush(stdout);
  r = sd_event_loop(sim.event);
  if (r < 0) return startFailed("event loop", r);
  if (r != 0) logLine("lost the bus connection");
  return r == 0 ? 0 : 1;
}

}  // namespace
}  // namespace harlo::bluez_sim

int main(int argc, char** argv) {
  auto options = harlo::bluez_sim::parseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!options) {
    std::fprintf(stderr, "bluez-sim: %s\n%s\n", options.error().c_str(),
                 harlo::bluez_sim::simUsage);
    return 2;
  }
  if (options.value().help) {
    std::puts(harlo::bluez_sim::simUsage);
    std::puts(harlo::bluez_sim::simHelpDetails);
    return std::fflush(stdout) == 0 ? 0 : 2;
  }
  return harlo::bluez_sim::run(options.value());
}
