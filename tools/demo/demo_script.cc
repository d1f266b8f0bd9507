#include "demo_script.h"

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

#include "platform/linux/bluez/bluez_names.h"
#include "protocol/helper_message.h"
#include "protocol/helper_message_json.h"
#include "rfcomm/companion_service.h"

namespace harlo::demo {
namespace {

// The helper publishes its record on this RFCOMM channel, and every channel
// event names it.
const std::string channel = "1";

const std::string uuid(companionServiceUUIDString);

std::string event(std::string name, std::string detail) {
  return encodeHelperMessage(HelperMessage::makeEvent(std::move(name), std::move(detail)));
}

std::string error(std::string message) {
  return encodeHelperMessage(HelperMessage::makeError(std::move(message)));
}

std::string protocol(std::string payload) {
  return encodeHelperMessage(HelperMessage::makeProtocol(std::move(payload)));
}

std::string command(std::string name, std::optional<std::string> detail = std::nullopt) {
  HelperMessage message;
  message.kind = "command";
  message.command = std::move(name);
  message.detail = std::move(detail);
  return encodeHelperMessage(message);
}

// How the helper's reports name the client it writes to, over each transport.
const std::string rfcommClient = "RFCOMM channel " + channel;
const std::string lowEnergyClient = "BLE client";

// The event that reports a client line written to `to`: the payload and its
// line feed.
std::string wrote(const std::string& line, const std::string& to = rfcommClient) {
  return event("rfcomm-write", "wrote " + std::to_string(line.size() + 1) + " bytes to " + to);
}

// Client `client` says hello; the helper answers it and forwards the line.
std::vector<Step> helloAnswered(int client, const std::string& to = rfcommClient) {
  const std::string hello = R"({"type":"hello","version":1})";
  const std::string helloAck(helloAckPayload.substr(0, helloAckPayload.size() - 1));
  return {
      ClientSends{client, hello},
      ClientReceives{client, helloAck},
      ParentReceives{event("handshake", "Received hello, responding with hello_ack directly")},
      ParentReceives{wrote(helloAck, to)},
      ParentReceives{protocol(hello)},
  };
}

// `first`, then each of `more`, in order.
std::vector<Step> joinedSteps(std::vector<Step> first,
                              std::initializer_list<std::vector<Step>> more) {
  for (const std::vector<Step>& steps : more) first.insert(first.end(), steps.begin(), steps.end());
  return first;
}

// The device of the `client`th RFCOMM client (from 1 to 9), as bluez-sim
// names it.
std::string device(int client) {
  return "/org/bluez/hci0/dev_00_00_00_00_00_0" + std::to_string(client);
}

// The device of the `number`th LE client (from 1 to 9), as bluez-sim names it.
std::string lowEnergyDevice(int number) {
  return "/org/bluez/hci0/dev_00_00_01_00_00_0" + std::to_string(number);
}

// The events that report a client come and gone, over each transport.
std::string rfcommConnected() {
  return event("client-connected", "Incoming RFCOMM client connected on channel " + channel);
}
std::string rfcommDisconnected() {
  return event("client-disconnected", "RFCOMM client disconnected from channel " + channel);
}
std::string lowEnergyConnected() {
  return event("client-connected", "Incoming BLE client connected");
}
std::string lowEnergyDisconnected() {
  return event("client-disconnected", "BLE client disconnected");
}

// Played with LowEnergy::on while client 3 is connected over RFCOMM: LE
// client 4 replaces it, says hello and exchanges a line each way with the
// parent; RFCOMM client 5 then replaces it in turn.
std::vector<Step> lowEnergyScenes() {
  const std::string toClient4 = R"({"type":"insert","text":"über LE: 日本語 ✓"})";
  const std::string fromClient4 = R"({"type":"typed","text":"Ça marche 🎉"})";
  const std::string leDevice = lowEnergyDevice(1);
  return joinedSteps(
      {
          Heading{"9. LE client 4 connects, replaces client 3, and says hello"},
          LowEnergyClientConnects{4, 185},
          SimLogs{"le 1: " + leDevice + " connected through "},
          ClientSeesEnd{3},
          SimLogs{"client 3: " + device(3) + " hung up"},
          ParentReceives{lowEnergyConnected()},
          ParentReceives{rfcommDisconnected()},
      },
      {helloAnswered(4, lowEnergyClient),
       {
           Heading{"10. The parent and LE client 4 exchange a line each way"},
           ParentSends{protocol(toClient4)},
           ClientReceives{4, toClient4},
           ParentReceives{wrote(toClient4, lowEnergyClient)},
           ClientSends{4, fromClient4},
           ParentReceives{protocol(fromClient4)},

           Heading{"11. Client 5 connects over RFCOMM and replaces LE client 4"},
           ClientConnects{5},
           ParentReceives{rfcommConnected()},
           ParentReceives{lowEnergyDisconnected()},
           SimLogs{"le 1: " + leDevice + " disconnected: Device1.Disconnect"},
           // The helper renews its GATT service once no LE client is served.
           SimLogs{"bluez-sim: registered GATT application"},
       }});
}

}  // namespace

std::vector<Step> bridgeSessionScript(LowEnergy lowEnergy) {
  const bool withLowEnergy = lowEnergy == LowEnergy::on;
  const std::string toClient1 = R"({"type":"insert","text":"naïve café ☕"})";
  const std::string fromClient1 = R"({"type":"typed","text":"Grüße 👋"})";
  const std::string toClient2 = R"({"type":"insert","text":"hello, client 2"})";
  const std::string fromClient2 = R"({"type":"typed","text":"hello, parent"})";
  const std::string connected = rfcommConnected();
  const std::string disconnected = rfcommDisconnected();
  // The RFCOMM client connected at shutdown.
  const int lastClient = withLowEnergy ? 5 : 3;

  std::vector<Step> startUp = {
      Heading{"1. The helper publishes its service and is ready"},
      ParentReceives{event("listening", "RFCOMM service published on channel " + channel)},
      ParentReceives{event("ready", "stdio bridge ready on RFCOMM channel " + channel)},
      SimLogs{uuid + " for "},  // "registered <path> <uuid> for <owner>, ..."
      SimRegistrations{
          {'"' + std::string(companionServiceName) + "\" " + uuid + ", listening " + channel}},
  };
  if (withLowEnergy) {
    startUp.push_back(SimLogs{"bluez-sim: registered GATT application"});
    startUp.push_back(SimLogs{"bluez-sim: registered advertisement"});
  }

  return joinedSteps(
      std::move(startUp),
      {{
           Heading{"2. Client 1 connects and says hello; the helper answers it directly"},
           ClientConnects{1},
           SimLogs{"client 1: NewConnection(" + device(1) + ")"},
           ParentReceives{connected},
       },
       helloAnswered(1),
       {
           Heading{"3. The parent pings the helper"},
           ParentSends{command("ping", "are you there?")},
           ParentReceives{event("pong", "are you there?")},

           Heading{"4. The parent sends a line to the client"},
           ParentSends{protocol(toClient1)},
           ClientReceives{1, toClient1},
           ParentReceives{wrote(toClient1)},

           Heading{"5. The client sends a line to the parent"},
           ClientSends{1, fromClient1},
           ParentReceives{protocol(fromClient1)},

           Heading{"6. Client 2 connects and replaces client 1"},
           ClientConnects{2},
           SimLogs{"client 2: NewConnection(" + device(2) + ")"},
           ClientSeesEnd{1},
           SimLogs{"client 1: " + device(1) + " hung up"},
           ParentReceives{connected},
           ParentReceives{disconnected},
           ParentSends{protocol(toClient2)},
           ClientReceives{2, toClient2},
           ParentReceives{wrote(toClient2)},
           ClientSends{2, fromClient2},
           ParentReceives{protocol(fromClient2)},

           Heading{"7. Bluetooth is turned off: client 2's link drops, and the parent is told"},
           AdapterPowered{false},
           ClientSeesEnd{2},
           ParentReceivesAll{
               {disconnected, error("no powered Bluetooth adapter: waiting for one")}},

           Heading{"8. Bluetooth is turned on again: the service listens, and client 3 connects"},
           AdapterPowered{true},
           ParentReceives{event("listening", "RFCOMM service published on channel " + channel)},
           ClientConnects{3},
           ParentReceives{connected},
       },
       helloAnswered(3),
       withLowEnergy ? lowEnergyScenes() : std::vector<Step>{},
       {
           Heading{std::to_string(withLowEnergy ? 12 : 9) + ". The parent shuts the helper down"},
           ParentSends{command("shutdown")},
           ClientSeesEnd{lastClient},
           ParentReceives{disconnected},
           ParentReceives{event("stopping", "shutdown requested")},
           HelperExits{0},
           ParentOutputEnds{},
           // Its LE service, when offered, goes too, in whichever order.
           SimLogs{"unregistered " + std::string(platform::profileObjectPath) + " for "},
           SimRegistrations{{}},
           SimStops{},
       }});
}

}  // namespace harlo::demo
