// FakeStage: a stage for tests of the script player, linked only into
// tests. What the helper, the clients and the simulator will "say" is queued
// beforehand in its public fields; what the script made happen is recorded
// in `actions`, in order. Not thread-safe.
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "stage.h"

namespace harlo::demo {

class FakeStage final : public Stage {
 public:
  // What readFromHelper returns, front first; silence once empty.
  std::deque<Reading> helperOutput;
  // What readAtClient returns for each client, front first; silence once empty.
  std::map<int, std::deque<Reading>> clientInput;
  // The simulator's log; waitForSimLog consumes it up to the line it returns.
  std::deque<std::string> simLog;
  Result<std::vector<RecordedProfile>, std::string> profiles = std::vector<RecordedProfile>{};
  std::optional<ExitStatus> helperStatus;       // nothing: still running
  std::optional<ExitStatus> simStatus;          // nothing: did not stop
  std::optional<std::string> refuseConnection;  // connectClient fails with this
  bool refuseWrites = false;                    // no line is taken
  std::optional<std::string> refusePower;       // powerAdapter fails with this
  std::string helperErrors;
  std::string simErrors;

  // "parent: <line>", "connect <n>", "connect <n> over LE, MTU <mtu>",
  // "client <n>: <line>" for each line taken and connection made, "power
  // on"/"power off" for each change of power.
  std::vector<std::string> actions;

  // What an empty queue reports as the time waited.
  static constexpr const char* waited = "10 s";

  bool writeToHelper(std::string_view line) override;
  Reading readFromHelper() override { return next(helperOutput); }
  std::optional<ExitStatus> helperExit() override { return helperStatus; }

  Result<void, std::string> connectClient(int client) override;
  Result<void, std::string> connectLowEnergyClient(int client, std::uint16_t mtu) override;
  bool writeFromClient(int client, std::string_view line) override;
  Reading readAtClient(int client) override { return next(clientInput[client]); }

  std::optional<std::string> waitForSimLog(std::string_view fragment) override;
  Result<std::vector<RecordedProfile>, std::string> registrations() override { return profiles; }
  Result<void, std::string> powerAdapter(bool on) override;
  std::optional<ExitStatus> stopSim() override { return simStatus; }

  std::string helperErrorOutput() override { return helperErrors; }
  std::string simErrorOutput() override { return simErrors; }

 private:
  static Reading next(std::deque<Reading>& queue);
};

}  // namespace harlo::demo
