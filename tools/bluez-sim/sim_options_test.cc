#include "sim_options.h"

#include <gtest/gtest.h>

namespace harlo::bluez_sim {
namespace {

// Each switch sets its own field and nothing else; paths land where they were named.
TEST(SimOptions, EachArgumentSetsItsOwnField) {
  struct Case {
    std::vector<std::string> args;
    SimOptions expected;
  };
  const Case cases[] = {
      {{}, {}},
      {{"--socket", "/s", "--record-file", "/r"}, {.socketPath = "/s", .recordFile = "/r"}},
      {{"--fail-register"}, {.failRegister = true}},
      {{"--never-answer-unregister"}, {.neverAnswerUnregister = true}},
      {{"--no-adapter"}, {.adapter = StartAdapter::none}},
      {{"--adapter-off", "--adapter-off"}, {.adapter = StartAdapter::unpowered}},
      {{"--help", "--fail-register"}, {.failRegister = true, .help = true}},
  };
  for (const auto& c : cases) {
    auto parsed = parseSimOptions(c.args);
    ASSERT_TRUE(parsed.ok()) << parsed.error();
    EXPECT_EQ(parsed.value(), c.expected) << ::testing::PrintToString(c.args);
  }
}

// A bad command line is refused with an error that names the bad argument.
TEST(SimOptions, RefusesBadArgumentsNamingThem) {
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {{"--socket"}, "--socket needs a path"},
      {{"--record-file", ""}, "--record-file needs a path"},
      {{"--fail-register", "--bogus"}, "unknown argument --bogus"},
      {{"--no-adapter", "--adapter-off"}, "--no-adapter and --adapter-off exclude each other"},
      {{"--adapter-off", "--no-adapter"}, "--no-adapter and --adapter-off exclude each other"},
  };
  for (const auto& c : cases) {
    auto parsed = parseSimOptions(c.args);
    ASSERT_FALSE(parsed.ok()) << ::testing::PrintToString(c.args);
    EXPECT_EQ(parsed.error(), c.error);
  }
}

}  // namespace
}  // namespace harlo::bluez_sim
