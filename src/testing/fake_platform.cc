#include "testing/fake_platform.h"

#include <utility>

namespace harlo::platform {

class FakeServiceRecord final : public ServiceRecord {
 public:
  // Made under the platform's mutex.
  explicit FakeServiceRecord(FakePlatform& platform)
      : platform_(platform), generation_(platform.serviceGeneration_) {}

  Result<std::uint8_t, Status> rfcommChannelID() override {
    platform_.record("rfcommChannelID");
    std::lock_guard lock(platform_.mutex_);
    if (platform_.channelQueryFailure_) return fail(*platform_.channelQueryFailure_);
    return platform_.grantedChannel_;
  }

  void remove() override {
    platform_.record("remove");
    // The real platform withdraws the record on the loop; waiting for the loop
    // here exposes a caller that holds a lock the loop needs.
    platform_.onLoop([this] {
      std::lock_guard lock(platform_.mutex_);
      if (!removed_ && generation_ == platform_.serviceGeneration_) --platform_.liveRecords_;
      removed_ = true;
    });
  }

 private:
  FakePlatform& platform_;
  const std::uint64_t generation_;
  bool removed_ = false;  // guarded by the platform's mutex
};

class FakeRegistration final : public ChannelOpenRegistration {
 public:
  // Made under the platform's mutex.
  explicit FakeRegistration(FakePlatform& platform)
      : platform_(platform), generation_(platform.serviceGeneration_) {}

  void unregister() override {
    platform_.record("unregister");
    platform_.onLoop([this] {
      std::lock_guard lock(platform_.mutex_);
      if (platform_.registration_.get() == this) platform_.observer_ = nullptr;
      if (!unregistered_ && generation_ == platform_.serviceGeneration_) {
        --platform_.liveRegistrations_;
      }
      unregistered_ = true;
    });
  }

 private:
  FakePlatform& platform_;
  const std::uint64_t generation_;
  bool unregistered_ = false;  // guarded by the platform's mutex
};

// The service offered over LE; withdrawing it is only recorded.
class FakeLowEnergyOffer final : public ChannelOpenRegistration {
 public:
  explicit FakeLowEnergyOffer(FakePlatform& platform) : platform_(platform) {}
  void unregister() override { platform_.record("withdrawLowEnergy"); }

