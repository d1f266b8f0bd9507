#include "demo_script.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <variant>
#include <vector>

#include "base/overloaded.h"

namespace harlo::demo {
namespace {

// What a script does with its clients and headings, as far as can be told
// without playing it.
struct Walk {
  int headings = 0;
  bool headingsInOrder = true;
  int lowEnergyClients = 0;
  std::vector<std::string> faults;
  // By client: true once its RFCOMM link was seen to end (an LE client's
  // never is: its end shows in the simulator's log).
  std::map<int, bool> ended;
  std::map<int, bool> lowEnergy;
};

Walk walk(const std::vector<Step>& script) {
  Walk w;
  const auto connect = [&](int client, bool lowEnergy) {
    if (client != static_cast<int>(w.ended.size()) + 1) {
      w.faults.push_back("client " + std::to_string(client) + " connects out of turn");
    }
    w.ended[client] = false;
    w.lowEnergy[client] = lowEnergy;
    if (lowEnergy) ++w.lowEnergyClients;
  };
  const auto use = [&](int client, const char* how) {
    const auto found = w.ended.find(client);
    if (found == w.ended.end() || found->second) {
      w.faults.push_back(std::string(how) + " client " + std::to_string(client) +
                         ", which is not connected");
    }
  };
  for (const Step& step : script) {
    std::visit(Overloaded{
                   [&](const Heading& heading) {
                     ++w.headings;
                     if (!heading.title.starts_with(std::to_string(w.headings) + ". ")) {
                       w.headingsInOrder = false;
                     }
                   },
                   [&](const ClientConnects& connects) { connect(connects.client, false); },
                   [&](const LowEnergyClientConnects& connects) { connect(connects.client, true); },
                   [&](const ClientSends& sends) { use(sends.client, "a line from"); },
                   [&](const ClientReceives& receives) { use(receives.client, "a line to"); },
                   [&](const ClientSeesEnd& end) {
                     use(end.client, "the end of");
                     if (w.lowEnergy[end.client]) w.faults.push_back("an LE link read to its end");
                     w.ended[end.client] = true;
                   },
                   [](const auto&) {},
               },
               step);
  }
  for (const auto& [client, ended] : w.ended) {
    if (!ended && !w.lowEnergy[client]) {
      w.faults.push_back("client " + std::to_string(client) + " is never seen to end");
    }
  }
  return w;
}

// Both sessions number their headings from 1 and their clients in the order
// they connect, act only on connected clients, and see every RFCOMM client's
// link end by the shutdown; only the LE session has an LE client.
TEST(DemoScript, BothSessionsUseOnlyConnectedClients) {
  for (const LowEnergy lowEnergy : {LowEnergy::off, LowEnergy::on}) {
    const bool on = lowEnergy == LowEnergy::on;
    SCOPED_TRACE(on ? "with LE" : "without LE");

    const Walk w = walk(bridgeSessionScript(lowEnergy));

    EXPECT_EQ(w.faults, std::vector<std::string>{});
    EXPECT_TRUE(w.headingsInOrder);
    EXPECT_EQ(w.headings, on ? 12 : 9);
    EXPECT_EQ(w.lowEnergyClients, on ? 1 : 0);
  }
}

}  // namespace
}  // namespace harlo::demo
