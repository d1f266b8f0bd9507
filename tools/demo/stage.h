// Stage: everything the demo's script acts on: the helper seen from its
// parent's side, simulated Bluetooth clients numbered from 1, and the
// simulated bluetoothd. ProcessStage runs the real programs; FakeStage
// (tests only) answers from queues and records what it was asked to do.
//
// Every call waits at most a bounded time and reports running out instead of
// blocking. Not thread-safe: one thread plays a script on a stage.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "bluez-sim/record_file.h"
#include "subprocess.h"

namespace harlo::demo {

using bluez_sim::RecordedProfile;
using harness::ExitStatus;

// What one bounded read of a line produced.
struct Reading {
  enum class Kind {
    line,     // `text` is a whole line, without its line feed
    end,      // the stream ended; `text` holds bytes left without a line feed
    silence,  // nothing complete arrived in time; `text` says how long was waited
  };
  Kind kind = Kind::silence;
  std::string text;

  static Reading lineOf(std::string text) { return {Kind::line, std::move(text)}; }
  static Reading endAfter(std::string leftover = {}) { return {Kind::end, std::move(leftover)}; }
  static Reading silenceFor(std::string waited) { return {Kind::silence, std::move(waited)}; }
  bool operator==(const Reading&) const = default;
};

class Stage {
 public:
  virtual ~Stage() = default;

  // The parent's side of the helper: writes `line` and a line feed to its
  // standard input; false if it was not taken in time.
  virtual bool writeToHelper(std::string_view line) = 0;
  // The next line the helper writes to its standard output.
  virtual Reading readFromHelper() = 0;
  // The helper's exit status once it has exited; nothing if it is still
  // running when the wait runs out.
  virtual std::optional<ExitStatus> helperExit() = 0;

  // Connects client `client` over RFCOMM; the error says why it could not.
  virtual Result<void, std::string> connectClient(int client) = 0;
  // Connects client `client` over Bluetooth LE with ATT MTU `mtu`, bonded and
  // trusted, and subscribes it to the helper's notifications; the error says
  // why it could not.
  virtual Result<void, std::string> connectLowEnergyClient(int client, std::uint16_t mtu) = 0;
  // Writes `line` and a line feed as client `client` (an LE client in writes
  // of at most MTU - 3 bytes); false if the client is not connected or the
  // bytes were not taken in time.
  virtual bool writeFromClient(int client, std::string_view line) = 0;
  // The next line client `client` receives (an LE client in notifications);
  // a client never connected has no link and reads as ended. An LE client's
  // link never reads as ended: one that drops just stops notifying.
  virtual Reading readAtClient(int client) = 0;

  // The next line of the simulator's log containing `fragment`, skipping
  // others; nothing if none comes in time.
  virtual std::optional<std::string> waitForSimLog(std::string_view fragment) = 0;
  // The profiles the simulator holds registered now.
  virtual Result<std::vector<RecordedProfile>, std::string> registrations() = 0;
  // Powers the simulator's adapter on or off, as `bluetoothctl power` does;
  // the error says why it could not.
  virtual Result<void, std::string> powerAdapter(bool on) = 0;
  // Asks the simulator to shut down as bluetoothd does; its exit status, or
  // nothing if it did not exit in time.
  virtual std::optional<ExitStatus> stopSim() = 0;

  // What the helper and the simulator wrote to standard error so far, for a
  // failure report.
  virtual std::string helperErrorOutput() = 0;
  virtual std::string simErrorOutput() = 0;
};

}  // namespace harlo::demo
