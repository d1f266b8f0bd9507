// The floor programs do the work they stand for (so that a fast floor is not
// a broken one), and the measures drive them end to end with small counts.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "bounded_io.h"
#include "child.h"
#include "measures.h"
#include "session.h"

namespace harlo::bench {
namespace {

constexpr std::chrono::seconds bound{10};

std::string protocolLine(const std::string& payload) {
  return R"({"kind":"protocol","payload":")" + payload +
         R"(","version":1})"
         "\n";
}

// Each payload reaches the client with a line feed, in order, and each line
// gets one 70-byte report, also when a line straddles reads.
TEST(FloorPrograms, ParentToClientForwardsEachPayload) {
  auto session = Session::startFloor(HARLO_FLOOR_PARENT_TO_CLIENT, true);
  const std::string longPayload(6000, 'x');
  const std::string input =
      protocolLine("first") + protocolLine(longPayload) + protocolLine("third");
  writeInput(session->child(), input.substr(0, 10), bound);
  writeInput(session->child(), input.substr(10), bound);
  const std::string expected = "first\n" + longPayload + "\nthird\n";
  EXPECT_EQ(harness::readExactlyWithin(session->client(), expected.size(), bound), expected);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(nextLine(session->child(), bound).size() + 1, 70u);
  EXPECT_EQ(session->finish().status, ExitStatus::exitedWith(0));
}

// Each client line becomes one output line 40 bytes longer that holds it.
TEST(FloorPrograms, ClientToParentWritesOneLinePerClientLine) {
  auto session = Session::startFloor(HARLO_FLOOR_CLIENT_TO_PARENT, true);
  ASSERT_TRUE(harness::writeWithin(session->client(), "hello\nsecond li"));
  ASSERT_TRUE(harness::writeWithin(session->client(), "ne\n"));
  for (const std::string text : {"hello", "second line"}) {
    const std::string line = nextLine(session->child(), bound);
    EXPECT_EQ(line.size() + 1, text.size() + 40);
    EXPECT_NE(line.find(text), std::string::npos) << line;
  }
  EXPECT_EQ(session->finish().status, ExitStatus::exitedWith(0));
}

// Lines come back whole, including one longer than a read block.
TEST(FloorPrograms, EchoReturnsEachLine) {
  auto session = Session::startFloor(HARLO_FLOOR_ECHO, false);
  const std::string longLine(5000, 'y');
  writeInput(session->child(), "short\n" + longLine.substr(0, 3000), bound);
  writeInput(session->child(), longLine.substr(3000) + "\n", bound);
  EXPECT_EQ(nextLine(session->child(), bound), "short");
  EXPECT_EQ(nextLine(session->child(), bound), longLine);
  EXPECT_EQ(session->finish().status, ExitStatus::exitedWith(0));
}

// One 168-byte line, then a clean exit.
TEST(FloorPrograms, CapabilitiesWritesOneLineOfTheReportsLength) {
  auto child = startChild({HARLO_FLOOR_CAPABILITIES});
  EXPECT_EQ(nextLine(*child, bound).size() + 1, 168u);
  EXPECT_EQ(drainToEnd(*child, bound), 0u);
  EXPECT_EQ(waitForExit(*child, bound).status, ExitStatus::exitedWith(0));
}

// The throughput measures complete on the floors and read figures of the
// right process: the peak is at least what was resident before the load.
TEST(FloorPrograms, ThroughputMeasuresCompleteOnTheFloors) {
  auto toClient = Session::startFloor(HARLO_FLOOR_PARENT_TO_CLIENT, true);
  const auto sent = parentToClient(*toClient, 2000, 100);
  EXPECT_GT(sent.idleResidentKiB, 0);
  EXPECT_GE(sent.peakResidentKiB, sent.idleResidentKiB);

  auto toParent = Session::startFloor(HARLO_FLOOR_CLIENT_TO_PARENT, true);
  const auto received = clientToParent(*toParent, 2000, 100);
  EXPECT_GT(received.idleResidentKiB, 0);
  EXPECT_GE(received.peakResidentKiB, received.idleResidentKiB);
}

// One sample per ping; an answer that is not about the ping is an error.
TEST(FloorPrograms, PingRoundTripsCheckTheAnswers) {
  auto echo = Session::startFloor(HARLO_FLOOR_ECHO, false);
  EXPECT_EQ(pingRoundTrips(*echo, 50).size(), 50u);

  auto wrong = Session::startFloor("/usr/bin/yes", false);
  EXPECT_THROW(pingRoundTrips(*wrong, 1), std::runtime_error);
}

// Start-up succeeds for the floor and fails for a program that exits with
// an error status.
TEST(FloorPrograms, StartupRequiresACleanExit) {
  EXPECT_GT(startupMicros({HARLO_FLOOR_CAPABILITIES}), 0);
  EXPECT_THROW(startupMicros({"/bin/sh", "-c", "echo out; exit 2"}), std::runtime_error);
}

}  // namespace
}  // namespace harlo::bench
