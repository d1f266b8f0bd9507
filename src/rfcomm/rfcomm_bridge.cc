#include "rfcomm/rfcomm_bridge.h"

#include <string>
#include <utility>

#include "base/constants.h"
#include "rfcomm/service_record.h"

namespace harlo {
namespace {

// The channel number the bridge asks for; the platform may grant another.
constexpr std::uint8_t preferredChannelID = 1;

std::string decimal(std::uint8_t number) { return std::to_string(unsigned{number}); }

}  // namespace

RFCOMMBridge::RFCOMMBridge(platform::BluetoothPlatform& platform, EventCallback emitEvent,
                           ErrorCallback emitError, ProtocolCallback emitProtocol)
    : platform_(platform),
      emitEvent_(std::move(emitEvent)),
      emitError_(std::move(emitError)),
      emitProtocol_(std::move(emitProtocol)),
      pendingInput_(maxLineBytes) {}

Result<std::uint8_t, BridgeError> RFCOMMBridge::start() {
  const auto listening = publishAndRegister();
  if (!listening) return fail(listening.error());
  const std::uint8_t id = listening.value();
  platform_.observeBluetoothService(this);
  emitEvent_("listening", "RFCOMM service published on channel " + decimal(id));
  return id;
}

Result<std::uint8_t, BridgeError> RFCOMMBridge::publishAndRegister() {
  auto description = makeServiceDictionary(preferredChannelID);
  if (!description) return fail(description.error());

  auto record = platform_.publishServiceRecord(description.value());
  if (!record) return fail(BridgeError{"failed to publish local SDP service record"});
  {
    std::lock_guard lock(mutex_);
    serviceRecord_ = record;
  }

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
  std::lock_guard lock(mutex_);
  channelNotification_ = std::move(registration);
  activeChannelID_ = id;
  return id;
}

void RFCOMMBridge::stop() {
  std::shared_ptr<platform::Channel> channel;
  std::shared_ptr<platform::ChannelOpenRegistration> registration;
  std::shared_ptr<platform::ServiceRecord> record;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    channel = std::move(activeChannel_);
    registration = std::move(channelNotification_);
    record = std::move(serviceRecord_);
  }
  // The platform calls may wait for the run loop, whose callbacks take the
  // mutex: none of them is made while holding it.
  if (channel) channel->close();
  if (registration) {
    registration->unregister();
    // While close() waited for the run loop, the loop may have handled more
    // opens, each making its client active. No open follows unregister(), so
    // closing what is active now leaves no client channel behind.
    std::shared_ptr<platform::Channel> lateChannel;
    {
      std::lock_guard lock(mutex_);
      lateChannel = std::move(activeChannel_);
    }
    if (lateChannel) lateChannel->close();
  }
  if (record) record->remove();

  std::lock_guard lock(mutex_);
  pendingInput_.clear();
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
    if (activeChannel_ != channel) replaced = std::move(activeChannel_);
    activeChannel_ = channel;
    pendingInput_.clear();
  }
  // Newest wins: the client this one replaces is closed (its close is
  // reported when the platform delivers it).
  if (replaced) replaced->close();

  const platform::Status status = channel->setDelegate(this);
  if (status != platform::statusOK) {
    emitError_("failed to set RFCOMM channel delegate: " + std::to_string(status));
  }
  emitEvent_("client-connected",
             "Incoming RFCOMM client connected on channel " + decimal(channel->channelID()));
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
    if (activeChannel_.get() == &channel) {
      closed = std::move(activeChannel_);
      pendingInput_.clear();
    }
  }
  emitEvent_("client-disconnected",
             "RFCOMM client disconnected from channel " + decimal(channel.channelID()));
}

void RFCOMMBridge::bluetoothServiceStopped() {
  // The record and the registration died with the service: they are dropped,
  // never withdrawn, so that nothing is asked of a service that is gone (or of
  // the next one, which never knew them).
  std::shared_ptr<platform::Channel> channel;
  std::shared_ptr<platform::ChannelOpenRegistration> registration;
  std::shared_ptr<platform::ServiceRecord> record;
  bool firstReport;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    firstReport = !serviceLost_;
    serviceLost_ = true;
    channel = std::move(activeChannel_);
    registration = std::move(channelNotification_);
    record = std::move(serviceRecord_);
    pendingInput_.clear();
  }
  if (firstReport) emitError_("bluetooth service stopped: waiting for it to return");
  // The client's link went with the service; its close is reported when the
  // platform delivers it.
  if (channel) channel->close();
}

void RFCOMMBridge::bluetoothServiceReturned() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_ || !serviceLost_) return;
  }
  const auto listening = publishAndRegister();

  // stop() may have run on the reader thread while the platform worked: what
  // was kept after it took the handles is withdrawn here, and nothing is
  // reported.
  std::shared_ptr<platform::ChannelOpenRegistration> registration;
  std::shared_ptr<platform::ServiceRecord> record;
  bool stoppedMeanwhile;
  {
    std::lock_guard lock(mutex_);
    stoppedMeanwhile = stopped_;
    if (stoppedMeanwhile) {
      registration = std::move(channelNotification_);
      record = std::move(serviceRecord_);
    } else if (listening) {
      serviceLost_ = false;
    }
  }
  if (stoppedMeanwhile) {
    if (registration) registration->unregister();
    if (record) record->remove();
    return;
  }
  if (!listening) {
    // Still lost: the next return tries again.
    emitError_(listening.error().message);
    return;
  }
  emitEvent_("listening", "RFCOMM service published on channel " + decimal(listening.value()));
}

}  // namespace harlo
