#include "platform/linux/run_loop.h"

#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "testing/test_watchdog.h"

namespace harlo::platform {
namespace {

constexpr std::chrono::seconds bound{10};

std::unique_ptr<RunLoop> makeLoop() {
  auto loop = RunLoop::create();
  EXPECT_TRUE(loop.ok());
  return std::move(loop).value();
}

struct Pipe {
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
  void put() const { ASSERT_EQ(write(fds[1], "x", 1), 1); }
  int readEnd() const { return fds[0]; }
  int writeEnd() const { return fds[1]; }
  int fds[2] = {-1, -1};
};

// Keeps a pipe readable and stops the loop after its watch has fired `rounds`
// times. sd-event serves ready sources in turn, so any other ready watch gets
// its chances to fire before the loop stops.
class Sentinel {
 public:
  Sentinel(RunLoop& loop, int rounds) {
    pipe_.put();
    auto watch = loop.watchFd(pipe_.readEnd(), EPOLLIN, [&loop, this, rounds](std::uint32_t) {
      if (++fired_ == rounds) loop.stop();
    });
    EXPECT_TRUE(watch.ok());
    watch_ = std::move(watch).value();
  }

 private:
  Pipe pipe_;
  int fired_ = 0;
  std::unique_ptr<RunLoop::FdWatch> watch_;
};

// Work posted from another thread runs on the loop thread, in posting order.
TEST(RunLoop, PostFromAnotherThreadRunsOnLoopThreadInOrder) {
  auto loop = makeLoop();
  std::vector<int> order;
  std::vector<std::thread::id> ranOn;
  std::thread poster([&] {
    for (int i = 0; i < 200; ++i) {
      loop->post([&, i] {
        order.push_back(i);
        ranOn.push_back(std::this_thread::get_id());
      });
    }
    loop->post([&] { loop->stop(); });
  });
  {
    TestWatchdog watchdog("posted work from another thread", bound);
    EXPECT_EQ(loop->run(), statusOK);
  }
  poster.join();
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
  for (const auto& id : ranOn) EXPECT_EQ(id, std::this_thread::get_id());
}

// stop() from another thread ends a running loop.
TEST(RunLoop, StopFromAnotherThreadEndsRun) {
  auto loop = makeLoop();
  std::promise<void> running;
  loop->post([&] { running.set_value(); });
  std::thread stopper([&] {
    running.get_future().wait();
    loop->stop();
  });
  {
    TestWatchdog watchdog("stop from another thread", bound);
    EXPECT_EQ(loop->run(), statusOK);
  }
  stopper.join();
}

// A stop requested before run() makes run() return at once; work posted
// before it is kept for the next run().
TEST(RunLoop, StopBeforeRunReturnsAtOnceAndKeepsPostedWork) {
  auto loop = makeLoop();
  bool ran = false;
  loop->post([&] { ran = true; });
  loop->stop();
  {
    TestWatchdog watchdog("stop before run", bound);
    EXPECT_EQ(loop->run(), statusOK);
  }
  EXPECT_FALSE(ran);

  loop->post([&] { loop->stop(); });
  {
    TestWatchdog watchdog("second run after an early stop", bound);
    EXPECT_EQ(loop->run(), statusOK);
  }
  EXPECT_TRUE(ran);
}

// Work queued behind the item that stopped the loop runs on the next run()
// without anything else waking the loop.
TEST(RunLoop, WorkLeftByStopRunsOnNextRun) {
  auto loop = makeLoop();
  std::vector<int> order;
  loop->post([&] {
    order.push_back(1);
    loop->stop();
  });
  loop->post([&] {
    order.push_back(2);
    loop->stop();
  });
  TestWatchdog watchdog("work left behind by stop", bound);
  EXPECT_EQ(loop->run(), statusOK);
  EXPECT_EQ(order, std::vector<int>{1});
  EXPECT_EQ(loop->run(), statusOK);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

// postAndWait from another thread returns only after the work ran on the loop.
TEST(RunLoop, PostAndWaitFromAnotherThreadReturnsAfterWork) {
  auto loop = makeLoop();
  std::atomic<bool> workDone{false};
  bool sawDoneAfterReturn = false;
  std::thread::id ranOn;
  std::thread caller([&] {
    loop->postAndWait([&] {
      ranOn = std::this_thread::get_id();
      workDone = true;
    });
    sawDoneAfterReturn = workDone;
    loop->stop();
  });
  {
    TestWatchdog watchdog("postAndWait from another thread", bound);
    EXPECT_EQ(loop->run(), statusOK);
  }
  caller.join();
  EXPECT_TRUE(sawDoneAfterReturn);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

// postAndWait on the loop thread runs the work inline, inside run() and on the
// creating thread before run().
TEST(RunLoop, PostAndWaitOnLoopThreadRunsInline) {
  auto loop = makeLoop();
  bool before = false;
  loop->postAndWait([&] { before = true; });
  EXPECT_TRUE(before);

  bool inside = false;
  bool insideSeenAtReturn = false;
  loop->post([&] {
    loop->postAndWait([&] { inside = true; });
    insideSeenAtReturn = inside;
    loop->stop();
  });
  TestWatchdog watchdog("postAndWait inside the loop", bound);
  EXPECT_EQ(loop->run(), statusOK);
  EXPECT_TRUE(insideSeenAtReturn);
}

// isLoopThread follows the thread inside run(), and the creator otherwise.
TEST(RunLoop, IsLoopThreadFollowsRunningThread) {
  auto loop = makeLoop();
  EXPECT_TRUE(loop->isLoopThread());
  EXPECT_FALSE(std::async(std::launch::async, [&] { return loop->isLoopThread(); }).get());

  std::promise<void> running;
  bool loopThreadSeesItself = false;
  loop->post([&] {
    loopThreadSeesItself = loop->isLoopThread();
    running.set_value();
  });
  TestWatchdog watchdog("run on another thread", bound);
  std::thread runner([&] { EXPECT_EQ(loop->run(), statusOK); });
  running.get_future().wait();
  EXPECT_FALSE(loop->isLoopThread());
  loop->stop();
  runner.join();
  EXPECT_TRUE(loopThreadSeesItself);
  EXPECT_TRUE(loop->isLoopThread());
}

// A watched pipe fires with EPOLLIN when a byte arrives.
TEST(RunLoop, FdWatchFiresForReadablePipe) {
  auto loop = makeLoop();
  Pipe pipe;
  std::uint32_t seen = 0;
  auto watch = loop->watchFd(pipe.readEnd(), EPOLLIN, [&](std::uint32_t revents) {
    seen = revents;
    char byte;
    EXPECT_EQ(read(pipe.readEnd(), &byte, 1), 1);
    loop->stop();
  });
  ASSERT_TRUE(watch.ok());
  pipe.put();
  TestWatchdog watchdog("fd watch", bound);
  EXPECT_EQ(loop->run(), statusOK);
  EXPECT_TRUE(seen & EPOLLIN);
}

// A destroyed watch never fires again, though its fd stays readable.
TEST(RunLoop, DestroyedFdWatchStopsFiring) {
  auto loop = makeLoop();
  Pipe pipe;
  int fired = 0;
  auto watch = loop->watchFd(pipe.readEnd(), EPOLLIN, [&](std::uint32_t) {
    ++fired;
    loop->stop();
  });
  ASSERT_TRUE(watch.ok());
  pipe.put();
  TestWatchdog watchdog("destroyed fd watch", bound);
  EXPECT_EQ(loop->run(), statusOK);
  ASSERT_EQ(fired, 1);

  watch.value().reset();
  Sentinel sentinel(*loop, 5);
  EXPECT_EQ(loop->run(), statusOK);
  EXPECT_EQ(fired, 1);
}

// A watch switched to events that never occur stops firing.
TEST(RunLoop, FdWatchSetEventsChangesWhatFires) {
  auto loop = makeLoop();
  Pipe pipe;
  int fired = 0;
  std::unique_ptr<RunLoop::FdWatch> watch;
  auto created = loop->watchFd(pipe.writeEnd(), EPOLLOUT, [&](std::uint32_t revents) {
    EXPECT_TRUE(revents & EPOLLOUT);
    ++fired;
    EXPECT_EQ(watch->setEvents(EPOLLIN), statusOK);
  });
  ASSERT_TRUE(created.ok());
  watch = std::move(created).value();
  Sentinel sentinel(*loop, 5);
  TestWatchdog watchdog("fd watch events changed", bound);
  EXPECT_EQ(loop->run(), statusOK);
  EXPECT_EQ(fired, 1);
}

// A callback may destroy its own watch (as a channel does on end of file).
TEST(RunLoop, FdWatchMayDestroyItselfInsideItsCallback) {
  auto loop = makeLoop();
  Pipe pipe;
  std::unique_ptr<RunLoop::FdWatch> watch;
  int fired = 0;
  auto created = loop->watchFd(pipe.readEnd(), EPOLLIN, [&](std::uint32_t) {
    ++fired;
    watch.reset();
  });
  ASSERT_TRUE(created.ok());
  watch = std::move(created).value();
  pipe.put();
  Sentinel sentinel(*loop, 5);
  TestWatchdog watchdog("fd watch destroyed by its callback", bound);
  EXPECT_EQ(loop->run(), statusOK);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(watch, nullptr);
}

}  // namespace
}  // namespace harlo::platform
