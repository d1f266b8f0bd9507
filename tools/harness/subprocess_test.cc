#include "subprocess.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>

namespace harlo::harness {
namespace {

using Stream = Subprocess::Stream;

std::unique_ptr<Subprocess> startCat() {
  auto cat = Subprocess::start({"/bin/cat"});
  EXPECT_TRUE(cat.ok()) << cat.error();
  return std::move(cat).value();
}

// Lines come out whole and in order, whether several arrive at once or one
// is split between writes.
TEST(Subprocess, ReadLineJoinsAndSplitsWhatArrives) {
  auto cat = startCat();
  ASSERT_TRUE(cat->writeStdin("one\ntw"));
  EXPECT_EQ(cat->readLine(Stream::out), "one");
  ASSERT_TRUE(cat->writeStdin("o\nthree\n"));
  EXPECT_EQ(cat->readLine(Stream::out), "two");
  EXPECT_EQ(cat->readLine(Stream::out), "three");
  cat->closeStdin();
  EXPECT_EQ(cat->waitForExit(), ExitStatus::exitedWith(0));
}

// Skipped lines are consumed exactly: what follows them is still there, and
// draining counts what is left.
TEST(Subprocess, SkipLinesLeavesTheRestForReadLine) {
  auto cat = startCat();
  ASSERT_TRUE(cat->writeStdin("1\n2\n3\nrest\nmore"));
  EXPECT_TRUE(cat->skipLines(Stream::out, 3));
  EXPECT_EQ(cat->readLine(Stream::out), "rest");
  cat->closeStdin();
  EXPECT_EQ(cat->drainToEnd(Stream::out), 4u);
}

// Output that ends before the lines asked for gives nothing, not a hang.
TEST(Subprocess, EndOfOutputBeforeTheLinesGivesNothing) {
  auto partial = startCat();
  ASSERT_TRUE(partial->writeStdin("no line feed"));
  partial->closeStdin();
  EXPECT_EQ(partial->readLine(Stream::out), std::nullopt);
  EXPECT_EQ(partial->transcript(Stream::out), "no line feed");

  auto early = startCat();
  ASSERT_TRUE(early->writeStdin("a\nb\n"));
  early->closeStdin();
  EXPECT_FALSE(early->skipLines(Stream::out, 3));
}

// The exit status and the child's resource usage come back, and the child
// sees added and replaced variables.
TEST(Subprocess, ReportsExitStatusAndPassesTheEnvironment) {
  auto failing = Subprocess::start({"/bin/sh", "-c", "exit 3"});
  ASSERT_TRUE(failing.ok()) << failing.error();
  EXPECT_FALSE(failing.value()->resourceUsage().has_value());
  EXPECT_EQ(failing.value()->waitForExit(), ExitStatus::exitedWith(3));
  EXPECT_TRUE(failing.value()->resourceUsage().has_value());

  auto shell = Subprocess::start({"/bin/sh", "-c", "echo \"$HARLO_HARNESS_ADDED $HOME\""},
                                 {{"HARLO_HARNESS_ADDED", "added"}, {"HOME", "/replaced"}});
  ASSERT_TRUE(shell.ok()) << shell.error();
  EXPECT_EQ(shell.value()->readLine(Stream::out), "added /replaced");
  EXPECT_EQ(shell.value()->waitForExit(), ExitStatus::exitedWith(0));
}

// A child still running when its owner goes is killed and reaped.
TEST(Subprocess, DestructorEndsARunningChild) {
  pid_t pid = 0;
  {
    auto cat = startCat();
    pid = cat->pid();
    ASSERT_EQ(::kill(pid, 0), 0);
  }
  errno = 0;
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

}  // namespace
}  // namespace harlo::harness
