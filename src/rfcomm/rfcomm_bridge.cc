#include "rfcomm/rfcomm_bridge.h"

#include <string>
#include <utility>

#include "rfcomm/service_description.h"

namespace harlo {
namespace {

// The channel number the bridge asks for; the platform may grant another.
constexpr std::uint8_t preferredChannelID = 1;

std::string decimal(std::uint8_t number) { return std::to_string(unsigned{number}); }

}  // namespace

RFCOMMBridge::RFCOMMBridge(platform::BluetoothPlatform& platform, EventCallback emitEvent,
                           ErrorCallback emitError, ProtocolCallback emitProtocol,
                           LowEnergy lowEnergy)
    : platform_(platform),
      emitEvent_(std::move(emitEvent)),
      emitError_(std::move(emitError)),
      emitProtocol_(std::move(emitProtocol)),
      lowEnergy_(lowEnergy) {}

RFCOMMBridge::~RFCOMMBridge() {
  if (observing_) platform_.observeBluetoothService(nullptr);
}

Result<std::uint8_t, BridgeError> RFCOMMBridge::start() {
  const auto listening = publishAndRegister();
  if (!listening) return fail(listening.error());
  const std::uint8_t id = listening.value();
  platform_.observeBluetoothService(this);
  observing_ = true;
  emitEvent_("listening", "RFCOMM service published on channel " + decimal(id));
  return id;
}

Result<std::uint8_t, BridgeError> RFCOMMBridge::publishAndRegister() {
  auto description = makeServiceDescription(preferredChannelID);
  if (!description) return fail(description.error());

  auto record = platform_.publishServiceRecord(description.value());
  if (!record) return fail(BridgeError{"failed to publish local SDP service record"});
  serviceRecord_ = record;

  const auto channelID = record->rfcommChannelID();
  if (!channelID) {
    return fail(BridgeError{"published service record did not expose an RFCOMM channel id: " +
                            std::to_string(channelID.error())});
  }
  const std::uint8_t id = channelID.value();

  auto registration = platform_.registerForChannelOpenNotifications(id, *this);
  if (!registration) {
    return fail(
        BridgeError{"failed to register RFCOMM open notifications for channel " + decimal(id)});
  }
  channelNotification_ = std::move(registration);
  {
    std::lock_guard lock(mutex_);
    activeChannelID_ = id;
  }
  if (lowEnergy_ == LowEnergy::offered) offerLowEnergy(description.value());
  return id;
}

void RFCOMMBridge::offerLowEnergy(const platform::ServiceDescription& description) {
  lowEnergyOffer_ = platform_.offerLowEnergyService(description, *this);
  if (!lowEnergyOffer_) {
    emitError_("cannot offer the service over BLE; RFCOMM clients are not affected");
  }
}

void RFCOMMBridge::stop() {
  // The client channel is closed at once, on the calling thread, so that a
  // write in progress on another thread ends now; the loop then closes
  // whatever client is active when the rest of the work runs there.
  interrupt();
  platform::MainLoop& loop = platform_.mainLoop();
  loop.postAndWait([this] { stopOnLoop(); });
  // The channel's close is delivered in a task of its own, posted while the
  // work above ran; waiting for the loop once more lets it run first.
  loop.postAndWait([] {});
}

void RFCOMMBridge::interrupt() {
  if (const auto channel = takeActiveChannel()) channel->close(platform::CloseReason::stopped);
}

void RFCOMMBridge::stopOnLoop() {
  stopped_ = true;
  if (std::exchange(observing_, false)) platform_.observeBluetoothService(nullptr);
  if (const auto channel = takeActiveChannel()) channel->close(platform::CloseReason::stopped);
  // What the client was owed for its lines comes before anything of the
  // stop; the rest of its input is dropped below.
  finishWaitingHello();
  if (channelNotification_) {
    channelNotification_->unregister();
    channelNotification_.reset();
  }
  if (lowEnergyOffer_) {
    lowEnergyOffer_->unregister();
    lowEnergyOffer_.reset();
  }
  if (serviceRecord_) {
    serviceRecord_->remove();
    serviceRecord_.reset();
  }
  pendingInput_.clear();
}

std::shared_ptr<platform::Channel> RFCOMMBridge::takeActiveChannel() {
  std::lock_guard lock(mutex_);
  return std::move(activeChannel_);
}

std::shared_ptr<platform::Channel> RFCOMMBridge::activeChannel() const {
  std::lock_guard lock(mutex_);
  return activeChannel_;
}

std::uint8_t RFCOMMBridge::activeChannelID() const {
  std::lock_guard lock(mutex_);
  return activeChannelID_;
}

void RFCOMMBridge::handleChannelOpen(platform::ChannelOpenRegistration&,
                                     std::shared_ptr<platform::Channel> channel) {
  std::shared_ptr<platform::Channel> replaced;
  {
    std::lock_guard lock(mutex_);
    if (activeChannel_ != channel) replaced = std::exchange(activeChannel_, channel);
  }
  pendingInput_.clear();
  // Newest wins: the client this one replaces is closed (its close is
  // reported when the platform delivers it), and a hello reply it was owed is
  // finished now, so that nothing of it follows the new client's arrival.
  if (replaced) replaced->close(platform::CloseReason::replaced);
  if (waitingHello_ && waitingHello_->channel != channel) finishWaitingHello();

  if (inputHeld_) channel->setInputPaused(true);
  const platform::Status status = channel->setDelegate(this);
  if (status != platform::statusOK) {
    emitError_("failed to set RFCOMM channel delegate: " + std::to_string(status));
  }
  emitEvent_("client-connected", channel->names().connected);
}

void RFCOMMBridge::rfcommChannelOpenComplete(platform::Channel&, platform::Status status) {
  if (status == platform::statusOK) return;
  emitError_("RFCOMM channel open failed with status " + std::to_string(status));
}

void RFCOMMBridge::rfcommChannelClosed(platform::Channel& channel) {
  // The handle is released after the mutex, so that whatever the channel's
  // destruction does on the platform side happens outside it.
  std::shared_ptr<platform::Channel> closed;
  {
    std::lock_guard lock(mutex_);
    if (activeChannel_.get() == &channel) closed = std::move(activeChannel_);
  }
  if (closed) pendingInput_.clear();
  emitEvent_("client-disconnected", channel.names().disconnected);
}

void RFCOMMBridge::bluetoothServiceStopped() {
  if (stopped_) return;
  const bool firstReport = !serviceLost_;
  serviceLost_ = true;
  // Unknown until the platform tells again, taken as present meanwhile.
  adapterPresent_ = true;
  // The record and the registration died with the service: they are dropped,
  // never withdrawn, so that nothing is asked of a service that is gone (or of
  // the next one, which never knew them).
  channelNotification_.reset();
  lowEnergyOffer_.reset();
  serviceRecord_.reset();
  pendingInput_.clear();
  // The client's link went with the service; its close is reported when the
  // platform delivers it.
  if (const auto channel = takeActiveChannel()) channel->close(platform::CloseReason::serviceLost);
  finishWaitingHello();
  if (firstReport) emitError_("bluetooth service stopped: waiting for it to return");
}

void RFCOMMBridge::bluetoothServiceReturned() {
  if (stopped_ || !serviceLost_) return;
  const auto listening = publishAndRegister();
  if (!listening) {
    // Still lost: the next return tries again.
    emitError_(listening.error().message);
    return;
  }
  serviceLost_ = false;
  // The adapters were told before the return: with none powered the service
  // waits for one, as at any adapter outage.
  if (!adapterPresent_) {
    emitError_("no powered Bluetooth adapter: waiting for one");
    return;
  }
  emitEvent_("listening", "RFCOMM service published on channel " + decimal(listening.value()));
}

void RFCOMMBridge::poweredAdapterPresent(bool present) {
  if (stopped_ || present == adapterPresent_) return;
  adapterPresent_ = present;
  // While the service is lost the state is only kept, for its return.
  if (serviceLost_) return;
  if (!present) {
    emitError_("no powered Bluetooth adapter: waiting for one");
    return;
  }
  emitEvent_("listening", "RFCOMM service published on channel " + decimal(activeChannelID()));
}

void RFCOMMBridge::lowEnergyUnavailable(std::string_view why) {
  if (stopped_ || serviceLost_) return;
  emitError_(why);
}

}  // namespace harlo
