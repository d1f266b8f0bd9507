#include "script_player.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "fake_stage.h"

namespace harlo::demo {
namespace {

using ::testing::Contains;
using ::testing::Not;

RecordedProfile profile(std::string uuid, std::string listening,
                        std::vector<bluez_sim::ProfileOption> options) {
  RecordedProfile recorded;
  recorded.path = "/p";
  recorded.owner = ":1.1";
  recorded.uuid = std::move(uuid);
  recorded.listening = std::move(listening);
  recorded.options = std::move(options);
  return recorded;
}

const RecordedProfile companion = profile("u-1", "1", {{"Name", "s", "Svc"}});

// A session in which every kind of step goes as scripted: the stage sees the
// lines and connections in script order and the transcript shows each step.
TEST(ScriptPlayer, PlaysEveryKindOfStepAndPrintsEach) {
  FakeStage stage;
  stage.helperOutput = {Reading::lineOf("ready"), Reading::lineOf("pong"), Reading::lineOf("lost"),
                        Reading::lineOf("gone"), Reading::endAfter()};
  stage.clientInput[1] = {Reading::lineOf("ack"), Reading::endAfter()};
  stage.simLog = {"bluez-sim: warning: skipped", "bluez-sim: registered x"};
  stage.profiles = std::vector<RecordedProfile>{companion};
  stage.helperStatus = ExitStatus::exitedWith(0);
  stage.simStatus = ExitStatus::exitedWith(0);
  const std::vector<Step> script = {
      Heading{"start"},
      ParentReceives{"ready"},
      SimLogs{"registered"},
      SimRegistrations{{"\"Svc\" u-1, listening 1"}},
      ClientConnects{1},
      ClientSends{1, "hi"},
      ClientReceives{1, "ack"},
      ParentSends{"ping"},
      ParentReceives{"pong"},
      AdapterPowered{false},
      ParentReceivesAll{{"gone", "lost"}},
      ClientSeesEnd{1},
      HelperExits{0},
      ParentOutputEnds{},
      SimStops{},
  };
  std::ostringstream transcript;

  auto played = playScript(script, stage, transcript);

  ASSERT_TRUE(played.ok()) << played.error().step << ": " << played.error().saw;
  EXPECT_EQ(stage.actions,
            (std::vector<std::string>{"connect 1", "client 1: hi", "parent: ping", "power off"}));
  EXPECT_EQ(transcript.str(),
            "\n== start ==\n"
            "helper -> parent: ready\n"
            "bluez-sim: registered x\n"
            "bluez-sim registrations: \"Svc\" u-1, listening 1\n"
            "(client 1) connects\n"
            "client -> helper: (client 1) hi\n"
            "helper -> client: (client 1) ack\n"
            "parent -> helper: ping\n"
            "helper -> parent: pong\n"
            "Bluetooth turned off\n"
            "helper -> parent: lost\n"
            "helper -> parent: gone\n"
            "helper -> client: (client 1) (end of file)\n"
            "helper exited: exit 0\n"
            "helper -> parent: (end of output)\n"
            "bluez-sim stopped: exit 0\n");
}

// An LE client is connected with its MTU and labelled as such in every line
// that names it; an RFCOMM client beside it keeps its plain label.
TEST(ScriptPlayer, LabelsLowEnergyClients) {
  FakeStage stage;
  stage.clientInput[4] = {Reading::lineOf("ack")};
  stage.clientInput[5] = {Reading::endAfter()};
  std::ostringstream transcript;

  auto played = playScript({LowEnergyClientConnects{4, 185}, ClientSends{4, "hi"},
                            ClientReceives{4, "ack"}, ClientConnects{5}, ClientSeesEnd{5}},
                           stage, transcript);

  ASSERT_TRUE(played.ok()) << played.error().step << ": " << played.error().saw;
  EXPECT_EQ(stage.actions,
            (std::vector<std::string>{"connect 4 over LE, MTU 185", "client 4: hi", "connect 5"}));
  EXPECT_EQ(transcript.str(),
            "(LE client 4) connects with ATT MTU 185, bonded and trusted, and subscribes\n"
            "client -> helper: (LE client 4) hi\n"
            "helper -> client: (LE client 4) ack\n"
            "(client 5) connects\n"
            "helper -> client: (client 5) (end of file)\n");
}

struct MismatchCase {
  const char* scenario;
  Step step;
  std::function<void(FakeStage&)> arrange;
  Mismatch expected;
};

// Each step reports the outcome it expected and the one it saw, and nothing
// after the failing step is played.
TEST(ScriptPlayer, StopsAtTheFirstUnexpectedOutcome) {
  const std::vector<MismatchCase> cases = {
      {"the helper writes other lines than the set",
       ParentReceivesAll{{"a", "b"}},
       [](FakeStage& s) {
         s.helperOutput = {Reading::lineOf("b"), Reading::lineOf("c")};
       },
       {"helper -> parent", "a; b (in any order)", "b; c"}},
      {"the adapter cannot be powered",
       AdapterPowered{true},
       [](FakeStage& s) { s.refusePower = "no adapter"; },
       {"Bluetooth turned on", "the adapter's power changes", "no adapter"}},
      {"the helper writes another line",
       ParentReceives{"pong"},
       [](FakeStage& s) { s.helperOutput = {Reading::lineOf("error")}; },
       {"helper -> parent", "pong", "error"}},
      {"the helper stays silent",
       ParentReceives{"pong"},
       [](FakeStage&) {},
       {"helper -> parent", "pong", "nothing within 10 s"}},
      {"the helper's output ends inside a line",
       ParentReceives{"pong"},
       [](FakeStage& s) { s.helperOutput = {Reading::endAfter("po")}; },
       {"helper -> parent", "pong", "end of file after the partial line \"po\""}},
      {"the helper writes more before its output ends",
       ParentOutputEnds{},
       [](FakeStage& s) { s.helperOutput = {Reading::lineOf("extra")}; },
       {"helper -> parent", "end of file", "extra"}},
      {"the parent's line is not taken",
       ParentSends{"ping"},
       [](FakeStage& s) { s.refuseWrites = true; },
       {"parent -> helper", "the helper takes the line", "it was not taken"}},
      {"the connection is refused",
       ClientConnects{1},
       [](FakeStage& s) { s.refuseConnection = "connect: refused"; },
       {"(client 1) connects", "the connection is made", "connect: refused"}},
      {"the LE connection is refused",
       LowEnergyClientConnects{4, 23},
       [](FakeStage& s) { s.refuseConnection = "Subscribe: org.bluez.Error.Failed: no"; },
       {"(LE client 4) connects", "the connection is made",
        "Subscribe: org.bluez.Error.Failed: no"}},
      {"the client's line is not taken",
       ClientSends{1, "hi"},
       [](FakeStage& s) { s.refuseWrites = true; },
       {"client -> helper: (client 1)", "the helper takes the line", "it was not taken"}},
      {"the client's link ends instead of a line",
       ClientReceives{1, "ack"},
       [](FakeStage& s) { s.clientInput[1] = {Reading::endAfter()}; },
       {"helper -> client: (client 1)", "ack", "end of file"}},
      {"the client gets a line instead of the end",
       ClientSeesEnd{2},
       [](FakeStage& s) { s.clientInput[2] = {Reading::lineOf("late")}; },
       {"helper -> client: (client 2)", "end of file", "late"}},
      {"the client's link stays up",
       ClientSeesEnd{2},
       [](FakeStage&) {},
       {"helper -> client: (client 2)", "end of file", "nothing within 10 s"}},
      {"the simulator never logs the line",
       SimLogs{"unregistered"},
       [](FakeStage& s) { s.simLog = {"bluez-sim: registered"}; },
       {"bluez-sim log", "a line containing \"unregistered\"",
        "no such line before the wait ran out"}},
      {"a registration is left behind",
       SimRegistrations{{}},
       [](FakeStage& s) { s.profiles = std::vector<RecordedProfile>{companion}; },
       {"bluez-sim registrations", "none", "\"Svc\" u-1, listening 1"}},
      {"the registrations cannot be read",
       SimRegistrations{{}},
       [](FakeStage& s) { s.profiles = fail(std::string("cannot open f")); },
       {"bluez-sim registrations", "none", "unreadable: cannot open f"}},
      {"the helper exits with another status",
       HelperExits{0},
       [](FakeStage& s) { s.helperStatus = ExitStatus::exitedWith(2); },
       {"helper exited", "exit 0", "exit 2"}},
      {"the helper keeps running",
       HelperExits{0},
       [](FakeStage&) {},
       {"helper exited", "exit 0", "still running"}},
      {"the simulator is killed",
       SimStops{},
       [](FakeStage& s) { s.simStatus = ExitStatus::killedBy(9); },
       {"bluez-sim stopped", "exit 0", "signal 9"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    FakeStage stage;
    c.arrange(stage);
    std::ostringstream transcript;

    auto played = playScript({c.step, ParentSends{"after"}}, stage, transcript);

    ASSERT_FALSE(played.ok());
    EXPECT_EQ(played.error(), c.expected);
    EXPECT_THAT(stage.actions, Not(Contains("parent: after")));
    EXPECT_EQ(transcript.str().find("after"), std::string::npos);
  }
}

// The one-line summary of a registration, whatever its options hold.
TEST(ScriptPlayer, DescribesRegistrations) {
  const std::vector<std::pair<RecordedProfile, std::string>> cases = {
      {companion, "\"Svc\" u-1, listening 1"},
      {profile("u-2", "auto", {}), "(no Name) u-2, listening auto"},
      {profile("u-3", "none", {{"Role", "s", "server"}, {"name", "s", "Lower"}}),
       "\"Lower\" u-3, listening none"},
      {profile("u-4", "5", {{"Name", "s", "First"}, {"NAME", "s", "Last"}}),
       "\"Last\" u-4, listening 5"},
  };
  for (const auto& [recorded, expected] : cases) {
    EXPECT_EQ(describeRegistration(recorded), expected);
  }
}

// The report names the step, both outcomes and both standard errors, each
// line of a log indented and an empty log shown as such.
TEST(ScriptPlayer, FormatsTheFailureReport) {
  const Mismatch mismatch{"helper -> parent", "pong", "nothing within 10 s"};

  EXPECT_EQ(formatFailure(mismatch, "", "bluez-sim: ready\nbluez-sim: registered x\n"),
            "demo failed at: helper -> parent\n"
            "  expected: pong\n"
            "  saw:      nothing within 10 s\n"
            "helper standard error:\n"
            "  (nothing)\n"
            "bluez-sim standard error:\n"
            "  bluez-sim: ready\n"
            "  bluez-sim: registered x\n");
}

}  // namespace
}  // namespace harlo::demo
