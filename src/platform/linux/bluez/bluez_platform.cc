#include "platform/linux/bluez/bluez_platform.h"

#include <string>

#include "platform/linux/bluez/bluez_names.h"
#include "platform/linux/bluez/bus_connection.h"
#include "platform/linux/bluez/profile_object.h"
#include "platform/linux/bluez/published_record.h"

namespace harlo::platform {
namespace {

class BluezPlatform final : public BluetoothPlatform {
 public:
  explicit BluezPlatform(RunLoop& loop) : loop_(loop) {}

  std::shared_ptr<ServiceRecord> publishServiceRecord(
      const ServiceDictionary& description) override {
    if (!connection_) {
      auto opened = BusConnection::open(loop_);
      if (!opened) return nullptr;
      connection_ = std::move(opened).value();
      connection_->onBluezOwnerChanged(
          [this](const std::string& oldOwner, const std::string& newOwner) {
            if (!oldOwner.empty()) loop_.post([this] { serviceStopped(); });
            if (!newOwner.empty()) loop_.post([this] { serviceReturned(); });
          });
    }
    if (!connection_->bluezPresent()) return nullptr;
    return PublishedRecord::registerProfile(connection_, loop_, profileObjectPath, description);
  }

  // bluetoothd calls the profile object for every client of the profile,
  // which listens on the published channel only.
  std::shared_ptr<ChannelOpenRegistration> registerForChannelOpenNotifications(
      std::uint8_t channelID, ChannelOpenObserver& observer) override {
    if (!connection_) return nullptr;  // nothing published: no one would call
    auto exported =
        ProfileObject::exportAt(connection_, loop_, profileObjectPath, channelID, observer);
    if (!exported) return nullptr;
    // Kept here too: dropping the bridge's handle must not unexport it.
    profile_ = std::move(exported).value();
    profile_->onRelease([this] { loop_.post([this] { serviceStopped(); }); });
    return profile_;
  }

  void observeBluetoothService(BluetoothServiceObserver* observer) override {
    observer_ = observer;
  }

  MainLoop& mainLoop() override { return loop_; }

 private:
  // bluetoothd released our profile or left the bus. The Profile1 object goes
  // at once (its registration died with that bluetoothd, and the path must be
  // free for the next export); the connection stays open for the next one.
  void serviceStopped() {
    if (profile_) {
      profile_->unregister();
      profile_.reset();
    }
    if (observer_ != nullptr) observer_->bluetoothServiceStopped();
  }

  void serviceReturned() {
    if (observer_ != nullptr) observer_->bluetoothServiceReturned();
  }

  RunLoop& loop_;
  std::shared_ptr<BusConnection> connection_;  // opened by the first publication
  std::shared_ptr<ProfileObject> profile_;     // the latest export, until the service is lost
  BluetoothServiceObserver* observer_ = nullptr;
};

}  // namespace

std::unique_ptr<BluetoothPlatform> makeBluezPlatform(RunLoop& loop) {
  return std::make_unique<BluezPlatform>(loop);
}

}  // namespace harlo::platform
