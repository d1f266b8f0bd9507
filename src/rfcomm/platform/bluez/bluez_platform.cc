#include "rfcomm/platform/bluez/bluez_platform.h"

#include "rfcomm/platform/bluez/bluez_names.h"
#include "rfcomm/platform/bluez/bus_connection.h"
#include "rfcomm/platform/bluez/profile_object.h"
#include "rfcomm/platform/bluez/published_record.h"

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
    return profile_;
  }

 private:
  RunLoop& loop_;
  std::shared_ptr<BusConnection> connection_;  // opened by the first publication
  std::shared_ptr<ProfileObject> profile_;     // the latest export
};

}  // namespace

std::unique_ptr<BluetoothPlatform> makeBluezPlatform(RunLoop& loop) {
  return std::make_unique<BluezPlatform>(loop);
}

}  // namespace harlo::platform
