#include "app/cli.h"

#include <gtest/gtest.h>

#include <vector>

namespace harlo {
namespace {

struct ModeCase {
  std::vector<const char*> arguments;
  Mode expected;
};

// Only the first argument selects the mode, compared exactly.
TEST(SelectMode, FirstArgumentOnly) {
  const std::vector<ModeCase> cases = {
      {{"--capabilities"}, Mode::capabilities},
      {{"--self-test"}, Mode::selfTest},
      {{"--stdio"}, Mode::stdio},
      {{"--self-test", "--stdio"}, Mode::selfTest},
      {{"--stdio", "--self-test"}, Mode::stdio},
      {{"--capabilities", "extra", "args"}, Mode::capabilities},
      {{}, Mode::usage},
      {{"--STDIO"}, Mode::usage},
      {{"-stdio"}, Mode::usage},
      {{"--stdio=1"}, Mode::usage},
      {{""}, Mode::usage},
      {{"--help"}, Mode::usage},
      {{"stdio"}, Mode::usage},
      {{"--stdio "}, Mode::usage},
      {{"x", "--stdio"}, Mode::usage},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const char* a : c.arguments) joined += std::string("[") + a + "]";
    EXPECT_EQ(selectMode(c.arguments), c.expected) << joined;
  }
}

}  // namespace
}  // namespace harlo
