#include "fake_stage.h"

namespace harlo::demo {

bool FakeStage::writeToHelper(std::string_view line) {
  if (refuseWrites) return false;
  actions.push_back("parent: " + std::string(line));
  return true;
}

Result<void, std::string> FakeStage::connectClient(int client) {
  if (refuseConnection) return fail(*refuseConnection);
  actions.push_back("connect " + std::to_string(client));
  return {};
}

Result<void, std::string> FakeStage::connectLowEnergyClient(int client, std::uint16_t mtu) {
  if (refuseConnection) return fail(*refuseConnection);
  actions.push_back("connect " + std::to_string(client) + " over LE, MTU " + std::to_string(mtu));
  return {};
}

bool FakeStage::writeFromClient(int client, std::string_view line) {
  if (refuseWrites) return false;
  actions.push_back("client " + std::to_string(client) + ": " + std::string(line));
  return true;
}

std::optional<std::string> FakeStage::waitForSimLog(std::string_view fragment) {
  while (!simLog.empty()) {
    std::string line = std::move(simLog.front());
    simLog.pop_front();
    if (line.find(fragment) != std::string::npos) return line;
  }
  return std::nullopt;
}

Reading FakeStage::next(std::deque<Reading>& queue) {
  if (queue.empty()) return Reading::silenceFor(waited);
  Reading reading = std::move(queue.front());
  queue.pop_front();
  return reading;
}

Result<void, std::string> FakeStage::powerAdapter(bool on) {
  if (refusePower) return fail(*refusePower);
  actions.push_back(on ? "power on" : "power off");
  return {};
}

}  // namespace harlo::demo
