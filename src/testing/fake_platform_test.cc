#include "testing/fake_platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/run_loop.h"
#include "testing/test_watchdog.h"

namespace harlo::platform {
namespace {

// The number of a fake's channel.
std::string idOf(const Channel& channel) {
  return std::to_string(static_cast<const FakeChannel&>(channel).channelID());
}

// Records every callback as text, with the thread it arrived on.
class Recorder final : public ChannelOpenObserver, public ChannelDelegate {
 public:
  void handleChannelOpen(ChannelOpenRegistration&, std::shared_ptr<Channel> channel) override {
    add("open " + idOf(*channel));
  }
  void rfcommChannelData(Channel& channel, std::span<const std::uint8_t> data) override {
    add("data " + idOf(channel) + " " + std::string(data.begin(), data.end()));
  }
  void rfcommChannelOpenComplete(Channel& channel, Status status) override {
    add("complete " + idOf(channel) + " " + std::to_string(status));
  }
  void rfcommChannelClosed(Channel& channel) override { add("closed " + idOf(channel)); }

  std::vector<std::string> seen;
  std::vector<std::thread::id> threads;

 private:
  void add(std::string text) {
    seen.push_back(std::move(text));
    threads.push_back(std::this_thread::get_id());
  }
};

// A channel's close is delivered once, after close() returns, and nothing of
// that channel follows it; a write after close fails with a broken pipe.
TEST(FakePlatform, CloseIsDeliveredExactlyOnceAndLast) {
  FakePlatform platform;
  Recorder recorder;
  auto channel = platform.makeChannel(2);
  ASSERT_EQ(channel->setDelegate(&recorder), statusOK);
  platform.deliverData(channel, "before");
  channel->close(CloseReason::stopped);
  EXPECT_TRUE(recorder.seen.empty());
  channel->close(CloseReason::stopped);
  platform.closeByPeer(channel);
  platform.deliverData(channel, "after");
  platform.completeOpen(channel, 0);
  platform.runPending();
  EXPECT_EQ(recorder.seen, (std::vector<std::string>{"data 2 before", "closed 2"}));
  const std::uint8_t byte[1] = {'x'};
  EXPECT_EQ(channel->write(byte, {}), -32);
}

// Opens reach the observer only while its registration is registered, and
// nothing reaches a channel whose delegate was refused.
TEST(FakePlatform, DeliversOnlyToRegisteredObserversAndAcceptedDelegates) {
  FakePlatform platform;
  Recorder recorder;
  auto refused = platform.makeChannel(3);
  platform.openChannel(refused);  // nobody registered yet
  platform.runPending();
  auto registration = platform.registerForChannelOpenNotifications(1, recorder);
  platform.openChannel(refused);
  platform.setDelegateStatus(-1);
  ASSERT_EQ(refused->setDelegate(&recorder), -1);
  platform.deliverData(refused, "lost");
  platform.closeByPeer(refused);
  platform.runPending();
  registration->unregister();
  platform.openChannel(platform.makeChannel(4));
  platform.runPending();
  EXPECT_EQ(recorder.seen, std::vector<std::string>{"open 3"});
}

// On a run loop, callbacks fired from another thread arrive on the loop
// thread in order, and close() from another thread waits for the loop.
TEST(FakePlatform, OnRunLoopCallbacksArriveOnLoopThread) {
  auto created = RunLoop::create();
  ASSERT_TRUE(created.ok());
  auto loop = std::move(created).value();
  FakePlatform platform(*loop);
  Recorder recorder;
  auto registration = platform.registerForChannelOpenNotifications(1, recorder);
  auto channel = platform.makeChannel(5);
  ASSERT_EQ(channel->setDelegate(&recorder), statusOK);

  std::thread tester([&] {
    platform.openChannel(channel);
    platform.deliverData(channel, "hi");
    platform.completeOpen(channel, -4);
    channel->close(CloseReason::stopped);
    loop->post([&] { loop->stop(); });
  });
  {
    TestWatchdog watchdog("fake platform on a run loop", std::chrono::seconds(10));
    EXPECT_EQ(loop->run(), statusOK);
  }
  tester.join();
  EXPECT_EQ(recorder.seen,
            (std::vector<std::string>{"open 5", "data 5 hi", "complete 5 -4", "closed 5"}));
  for (const auto& id : recorder.threads) EXPECT_EQ(id, std::this_thread::get_id());
}

}  // namespace
}  // namespace harlo::platform
