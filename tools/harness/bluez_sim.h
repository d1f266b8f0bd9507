// BluezSim: runs the bluez-sim program (tools/bluez-sim) on a PrivateBus,
// standing in for bluetoothd for the process-level tests, the demo and the
// benchmark driver.
//
//   auto bus = PrivateBus::start();                        // ASSERT ok
//   auto sim = BluezSim::start(*bus.value());              // ASSERT ok
//   auto helper = Subprocess::start({HARLO_HELPER_PATH, "--stdio"},
//                                   bus.value()->environment());
//   ... wait for the helper's "ready" event ...
//   auto registered = sim.value()->registrations();        // what was registered
//   auto client = sim.value()->connectClient();            // one Bluetooth client
//   writeWithin(client.value().get(), "{\"type\":\"hello\"}\n");  // bounded_io.h
//   auto ack = readLineWithin(client.value().get());       // line_reader.h
//   EXPECT_EQ(sim.value()->stop(), ExitStatus::exitedWith(0));  // Release() to all
//
// start() returns once the simulator owns org.bluez and listens, so a helper
// started afterwards finds it. Its standard error lines (documented in
// tools/bluez-sim/profile_manager.h, client_listener.h and adapters.h) can be
// awaited with waitForLog. Starting a second BluezSim on the same bus after
// the first has stopped stands for bluetoothd restarting. Its adapters are
// changed through a bus connection of the launcher's own, as `bluetoothctl`
// or the simulator's control object (tools/bluez-sim/sim_control.h) change
// them:
//
//   EXPECT_TRUE(sim.value()->setAdapterPowered("/org/bluez/hci0", false).ok());
//   auto hci1 = sim.value()->addAdapter();                 // "/org/bluez/hci1"
//
// The destructor kills a simulator still running. Not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "bluez-sim/record_file.h"
#include "bluez-sim/sim_options.h"
#include "bus_client.h"
#include "private_bus.h"
#include "subprocess.h"
#include "temp_dir.h"
#include "unique_fd.h"
#include "wait_bounds.h"

namespace harlo::harness {

using bluez_sim::ProfileOption;
using bluez_sim::RecordedAdvertisement;
using bluez_sim::RecordedGattApplication;
using bluez_sim::RecordedProfile;
using bluez_sim::StartAdapter;
using bluez_sim::UnregisterCall;

struct BluezSimOptions {
  bool failRegister = false;  // every RegisterProfile fails with org.bluez.Error.Failed
  // UnregisterProfile calls are recorded but never answered, as by a hung
  // bluetoothd.
  bool neverAnswerUnregister = false;
  // hci0 at start: powered, powered off, or no adapter at all.
  StartAdapter adapter = StartAdapter::powered;
  bool noLowEnergy = false;    // adapters offer neither GattManager1 nor LEAdvertisingManager1
  bool noAdvertising = false;  // every RegisterAdvertisement is refused
};

class BluezSim final {
 public:
  using Options = BluezSimOptions;

  // Starts the simulator with a client socket and a record file in a fresh
  // temporary folder and waits (bounded) for "bluez-sim ready". Fails with
  // the reason and the simulator's standard error.
  static Result<std::unique_ptr<BluezSim>, std::string> start(const PrivateBus& bus,
                                                              Options options = {});

  ~BluezSim() = default;
  BluezSim(const BluezSim&) = delete;
  BluezSim& operator=(const BluezSim&) = delete;

  // Connects one simulated Bluetooth client: the simulator hands the other
  // end to the listening profile with NewConnection. The socket is blocking;
  // use the bounded calls of bounded_io.h and line_reader.h on it.
  Result<UniqueFd, std::string> connectClient() const;

  // What is registered now, as the simulator last wrote it (it writes before
  // replying to the call that changed it).
  Result<std::vector<RecordedProfile>, std::string> registrations() const;

  // Every UnregisterProfile call the simulator has taken, in arrival order,
  // as it last wrote them (before any reply).
  Result<std::vector<UnregisterCall>, std::string> unregisterCalls() const;

  // Waits (bounded) for a line on the simulator's standard error containing
  // `fragment` and returns it.
  std::optional<std::string> waitForLog(std::string_view fragment,
                                        std::chrono::milliseconds bound = defaultWait);

  // Everything the simulator wrote to standard error so far, for failure
  // messages.
  std::string log() { return process_->transcript(Subprocess::Stream::err); }

  // Sets org.bluez.Adapter1.Powered of the adapter at `adapterPath` and
  // waits (bounded) for the answer. Powering an adapter off drops the links
  // of the clients that came through it; with none powered, new clients are
  // refused.
  CallOutcome setAdapterPowered(const std::string& adapterPath, bool powered);

  // Adds a powered adapter (org.harlo.BluezSim1.AddAdapter) and returns its
  // path; removes one (RemoveAdapter), dropping the links through it. Each
  // waits (bounded) for the answer.
  Result<std::string, CallOutcome> addAdapter();
  CallOutcome removeAdapter(const std::string& adapterPath);

  // The GATT applications and advertisements registered now, as the
  // simulator last wrote them (before replying to the call that changed
  // them).
  Result<std::vector<RecordedGattApplication>, std::string> gattApplications() const;
  Result<std::vector<RecordedAdvertisement>, std::string> advertisements() const;

  // A simulated Bluetooth LE client (the control object's calls, described
  // in tools/bluez-sim/sim_control.h), each waiting (bounded) for its
  // answer. connectLowEnergy answers the device's object path; it is then
  // connected but not subscribed. A write carries at most MTU - 3 bytes.
  Result<std::string, CallOutcome> connectLowEnergy(std::uint16_t mtu, bool bonded = true,
                                                    bool trusted = true);
  CallOutcome disconnectLowEnergy(const std::string& device);
  CallOutcome reconnectLowEnergy(const std::string& device);
  // Sets the device's Trusted property, as `bluetoothctl trust` does.
  CallOutcome setTrusted(const std::string& device, bool trusted);
  CallOutcome subscribe(const std::string& device);
  CallOutcome unsubscribe(const std::string& device);
  CallOutcome writeLowEnergy(const std::string& device, std::string_view value,
                             bool withResponse = false);
  // The notifications `device` received since the last call, in order.
  Result<std::vector<std::string>, CallOutcome> takeNotifications(const std::string& device);
  // While stalled, no LE client takes its notifications.
  CallOutcome setNotificationsStalled(bool stalled);

  // Sends SIGTERM (the simulator sends Release() to every profile) and waits
  // (bounded) for the exit; nothing if it did not exit.
  std::optional<ExitStatus> stop(std::chrono::milliseconds bound = defaultWait);

  Subprocess& process() { return *process_; }
  const std::string& socketPath() const { return socketPath_; }
  const std::string& recordFilePath() const { return recordFile_; }

 private:
  BluezSim(std::unique_ptr<TempDir> folder, std::unique_ptr<Subprocess> process,
           std::unique_ptr<BusClient> control);
  Result<bluez_sim::RecordFile, std::string> readRecord() const;

  std::unique_ptr<TempDir> folder_;
  std::string socketPath_;
  std::string recordFile_;
  std::unique_ptr<Subprocess> process_;  // killed before the folder goes
  std::unique_ptr<BusClient> control_;
};

}  // namespace harlo::harness
