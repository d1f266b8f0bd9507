// The real helper binary's fixed reports and its command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixed_reports.h"
#include "harness_names.h"

namespace harlo::test_support {
namespace {

struct Outcome {
  std::string out;
  std::string err;
  ExitStatus status;
};

Outcome runHelper(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {HARLO_HELPER_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  auto child = Subprocess::start(argv);
  if (!child.ok()) {
    ADD_FAILURE() << child.error();
    return {};
  }
  Subprocess& helper = *child.value();
  helper.closeStdin();
  const auto status = helper.waitForExit();
  if (!status) ADD_FAILURE() << "the helper did not exit";
  return {helper.transcript(Subprocess::Stream::out), helper.transcript(Subprocess::Stream::err),
          status.value_or(ExitStatus{})};
}

constexpr char usage[] = "Usage: HarloCompanionHelper [--capabilities|--self-test|--stdio]\n";

// The two reports are fixed bytes on standard output, nothing on standard
// error, status 0, whatever follows the option.
TEST(AppProcess, FixedReports) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--capabilities"}, capabilitiesLine},
      {{"--capabilities", "--stdio"}, capabilitiesLine},
      {{"--self-test"}, selfTestReport},
      {{"--self-test", "--stdio"}, selfTestReport},
      {{"--self-test", "anything", "else"}, selfTestReport},
  };
  for (const auto& [arguments, expected] : cases) {
    const Outcome outcome = runHelper(arguments);
    EXPECT_EQ(outcome.out, expected) << arguments[0];
    EXPECT_EQ(outcome.err, "") << arguments[0];
    EXPECT_EQ(outcome.status, ExitStatus::exitedWith(0)) << arguments[0];
  }
}

// Anything but one of the three options gives the usage line once on
// standard error, nothing on standard output, and status 1.
TEST(AppProcess, UsageForAnythingElse) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"--STDIO"}, {"-stdio"}, {"--stdio=1"}, {""}, {"--help"}, {"--version", "--stdio"},
  };
  for (const auto& arguments : cases) {
    const std::string label = arguments.empty() ? "(none)" : "[" + arguments[0] + "]";
    const Outcome outcome = runHelper(arguments);
    EXPECT_EQ(outcome.err, usage) << label;
    EXPECT_EQ(outcome.out, "") << label;
    EXPECT_EQ(outcome.status, ExitStatus::exitedWith(1)) << label;
  }
}

}  // namespace
}  // namespace harlo::test_support
