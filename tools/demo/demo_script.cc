#include "demo_script.h"

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

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

// The event that reports a client line written: the payload and its line feed.
std::string wrote(const std::string& line) {
  return event("rfcomm-write",
               "wrote " + std::to_string(line.size() + 1) + " bytes to RFCOMM channel " + channel);
}

// Client `client` says hello; the helper answers it and forwards the line.
std::vector<Step> helloAnswered(int client) {
  const std::string hello = R"({"type":"hello","version":1})";
  const std::string helloAck(helloAckPayload.substr(0, helloAckPayload.size() - 1));
  return {
      ClientSends{client, hello},
      ClientReceives{client, helloAck},
      ParentReceives{event("handshake", "Received hello, responding with hello_ack directly")},
      ParentReceives{wrote(helloAck)},
      ParentReceives{protocol(hello)},
  };
}

// `first`, then each of `more`, in order.
std::vector<Step> joinedSteps(std::vector<Step> first,
                              std::initializer_list<std::vector<Step>> more) {
  for (const std::vector<Step>& steps : more) first.insert(first.end(), steps.begin(), steps.end());
  return first;
}

std::string device(int client) {
  return "/org/bluez/hci0/dev_00_00_00_00_00_0" + std::to_string(client);
}

}  // namespace

std::vector<Step> bridgeSessionScript() {
  const std::string toClient1 = R"({"type":"insert","text":"naïve café ☕"})";
  const std::string fromClient1 = R"({"type":"typed","text":"Grüße 👋"})";
  const std::string toClient2 = R"({"type":"insert","text":"hello, client 2"})";
  const std::string fromClient2 = R"({"type":"typed","text":"hello, parent"})";
  const std::string connected =
      event("client-connected", "Incoming RFCOMM client connected on channel " + channel);
  const std::string disconnected =
      event("client-disconnected", "RFCOMM client disconnected from channel " + channel);

  return joinedSteps(
      {
          Heading{"1. The helper publishes its service and is ready"},
          ParentReceives{event("listening", "RFCOMM service published on channel " + channel)},
          ParentReceives{event("ready", "stdio bridge ready on RFCOMM channel " + channel)},
          SimLogs{uuid + " for "},  // "registered <path> <uuid> for <owner>, ..."
          SimRegistrations{
              {'"' + std::string(companionServiceName) + "\" " + uuid + ", listening " + channel}},

          Heading{"2. Client 1 connects and says hello; the helper answers it directly"},
          ClientConnects{1},
          SimLogs{"client 1: NewConnection(" + device(1) + ")"},
          ParentReceives{connected},
      },
      {helloAnswered(1),
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
       {
           Heading{"9. The parent shuts the helper down"},
           ParentSends{command("shutdown")},
           ClientSeesEnd{3},
           ParentReceives{disconnected},
           ParentReceives{event("stopping", "shutdown requested")},
           HelperExits{0},
           ParentOutputEnds{},
           SimLogs{"unregistered "},
           SimRegistrations{{}},
           SimStops{},
       }});
}

}  // namespace harlo::demo
