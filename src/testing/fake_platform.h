// FakePlatform: an in-memory Bluetooth platform for tests.
//
// It records every platform call, in order, in a log a test reads with
// calls(): "publish", "rfcommChannelID", "register <channel>", "unregister",
// "offerLowEnergy", "withdrawLowEnergy", "remove", "setDelegate <id>",
// "write <id> <byte count>", "close <id>". Its switches make publication,
// the channel query, registration, the LE offer, setDelegate and writes
// fail. A test creates channels with makeChannel() and fires the
// platform's callbacks with openChannel(), deliverData(), completeOpen() and
// closeByPeer(), and plays the Bluetooth service going away and coming back
// with stopService() and returnService().
//
// Delivery. The fake posts every callback to its main loop, so callbacks
// arrive on the loop thread as the real platform's do; unregister(), remove()
// and close() do their work on the loop through postAndWait, like the real
// platform, so a caller that holds a lock the loop needs deadlocks here as it
// would there. Built on a RunLoop, that loop's thread delivers; built without
// one, the fake has a ManualLoop of its own: callbacks wait in its queue until
// the test calls runPending() on its own thread.
//
// Callbacks honour the platform contract: an open is delivered only while its
// registration is registered; data, open completions and the close only to a
// delegate that was accepted; a channel's close exactly once (close() or the
// peer's close, whichever comes first), and nothing of that channel after it.
//
// Thread safety: every method may be called from any thread. The fake must
// outlive its channels' callbacks and the loop's last run().
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bluetooth_platform.h"
#include "platform/main_loop.h"
#include "testing/fake_channel.h"
#include "testing/manual_loop.h"

namespace harlo::platform {

class FakePlatform final : public BluetoothPlatform {
 public:
  // Callbacks wait in a queue until runPending().
  FakePlatform();
  // Callbacks are posted to `loop`, which must outlive the fake.
  explicit FakePlatform(MainLoop& loop);
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;

  std::shared_ptr<ServiceRecord> publishServiceRecord(
      const ServiceDescription& description) override;
  std::shared_ptr<ChannelOpenRegistration> registerForChannelOpenNotifications(
      std::uint8_t channelID, ChannelOpenObserver& observer) override;
  void observeBluetoothService(BluetoothServiceObserver* observer) override;
  std::shared_ptr<ChannelOpenRegistration> offerLowEnergyService(
      const ServiceDescription& description, ChannelOpenObserver& observer) override;
  MainLoop& mainLoop() override { return loop_; }

  // Switches; each holds until changed.
  void refusePublication(bool refuse);
  void grantChannel(std::uint8_t channelID);  // what rfcommChannelID() returns (1 at first)
  void failChannelQuery(std::optional<Status> status);  // rfcommChannelID() fails with it
  void refuseRegistration(bool refuse);
  void refuseLowEnergy(bool refuse);
  void setDelegateStatus(Status status);  // what setDelegate() returns (0 at first)
  void failWrites(Status status);         // writes finish at once with it (0: succeed)

  // The platform calls so far, in order.
  std::vector<std::string> calls() const;
  // Records published, and registrations made, since the last stopService()
  // and not yet withdrawn: what the service would keep if the program ended
  // now.
  std::size_t liveRecords() const;
  std::size_t liveRegistrations() const;
  // The description of the last publication, if any.
  std::optional<ServiceDescription> publishedDescription() const;

  // Channel `id` of the service on the channel granted now.
  std::shared_ptr<FakeChannel> makeChannel(std::uint8_t id);

  // Fire the platform's callbacks (posted or queued, see above). The peer's
  // close takes effect when it reaches the loop, after the data fired before
  // it; writes succeed until then.
  void openChannel(std::shared_ptr<FakeChannel> channel);
  void deliverData(std::shared_ptr<FakeChannel> channel, std::string_view bytes);
  void completeOpen(std::shared_ptr<FakeChannel> channel, Status status);
  void closeByPeer(std::shared_ptr<FakeChannel> channel);
  // The service goes away when this reaches the loop, in order with the other
  // callbacks: the records and the registration made so far are dead (an open
  // fired later reaches no one), then the observer's
  // bluetoothServiceStopped() is called. Channels stay as they are, as
  // sockets outlive the daemon. Each call is one more stopped delivery.
  void stopService();
  // Tells the service's observer whether a powered adapter is present, in
  // order with the other callbacks. The fake tells nothing by itself.
  void setPoweredAdapter(bool present);
  // Tells the service's observer that LE failed as `why` says, likewise.
  void failLowEnergy(std::string why);
  // The service is back: the observer's bluetoothServiceReturned() follows.
  // Publication and registration then work as the switches say.
  void returnService();

  // Built without a loop: runs queued callbacks, and those they queue, until
  // none is left. Returns how many ran.
  std::size_t runPending() { return manualLoop_.runPending(); }

 private:
  friend class FakeChannel;
  friend class FakeServiceRecord;
  friend class FakeRegistration;
  friend class FakeLowEnergyOffer;

  void record(std::string call);
  void deliver(std::function<void()> callback);
  // Runs `work` on the loop and waits for it.
  void onLoop(const std::function<void()>& work);
  // Posts the close callback of a channel that was just marked closed.
  void deliverClose(std::shared_ptr<FakeChannel> channel);
  // Delivers the close callback now; on the loop thread only.
  static void notifyClosed(FakeChannel& channel);

  ManualLoop manualLoop_;  // the loop of a fake built without one
  MainLoop& loop_;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;                         // guarded by mutex_
  std::optional<ServiceDescription> description_;          // guarded by mutex_
  std::shared_ptr<ChannelOpenRegistration> registration_;  // guarded by mutex_; the last one
  ChannelOpenObserver* observer_ = nullptr;                // guarded by mutex_
  BluetoothServiceObserver* serviceObserver_ = nullptr;    // guarded by mutex_
  // One more for each stopService() that reached the loop; handles remember
  // theirs, so that only those of the current service count as live.
  std::uint64_t serviceGeneration_ = 0;        // guarded by mutex_
  std::size_t liveRecords_ = 0;                // guarded by mutex_
  std::size_t liveRegistrations_ = 0;          // guarded by mutex_
  bool refusePublication_ = false;             // guarded by mutex_
  std::uint8_t grantedChannel_ = 1;            // guarded by mutex_
  std::optional<Status> channelQueryFailure_;  // guarded by mutex_
  bool refuseRegistration_ = false;            // guarded by mutex_
  bool refuseLowEnergy_ = false;               // guarded by mutex_
  Status delegateStatus_ = statusOK;           // guarded by mutex_
  Status writeStatus_ = statusOK;              // guarded by mutex_
};

}  // namespace harlo::platform
