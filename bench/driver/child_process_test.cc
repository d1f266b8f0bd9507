#include "child_process.h"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace harlo::bench {
namespace {

constexpr std::chrono::seconds bound{10};

// Lines come out whole and in order, whether several arrive at once or one
// is split between writes.
TEST(ChildProcess, ReadLineJoinsAndSplitsWhatArrives) {
  auto cat = ChildProcess::start({"/bin/cat"});
  cat->writeStdin("one\ntw");
  EXPECT_EQ(cat->readLine(bound), "one");
  cat->writeStdin("o\nthree\n");
  EXPECT_EQ(cat->readLine(bound), "two");
  EXPECT_EQ(cat->readLine(bound), "three");
  cat->closeStdin();
  EXPECT_EQ(cat->waitForExit(bound).waitStatus, 0);
}

// Skipped lines are consumed exactly: what follows them is still there.
TEST(ChildProcess, SkipLinesLeavesTheRestForReadLine) {
  auto cat = ChildProcess::start({"/bin/cat"});
  cat->writeStdin("1\n2\n3\nrest\nmore");
  cat->skipLines(3, bound);
  EXPECT_EQ(cat->readLine(bound), "rest");
  cat->closeStdin();
  EXPECT_EQ(cat->drainToEnd(bound), 4u);
}

// Output that ends before the lines asked for is an error, not a hang.
TEST(ChildProcess, EndOfOutputBeforeTheLinesThrows) {
  auto partial = ChildProcess::start({"/bin/cat"});
  partial->writeStdin("no line feed");
  partial->closeStdin();
  EXPECT_THROW(partial->readLine(bound), std::runtime_error);

  auto early = ChildProcess::start({"/bin/cat"});
  early->writeStdin("a\nb\n");
  early->closeStdin();
  EXPECT_THROW(early->skipLines(3, bound), std::runtime_error);
}

// The exit status comes back, and the child sees added and replaced
// variables.
TEST(ChildProcess, ReportsExitStatusAndPassesTheEnvironment) {
  auto failing = ChildProcess::start({"/bin/sh", "-c", "exit 3"});
  const int status = failing->waitForExit(bound).waitStatus;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);

  auto shell = ChildProcess::start({"/bin/sh", "-c", "echo \"$HARLO_BENCH_ADDED $HOME\""},
                                   {{"HARLO_BENCH_ADDED", "added"}, {"HOME", "/replaced"}});
  EXPECT_EQ(shell->readLine(bound), "added /replaced");
  EXPECT_EQ(shell->waitForExit(bound).waitStatus, 0);
}

// A child still running when its owner goes is killed and reaped.
TEST(ChildProcess, DestructorEndsARunningChild) {
  pid_t pid = 0;
  {
    auto cat = ChildProcess::start({"/bin/cat"});
    pid = cat->pid();
    ASSERT_EQ(::kill(pid, 0), 0);
  }
  errno = 0;
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

}  // namespace
}  // namespace harlo::bench
