// bluez-sim: a stand-in for bluetoothd's profile, GATT and LE advertising
// APIs on a private bus, for machines without Bluetooth.
//
// It connects to the bus named by DBUS_SYSTEM_BUS_ADDRESS, exports
// org.bluez.ProfileManager1 at /org/bluez (profile_manager.h) and the
// adapters with their object manager (adapters.h; hci0, powered, unless
// --no-adapter or --adapter-off), each with org.bluez.GattManager1
// (gatt_manager.h) and org.bluez.LEAdvertisingManager1
// (advertising_manager.h) unless --no-le, accepts simulated RFCOMM clients on
// --socket (client_listener.h), keeps the LE devices its control object
// connects (le_devices.h, le_clients.h), writes what is registered to
// --record-file (record_file.h), exports its control object on a second
// connection (sim_control.h), then owns org.harlo.BluezSim and org.bluez and
// prints "bluez-sim ready" on standard output. On SIGTERM or SIGINT it sends
// Release() to every registered profile and advertisement and exits 0. It exits 1 if the bus
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
#include "advertising_manager.h"
#include "client_listener.h"
#include "gatt_manager.h"
#include "le_clients.h"
#include "le_devices.h"
#include "log.h"
#include "profile_manager.h"
#include "record_writer.h"
#include "sim_control.h"
#include "sim_options.h"

namespace harlo::bluez_sim {
namespace {

struct Simulator {
  sd_event* event = nullptr;
  sd_bus* bus = nullptr;         // owns org.bluez
  sd_bus* controlBus = nullptr;  // owns org.harlo.BluezSim
  std::unique_ptr<RecordWriter> record;
  std::unique_ptr<ProfileManager> manager;
  std::unique_ptr<Adapters> adapters;
  std::unique_ptr<GattManager> gatt;
  std::unique_ptr<AdvertisingManager> advertising;
  std::unique_ptr<LeDevices> devices;
  std::unique_ptr<LeClients> clients;
  std::unique_ptr<ClientListener> listener;
  std::unique_ptr<SimControl> control;

  ~Simulator() {
    control.reset();
    listener.reset();
    clients.reset();
    advertising.reset();
    gatt.reset();
    devices.reset();
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
  sim->advertising->releaseAll();
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

// Creates the GATT and advertising managers, the LE devices and the LE
// clients, and connects them. Fails with a negative errno.
int wireLowEnergy(Simulator& sim, const SimOptions& options) {
  auto gatt = GattManager::create(sim.event, sim.bus, *sim.record, !options.noLowEnergy);
  if (!gatt) return gatt.error();
  sim.gatt = std::move(gatt.value());
  AdvertisingManager::Config advertisingConfig;
  advertisingConfig.exported = !options.noLowEnergy;
  if (options.noAdvertising) advertisingConfig.instances = 0;
  auto advertising = AdvertisingManager::create(sim.bus, *sim.record, advertisingConfig);
  if (!advertising) return advertising.error();
  sim.advertising = std::move(advertising.value());
  sim.devices = LeDevices::create(sim.event, sim.bus);
  sim.clients = std::make_unique<LeClients>(*sim.adapters, *sim.gatt, *sim.devices);
  LeClients* clients = sim.clients.get();
  sim.gatt->setPacketSink([clients](ServedCharacteristic& characteristic, std::string_view packet) {
    clients->deliver(characteristic, packet);
  });
  sim.gatt->setOnRemoved([clients](const ServedApplication& application) {
    clients->applicationRemoved(application);
  });
  sim.devices->setOnLinkDropped(
      [clients](const LeDevice& device) { clients->linkDropped(device); });
  return 0;
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

  sim.record = std::make_unique<RecordWriter>(options.recordFile);
  auto manager = ProfileManager::create(sim.bus, *sim.record,
                                        {options.failRegister, options.neverAnswerUnregister});
  if (!manager) return startFailed("ProfileManager1", manager.error());
  sim.manager = std::move(manager.value());
  auto adapters = Adapters::create(sim.event, sim.bus);
  if (!adapters) return startFailed("the object manager", adapters.error());
  sim.adapters = std::move(adapters.value());
  if ((r = wireLowEnergy(sim, options)) < 0) return startFailed("the LE managers", r);
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
    AdapterWatch links;
    links.linksLost = [listener = sim.listener.get()](const std::string& adapter) {
      listener->dropLinksThrough(adapter);
    };
    sim.adapters->watch(std::move(links));
  }
  // In this order: a removed adapter's devices go before its applications
  // and advertisements, and all of them before the adapter.
  sim.adapters->watch(sim.devices->watch());
  sim.adapters->watch(sim.gatt->watch());
  sim.adapters->watch(sim.advertising->watch());
  if (options.adapter != StartAdapter::none) {
    auto added = sim.adapters->add(options.adapter == StartAdapter::powered);
    if (!added) return startFailed("adding hci0", added.error());
  }
  auto control = SimControl::create(sim.controlBus, *sim.adapters, *sim.clients);
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
