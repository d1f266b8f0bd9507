#include "platform/linux/bluez/bluez_platform.h"

#include <cstring>
#include <optional>
#include <string>

#include "platform/linux/bluez/adapters.h"
#include "platform/linux/bluez/bluez_names.h"
#include "platform/linux/bluez/bus_link.h"
#include "platform/linux/bluez/channel_choice.h"
#include "platform/linux/bluez/channel_probe.h"
#include "platform/linux/bluez/le_service.h"
#include "platform/linux/bluez/profile_object.h"
#include "platform/linux/bluez/published_record.h"

namespace harlo::platform {
namespace {

class BluezPlatform final : public BluetoothPlatform {
 public:
  BluezPlatform(RunLoop& loop, Log& log)
      : loop_(loop),
        log_(log),
        link_(
            loop, log, [this](const auto& connection) { return setUp(connection); },
            [this] { reconnected(); }) {}

  std::shared_ptr<ServiceRecord> publishServiceRecord(
      const ServiceDescription& description) override {
    // The first publication opens the bus; after a loss, only the link
    // does, and publishing fails until it has.
    if (!link_.connection() && !link_.reconnecting()) {
      if (!link_.connect()) return nullptr;
      adapters_->read();
      loop_.post([this] { tellAdapterState(); });
    }
    const std::shared_ptr<BusConnection>& connection = link_.connection();
    if (!connection) return nullptr;
    if (!connection->bluezPresent()) {
      log_.write(Log::Level::error,
                 "cannot register the service: bluetoothd is not running (nothing owns org.bluez "
                 "on the system bus)");
      return nullptr;
    }
    const std::optional<std::uint8_t> channel = chooseRfcommChannel(
        description.preferredChannel, adapters_->addresses(), probeRfcommChannel);
    if (!channel) {
      log_.write(Log::Level::error,
                 "cannot register the service: no RFCOMM channel from 1 to 30 is free on every "
                 "adapter");
      return nullptr;
    }
    auto registered = PublishedRecord::registerProfile(connection, loop_, log_, profileObjectPath,
                                                       description, *channel);
    if (!registered) {
      log_.write(Log::Level::error, "cannot register the service: " + registered.error());
      return nullptr;
    }
    log_.write(Log::Level::notice, "registered the service " + uuidText(description.uuid) +
                                       " with bluetoothd: RFCOMM channel " +
                                       std::to_string(unsigned{description.preferredChannel}) +
                                       " asked, " + std::to_string(unsigned{*channel}) +
                                       " granted; " + securityText(description));
    return std::move(registered).value();
  }

  // bluetoothd calls the profile object for every client of the profile,
  // which listens on the published channel only.
  std::shared_ptr<ChannelOpenRegistration> registerForChannelOpenNotifications(
      std::uint8_t channelID, ChannelOpenObserver& observer) override {
    if (!link_.connection()) return nullptr;  // nothing published: no one would call
    auto exported = ProfileObject::exportAt(link_.connection(), loop_, log_, profileObjectPath,
                                            channelID, observer);
    if (!exported) {
      log_.write(Log::Level::error, std::string("cannot export the profile object at ") +
                                        profileObjectPath + ": " +
                                        std::strerror(-exported.error()));
      return nullptr;
    }
    // Kept here too: dropping the bridge's handle must not unexport it.
    profile_ = std::move(exported).value();
    profile_->onRelease([this] { loop_.post([this] { serviceStopped(); }); });
    return profile_;
  }

  std::shared_ptr<ChannelOpenRegistration> offerLowEnergyService(
      const ServiceDescription& description, ChannelOpenObserver& observer) override {
    if (!link_.connection()) return nullptr;  // nothing published: no bluetoothd to offer it to
    auto offered = LowEnergyService::offer(link_.connection(), loop_, log_, description, observer,
                                           [this](std::string why) {
                                             if (observer_ != nullptr && !serviceLost_)
                                               observer_->lowEnergyUnavailable(why);
                                           });
    if (!offered) {
      log_.write(Log::Level::error, "cannot offer the service over BLE: " + offered.error());
      return nullptr;
    }
    lowEnergy_ = offered.value();
    if (adapters_) offered.value()->adaptersAre(adapters_->paths());
    return std::move(offered).value();
  }

