// The demo's script: a list of steps, each one thing done on the stage or
// one outcome expected from it, played in order by playScript
// (script_player.h). Clients are numbered from 1 in the order they connect.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace harlo::demo {

// A title printed before a group of steps.
struct Heading {
  std::string title;
};
// The parent writes `line` to the helper.
struct ParentSends {
  std::string line;
};
// The next line the helper writes to the parent is exactly `line`.
struct ParentReceives {
  std::string line;
};
// The next lines the helper writes to the parent are exactly `lines`, in any
// order: for reports that two sources race to make.
struct ParentReceivesAll {
  std::vector<std::string> lines;
};
// The helper's standard output ends with no further line.
struct ParentOutputEnds {};
// A new simulated Bluetooth client connects.
struct ClientConnects {
  int client = 0;
};
// A new simulated Bluetooth LE client with ATT MTU `mtu`, bonded and
// trusted, connects and subscribes to the helper's notifications; from then
// on it writes its lines in writes of at most MTU - 3 bytes and receives
// them in notifications.
struct LowEnergyClientConnects {
  int client = 0;
  std::uint16_t mtu = 0;
};
// The client writes `line` to the helper.
struct ClientSends {
  int client = 0;
  std::string line;
};
// The next line the client receives is exactly `line`.
struct ClientReceives {
  int client = 0;
  std::string line;
};
// The client's link ends with nothing more received.
struct ClientSeesEnd {
  int client = 0;
};
// The simulator logs a line containing `fragment`.
struct SimLogs {
  std::string fragment;
};
// The simulator holds exactly these registrations, each described as
// describeRegistration (script_player.h) does.
struct SimRegistrations {
  std::vector<std::string> profiles;
};
// The helper exits with status `code`.
struct HelperExits {
  int code = 0;
};
// Bluetooth is turned on or off: the simulator's adapter is powered so.
struct AdapterPowered {
  bool on = true;
};
// The simulator, asked to shut down, exits with status 0.
struct SimStops {};

using Step =
    std::variant<Heading, ParentSends, ParentReceives, ParentReceivesAll, ParentOutputEnds,
                 ClientConnects, LowEnergyClientConnects, ClientSends, ClientReceives,
                 ClientSeesEnd, SimLogs, SimRegistrations, AdapterPowered, HelperExits, SimStops>;

// Whether the helper also offers its line service over Bluetooth LE
// (started with HARLO_BLE=1).
enum class LowEnergy { off, on };

// The bridge session the demo plays against a helper started with
// "--stdio": start-up, a client's hello, a ping, payloads both ways, a second
// client replacing the first, Bluetooth turned off and on again, and
// shutdown. With LowEnergy::on, before the shutdown, an LE client replaces
// the RFCOMM client, says hello, exchanges a line each way with the parent,
// and is replaced by an RFCOMM client in turn.
std::vector<Step> bridgeSessionScript(LowEnergy lowEnergy = LowEnergy::off);

}  // namespace harlo::demo
