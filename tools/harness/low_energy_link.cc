#include "low_energy_link.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace harlo::harness {
namespace {

std::string describe(const CallOutcome& outcome) {
  return outcome.errorName + ": " + outcome.errorMessage;
}

// How long nextLine waits before asking for notifications again.
constexpr std::chrono::milliseconds pollInterval{10};

// The failure of a write that found the helper's socket full (ATT's
// Unlikely Error), and how long write() waits before it tries again.
constexpr std::string_view socketFull = "ATT error 0x0e: not sent on the write socket";
constexpr std::chrono::milliseconds retryInterval{5};

}  // namespace

Result<LowEnergyLink, std::string> LowEnergyLink::connect(BluezSim& sim, std::uint16_t mtu,
                                                          bool bonded, bool trusted) {
  auto device = sim.connectLowEnergy(mtu, bonded, trusted);
  if (!device) return fail("ConnectLowEnergy: " + describe(device.error()));
  const CallOutcome subscribed = sim.subscribe(device.value());
  if (!subscribed.ok()) return fail("Subscribe: " + describe(subscribed));
  return LowEnergyLink(std::move(device.value()), mtu);
}

Result<void, std::string> LowEnergyLink::write(BluezSim& sim, std::string_view bytes,
                                               std::chrono::milliseconds bound) {
  const std::size_t chunk = mtu_ - 3u;
  auto deadline = std::chrono::steady_clock::now() + bound;
  for (std::size_t at = 0; at < bytes.size();) {
    const CallOutcome written = sim.writeLowEnergy(device_, bytes.substr(at, chunk), true);
    if (written.ok()) {
      at += chunk;
      deadline = std::chrono::steady_clock::now() + bound;
      continue;
    }
    const bool full = written.errorMessage.starts_with(socketFull);
    if (!full || std::chrono::steady_clock::now() >= deadline)
      return fail("the write at byte " + std::to_string(at) + ": " + describe(written));
    std::this_thread::sleep_for(retryInterval);
  }
  return {};
}

Result<LineRead, std::string> LowEnergyLink::nextLine(BluezSim& sim,
                                                      std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (received_.find('\n') == std::string::npos) {
    auto packets = sim.takeNotifications(device_);
    if (!packets) return fail("TakeNotifications: " + describe(packets.error()));
    for (const std::string& packet : packets.value()) {
      largestNotification_ = std::max(largestNotification_, packet.size());
      received_ += packet;
    }
    if (!packets.value().empty()) continue;
    if (std::chrono::steady_clock::now() >= deadline) return LineRead{LineRead::Kind::silence, {}};
    std::this_thread::sleep_for(pollInterval);
  }
  const std::size_t end = received_.find('\n');
  std::string line = received_.substr(0, end);
  received_.erase(0, end + 1);
  return LineRead{LineRead::Kind::line, std::move(line)};
}

}  // namespace harlo::harness
