#include "process_stage.h"

#include <chrono>

#include "bounded_io.h"
#include "line_reading.h"
#include "wait_bounds.h"

namespace harlo::demo {
namespace {

using harness::BluezSim;
using harness::defaultWait;
using harness::PrivateBus;
using harness::Subprocess;

}  // namespace

Result<std::unique_ptr<ProcessStage>, std::string> ProcessStage::start(
    const std::string& helperPath, std::ostream& narration, LowEnergy lowEnergy) {
  auto bus = PrivateBus::start();
  if (!bus) return fail("the private D-Bus daemon did not start: " + bus.error());
  narration << "setup: private D-Bus daemon at " << bus.value()->address() << std::endl;

  auto sim = BluezSim::start(*bus.value());
  if (!sim) return fail("bluez-sim did not start: " + sim.error());
  narration << "setup: bluez-sim owns org.bluez; Bluetooth clients connect through "
            << sim.value()->socketPath() << std::endl;

  Subprocess::Environment environment = bus.value()->environment();
  std::string started = helperPath + " --stdio";
  if (lowEnergy == LowEnergy::on) {
    environment.emplace_back("HARLO_BLE", "1");
    started = "HARLO_BLE=1 " + started;
  }
  auto helper = Subprocess::start({helperPath, "--stdio"}, environment);
  if (!helper) return fail("the helper did not start: " + helper.error());
  narration << "setup: started " << started << " (pid " << helper.value()->pid() << ")"
            << std::endl;

  return std::unique_ptr<ProcessStage>(
      new ProcessStage(std::move(bus.value()), std::move(sim.value()), std::move(helper.value())));
}

bool ProcessStage::writeToHelper(std::string_view line) {
  return helper_->writeStdin(std::string(line) + "\n");
}

Reading ProcessStage::readFromHelper() {
  return readingOf(helper_->read(Subprocess::Stream::out, defaultWait), defaultWait);
}

std::optional<ExitStatus> ProcessStage::helperExit() { return helper_->waitForExit(); }

Result<void, std::string> ProcessStage::connectClient(int client) {
  if (clients_.contains(client) || lowEnergyClients_.contains(client)) {
    return fail("client " + std::to_string(client) + " is connected");
  }
  auto fd = sim_->connectClient();
  if (!fd) return fail(fd.error());
  clients_.emplace(client, std::move(fd.value()));
  return {};
}

Result<void, std::string> ProcessStage::connectLowEnergyClient(int client, std::uint16_t mtu) {
  if (clients_.contains(client) || lowEnergyClients_.contains(client)) {
    return fail("client " + std::to_string(client) + " is connected");
  }
  auto link = harness::LowEnergyLink::connect(*sim_, mtu);
  if (!link) return fail(link.error());
  lowEnergyClients_.emplace(client, std::move(link.value()));
  return {};
}

bool ProcessStage::writeFromClient(int client, std::string_view line) {
  if (auto link = lowEnergyClients_.find(client); link != lowEnergyClients_.end()) {
    return link->second.write(*sim_, std::string(line) + "\n").ok();
  }
  auto found = clients_.find(client);
  return found != clients_.end() &&
         harness::writeWithin(found->second.fd.get(), std::string(line) + "\n");
}

Reading ProcessStage::readAtClient(int client) {
  if (auto link = lowEnergyClients_.find(client); link != lowEnergyClients_.end()) {
    auto read = link->second.nextLine(*sim_, defaultWait);
    // Notifications that cannot be taken are a link that has ended.
    if (!read) return Reading::endAfter();
    return readingOf(std::move(read.value()), defaultWait);
  }
  auto found = clients_.find(client);
  if (found == clients_.end()) return Reading::endAfter();
  return readingOf(found->second.lines.next(defaultWait), defaultWait);
}

std::optional<std::string> ProcessStage::waitForSimLog(std::string_view fragment) {
  return sim_->waitForLog(fragment);
}

Result<std::vector<RecordedProfile>, std::string> ProcessStage::registrations() {
  return sim_->registrations();
}

Result<void, std::string> ProcessStage::powerAdapter(bool on) {
  const auto outcome = sim_->setAdapterPowered("/org/bluez/hci0", on);
  if (outcome.ok()) return {};
  return fail(outcome.errorName + ": " + outcome.errorMessage);
}

std::optional<ExitStatus> ProcessStage::stopSim() { return sim_->stop(); }

std::string ProcessStage::helperErrorOutput() {
  return helper_->transcript(Subprocess::Stream::err);
}

std::string ProcessStage::simErrorOutput() { return sim_->log(); }

}  // namespace harlo::demo