 private:
  FakePlatform& platform_;
};

FakePlatform::FakePlatform() : loop_(manualLoop_) {}

FakePlatform::FakePlatform(MainLoop& loop) : loop_(loop) {}

std::shared_ptr<ServiceRecord> FakePlatform::publishServiceRecord(
    const ServiceDescription& description) {
  record("publish");
  std::lock_guard lock(mutex_);
  description_ = description;
  if (refusePublication_) return nullptr;
  ++liveRecords_;
  return std::make_shared<FakeServiceRecord>(*this);
}

std::shared_ptr<ChannelOpenRegistration> FakePlatform::registerForChannelOpenNotifications(
    std::uint8_t channelID, ChannelOpenObserver& observer) {
  record("register " + std::to_string(channelID));
  std::lock_guard lock(mutex_);
  if (refuseRegistration_) return nullptr;
  registration_ = std::make_shared<FakeRegistration>(*this);
  observer_ = &observer;
  ++liveRegistrations_;
  return registration_;
}

void FakePlatform::observeBluetoothService(BluetoothServiceObserver* observer) {
  std::lock_guard lock(mutex_);
  serviceObserver_ = observer;
}

std::shared_ptr<ChannelOpenRegistration> FakePlatform::offerLowEnergyService(
    const ServiceDescription&, ChannelOpenObserver&) {
  record("offerLowEnergy");
  std::lock_guard lock(mutex_);
  if (refuseLowEnergy_) return nullptr;
  return std::make_shared<FakeLowEnergyOffer>(*this);
}

void FakePlatform::refuseLowEnergy(bool refuse) {
  std::lock_guard lock(mutex_);
  refuseLowEnergy_ = refuse;
}

void FakePlatform::refusePublication(bool refuse) {
  std::lock_guard lock(mutex_);
  refusePublication_ = refuse;
}

void FakePlatform::grantChannel(std::uint8_t channelID) {
  std::lock_guard lock(mutex_);
  grantedChannel_ = channelID;
}

void FakePlatform::failChannelQuery(std::optional<Status> status) {
  std::lock_guard lock(mutex_);
  channelQueryFailure_ = status;
}

void FakePlatform::refuseRegistration(bool refuse) {
  std::lock_guard lock(mutex_);
  refuseRegistration_ = refuse;
}

void FakePlatform::setDelegateStatus(Status status) {
  std::lock_guard lock(mutex_);
  delegateStatus_ = status;
}

void FakePlatform::failWrites(Status status) {
  std::lock_guard lock(mutex_);
  writeStatus_ = status;
}

std::vector<std::string> FakePlatform::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::size_t FakePlatform::liveRecords() const {
  std::lock_guard lock(mutex_);
  return liveRecords_;
}

std::size_t FakePlatform::liveRegistrations() const {
  std::lock_guard lock(mutex_);
  return liveRegistrations_;
}

std::optional<ServiceDescription> FakePlatform::publishedDescription() const {
  std::lock_guard lock(mutex_);
  return description_;
}

std::shared_ptr<FakeChannel> FakePlatform::makeChannel(std::uint8_t id) {
  std::uint8_t serviceChannel = 0;
  {
    std::lock_guard lock(mutex_);
    serviceChannel = grantedChannel_;
  }
  return std::make_shared<FakeChannel>(*this, id, serviceChannel);
}

void FakePlatform::openChannel(std::shared_ptr<FakeChannel> channel) {
  deliver([this, channel = std::move(channel)] {
    ChannelOpenObserver* observer;
    std::shared_ptr<ChannelOpenRegistration> registration;
    {
      std::lock_guard lock(mutex_);
      observer = observer_;
      registration = registration_;
    }
    if (observer != nullptr) observer->handleChannelOpen(*registration, channel);
  });
}

void FakePlatform::deliverData(std::shared_ptr<FakeChannel> channel, std::string_view bytes) {
  if (bytes.empty()) return;  // the platform never delivers empty data
  deliver([channel = std::move(channel), bytes = std::string(bytes)]() mutable {
    channel->receive(std::move(bytes));
  });
}

void FakePlatform::completeOpen(std::shared_ptr<FakeChannel> channel, Status status) {
  deliver([channel = std::move(channel), status] {
    ChannelDelegate* delegate = channel->deliverableDelegate();
    if (delegate != nullptr) delegate->rfcommChannelOpenComplete(*channel, status);
  });
}

void FakePlatform::closeByPeer(std::shared_ptr<FakeChannel> channel) {
  // The platform learns of a peer's close on the loop, in order with the
  // channel's data; until then the channel is open for writers.
  deliver([channel = std::move(channel)] {
    if (channel->markClosed()) notifyClosed(*channel);
  });
}

void FakePlatform::stopService() {
  deliver([this] {
    BluetoothServiceObserver* observer;
    {
      std::lock_guard lock(mutex_);
      observer_ = nullptr;
      ++serviceGeneration_;
      liveRecords_ = 0;
      liveRegistrations_ = 0;
      observer = serviceObserver_;
    }
    if (observer != nullptr) observer->bluetoothServiceStopped();
  });
}

void FakePlatform::setPoweredAdapter(bool present) {
  deliver([this, present] {
    BluetoothServiceObserver* observer;
    {
      std::lock_guard lock(mutex_);
      observer = serviceObserver_;
    }
    if (observer != nullptr) observer->poweredAdapterPresent(present);
  });
}

void FakePlatform::failLowEnergy(std::string why) {
  deliver([this, why = std::move(why)] {
    BluetoothServiceObserver* observer;
    {
      std::lock_guard lock(mutex_);
      observer = serviceObserver_;
    }
    if (observer != nullptr) observer->lowEnergyUnavailable(why);
  });
}

void FakePlatform::returnService() {
  deliver([this] {
    BluetoothServiceObserver* observer;
    {
      std::lock_guard lock(mutex_);
      observer = serviceObserver_;
    }
    if (observer != nullptr) observer->bluetoothServiceReturned();
  });
}

void FakePlatform::record(std::string call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

void FakePlatform::deliver(std::function<void()> callback) { loop_.post(std::move(callback)); }

void FakePlatform::onLoop(const std::function<void()>& work) { loop_.postAndWait(work); }

void FakePlatform::deliverClose(std::shared_ptr<FakeChannel> channel) {
  deliver([channel = std::move(channel)] { notifyClosed(*channel); });
}

void FakePlatform::notifyClosed(FakeChannel& channel) {
  ChannelDelegate* delegate = channel.deliverableDelegate();
  channel.markCloseDelivered();
  if (delegate != nullptr) delegate->rfcommChannelClosed(channel);
}

}  // namespace harlo::platform