  void observeBluetoothService(BluetoothServiceObserver* observer) override {
    observer_ = observer;
    if (adapters_) adapters_->untell();
    loop_.post([this] { tellAdapterState(); });
  }

  MainLoop& mainLoop() override { return loop_; }

 private:
  static std::string securityText(const ServiceDescription& description) {
    if (description.requireAuthentication && description.requireAuthorization) {
      return "authentication and authorization required";
    }
    if (description.requireAuthentication) return "authentication required";
    if (description.requireAuthorization) return "authorization required";
    return "no security required";
  }

  // Follows a new connection's adapters, the owner of "org.bluez" and the
  // connection's loss.
  bool setUp(const std::shared_ptr<BusConnection>& connection) {
    auto adapters = Adapters::follow(connection, log_);
    if (!adapters) {
      log_.write(Log::Level::error, std::string("cannot follow bluetoothd's adapters: ") +
                                        std::strerror(-adapters.error()));
      return false;
    }
    adapters_ = std::move(adapters).value();
    adapters_->onChanged([this] {
      loop_.post([this] {
        adapters_->logChanges();
        tellAdapterState();
        if (const auto lowEnergy = lowEnergy_.lock()) lowEnergy->adaptersAre(adapters_->paths());
      });
    });
    connection->onBluezOwnerChanged(
        [this](const std::string& oldOwner, const std::string& newOwner) {
          if (!oldOwner.empty()) loop_.post([this] { serviceStopped(); });
          if (!newOwner.empty()) loop_.post([this] { serviceReturned(); });
        });
    // Posted: the connection must not go from inside its own dispatch.
    connection->onDisconnected([this] { loop_.post([this] { busLost(); }); });
    return true;
  }

  // The bus went away, and bluetoothd's view of us with it: the service is
  // lost, and the link tries the bus again until it is back.
  void busLost() {
    if (!link_.connection()) return;
    log_.write(Log::Level::warning,
               "lost the connection to the system bus; trying again every second for 10 s, "
               "then every 5 s");
    serviceStopped();
    // Whatever still holds the connection (a record the bridge kept) lets go
    // of it as it learns of the loss, above.
    adapters_.reset();
    link_.lost();
  }

  // A bluetoothd already there is the service returning; one that comes
  // later announces itself through the owner's change.
  void reconnected() {
    if (link_.connection()->bluezPresent()) serviceReturned();
  }

  // bluetoothd released our profile or left the bus. The Profile1 object goes
  // at once (its registration died with that bluetoothd, and the path must be
  // free for the next export); the connection stays open for the next one.
  void serviceStopped() {
    if (!serviceLost_) log_.write(Log::Level::warning, "bluetoothd went away");
    serviceLost_ = true;
    if (profile_) {
      profile_->unregister();
      profile_.reset();
    }
    // The bridge lets go of it as it learns of the loss, below; it registers
    // nothing more meanwhile.
    lowEnergy_.reset();
    // Nothing is known of the adapters until the service is back.
    if (adapters_) adapters_->forget();
    if (observer_ != nullptr) observer_->bluetoothServiceStopped();
  }

  // The adapters are read, and the observer told of them, before it hears of
  // the return: it publishes again, which the channel check needs them for,
  // and says "listening" only with a powered adapter.
  void serviceReturned() {
    log_.write(Log::Level::notice, "bluetoothd is back; registering the service again");
    serviceLost_ = false;
    if (adapters_) adapters_->read();
    tellAdapterState();
    if (observer_ != nullptr) observer_->bluetoothServiceReturned();
  }

  void tellAdapterState() {
    if (adapters_) adapters_->tell(observer_);
  }

  RunLoop& loop_;
  Log& log_;
  bool serviceLost_ = false;                   // from a loss until bluetoothd is back, for the log
  std::unique_ptr<Adapters> adapters_;         // with the connection
  std::shared_ptr<ProfileObject> profile_;     // the latest export, until the service is lost
  std::weak_ptr<LowEnergyService> lowEnergy_;  // the latest offer, held by the bridge
  BluetoothServiceObserver* observer_ = nullptr;
  // Last: destroyed first, before what its connection's handlers point at.
  BusLink link_;
};

}  // namespace

std::unique_ptr<BluetoothPlatform> makeBluezPlatform(RunLoop& loop, Log& log) {
  return std::make_unique<BluezPlatform>(loop, log);
}

}  // namespace harlo::platform
