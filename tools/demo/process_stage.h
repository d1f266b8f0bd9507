// ProcessStage: the demo's stage made of real processes: a private D-Bus
// daemon, bluez-sim owning org.bluez on it, and the helper started with
// "--stdio" on that bus, its standard streams on pipes. RFCOMM clients
// connect through the simulator's client socket, LE clients through its
// control object.
//
// Every wait is bounded by harness::defaultWait. Destroying the stage
// closes the clients, then kills (if still running) and reaps the helper,
// the simulator and the daemon in that order, and removes their temporary
// folders. Not thread-safe; create and use it on one thread, which must
// outlive it (its children are bound to that thread).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "bluez_sim.h"
#include "demo_script.h"
#include "line_reader.h"
#include "low_energy_link.h"
#include "private_bus.h"
#include "stage.h"
#include "subprocess.h"
#include "unique_fd.h"

namespace harlo::demo {

class ProcessStage final : public Stage {
 public:
  // Starts the daemon, the simulator and then the helper at `helperPath`
  // (with HARLO_BLE=1 added to its environment for LowEnergy::on), printing
  // a line to `narration` as each one is up. The error says which could not
  // start and why; whatever had started is stopped again.
  static Result<std::unique_ptr<ProcessStage>, std::string> start(
      const std::string& helperPath, std::ostream& narration, LowEnergy lowEnergy = LowEnergy::off);

  ~ProcessStage() override = default;
  ProcessStage(const ProcessStage&) = delete;
  ProcessStage& operator=(const ProcessStage&) = delete;

  bool writeToHelper(std::string_view line) override;
  Reading readFromHelper() override;
  std::optional<ExitStatus> helperExit() override;

  Result<void, std::string> connectClient(int client) override;
  Result<void, std::string> connectLowEnergyClient(int client, std::uint16_t mtu) override;
  bool writeFromClient(int client, std::string_view line) override;
  Reading readAtClient(int client) override;

  std::optional<std::string> waitForSimLog(std::string_view fragment) override;
  Result<std::vector<RecordedProfile>, std::string> registrations() override;
  Result<void, std::string> powerAdapter(bool on) override;
  std::optional<ExitStatus> stopSim() override;

  std::string helperErrorOutput() override;
  std::string simErrorOutput() override;

 private:
  // A client's link and the lines it receives.
  struct Client {
    explicit Client(harness::UniqueFd link) : fd(std::move(link)), lines(fd.get()) {}
    harness::UniqueFd fd;
    harness::LineReader lines;
  };

  ProcessStage(std::unique_ptr<harness::PrivateBus> bus, std::unique_ptr<harness::BluezSim> sim,
               std::unique_ptr<harness::Subprocess> helper)
      : bus_(std::move(bus)), sim_(std::move(sim)), helper_(std::move(helper)) {}

  // Declared in start order, so that they are destroyed in reverse.
  std::unique_ptr<harness::PrivateBus> bus_;
  std::unique_ptr<harness::BluezSim> sim_;
  std::unique_ptr<harness::Subprocess> helper_;
  std::map<int, Client> clients_;
  std::map<int, harness::LowEnergyLink> lowEnergyClients_;
};

}  // namespace harlo::demo
