#include "platform/linux/bluez/bluez_platform.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/bluez/adapter_watch.h"
#include "platform/linux/bluez/bluez_names.h"
#include "platform/linux/bluez/bus_connection.h"
#include "platform/linux/bluez/channel_choice.h"
#include "platform/linux/bluez/channel_probe.h"
#include "platform/linux/bluez/profile_object.h"
#include "platform/linux/bluez/published_record.h"
#include "platform/linux/bluez/sdp_xml.h"

namespace harlo::platform {
namespace {

// After the bus connection is lost, the platform connects again every second
// for the first ten seconds, then every five.
constexpr std::chrono::seconds quickRetries{10};
constexpr std::chrono::seconds quickRetry{1};
constexpr std::chrono::seconds slowRetry{5};

class BluezPlatform final : public BluetoothPlatform {
 public:
  BluezPlatform(RunLoop& loop, Log& log) : loop_(loop), log_(log) {}

  std::shared_ptr<ServiceRecord> publishServiceRecord(
      const ServiceDictionary& description) override {
    // The first publication opens the bus; after a loss, only reconnect()
    // does, and publishing fails until it has.
    if (!connection_ && !reconnectTimer_) {
      if (!connect()) return nullptr;
      readAdapters();
      loop_.post([this] { tellAdapterState(); });
    }
    if (!connection_) return nullptr;
    if (!connection_->bluezPresent()) {
      log_.write(Log::Level::error,
                 "cannot register the service: bluetoothd is not running (nothing owns org.bluez "
                 "on the system bus)");
      return nullptr;
    }
    const std::optional<ServiceDictionary> granted = withGrantedChannel(description);
    if (!granted) {
      log_.write(Log::Level::error,
                 "cannot register the service: no RFCOMM channel from 1 to 30 is free on every "
                 "adapter");
      return nullptr;
    }
    auto registered =
        PublishedRecord::registerProfile(connection_, loop_, log_, profileObjectPath, *granted);
    if (!registered) {
      log_.write(Log::Level::error, "cannot register the service: " + registered.error());
      return nullptr;
    }
    logRegistration(description, *registered.value());
    return std::move(registered).value();
  }

  // bluetoothd calls the profile object for every client of the profile,
  // which listens on the published channel only.
  std::shared_ptr<ChannelOpenRegistration> registerForChannelOpenNotifications(
      std::uint8_t channelID, ChannelOpenObserver& observer) override {
    if (!connection_) return nullptr;  // nothing published: no one would call
    auto exported =
        ProfileObject::exportAt(connection_, loop_, log_, profileObjectPath, channelID, observer);
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

  void observeBluetoothService(BluetoothServiceObserver* observer) override {
    observer_ = observer;
    told_.reset();
    loop_.post([this] { tellAdapterState(); });
  }

  MainLoop& mainLoop() override { return loop_; }

 private:
  // Opens the bus and follows the owner of "org.bluez" and the connection's
  // loss. False when the bus cannot be reached.
  bool connect() {
    auto opened = BusConnection::open(loop_);
    if (!opened) {
      // While the bus is being tried again, each failure is the same news.
      if (!reconnectTimer_) {
        log_.write(Log::Level::error, std::string("cannot connect to the system bus: ") +
                                          std::strerror(-opened.error()));
      }
      return false;
    }
    auto watch = AdapterWatch::start(opened.value());
    if (!watch) {
      log_.write(Log::Level::error, std::string("cannot follow bluetoothd's adapters: ") +
                                        std::strerror(-watch.error()));
      return false;
    }
    connection_ = std::move(opened).value();
    adapters_ = std::move(watch).value();
    adapters_->onChanged([this] {
      loop_.post([this] {
        logAdapterChanges();
        tellAdapterState();
      });
    });
    connection_->onBluezOwnerChanged(
        [this](const std::string& oldOwner, const std::string& newOwner) {
          if (!oldOwner.empty()) loop_.post([this] { serviceStopped(); });
          if (!newOwner.empty()) loop_.post([this] { serviceReturned(); });
        });
    // Posted: the connection must not go from inside its own dispatch.
    connection_->onDisconnected([this] { loop_.post([this] { busLost(); }); });
    return true;
  }

  // The bus went away, and bluetoothd's view of us with it: the service is
  // lost, and the bus is tried again until it is back.
  void busLost() {
    if (!connection_) return;
    log_.write(Log::Level::warning,
               "lost the connection to the system bus; trying again every second for 10 s, "
               "then every 5 s");
    serviceStopped();
    // Whatever still holds the connection (a record the bridge kept) lets go
    // of it as it learns of the loss, above.
    adapters_.reset();
    connection_.reset();
    lostAt_ = std::chrono::steady_clock::now();
    scheduleReconnect();
  }

  void scheduleReconnect() {
    if (!reconnectTimer_) {
      auto timer = loop_.createTimer([this] { reconnect(); });
      // Without a timer the helper cannot come back; it keeps reporting the
      // service as lost, which is the truth.
      if (!timer) return;
      reconnectTimer_ = std::move(timer).value();
    }
    const auto now = std::chrono::steady_clock::now();
    const auto wait = now - lostAt_ < quickRetries ? quickRetry : slowRetry;
    (void)reconnectTimer_->setDeadline(now + wait);  // cannot fail on a timer just made
  }

  void reconnect() {
    if (!connect()) {
      scheduleReconnect();
      return;
    }
    reconnectTimer_.reset();
    log_.write(Log::Level::notice, "connected to the system bus again");
    // A bluetoothd already there is the service returning; one that comes
    // later announces itself through the owner's change.
    if (connection_->bluezPresent()) serviceReturned();
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
    // Nothing is known of the adapters until the service is back.
    if (adapters_) adapters_->forget();
    told_.reset();
    if (observer_ != nullptr) observer_->bluetoothServiceStopped();
  }

  // The adapters are read, and the observer told of them, before it hears of
  // the return: it publishes again, which the channel check needs them for,
  // and says "listening" only with a powered adapter.
  void serviceReturned() {
    log_.write(Log::Level::notice, "bluetoothd is back; registering the service again");
    serviceLost_ = false;
    if (adapters_) readAdapters();
    tellAdapterState();
    if (observer_ != nullptr) observer_->bluetoothServiceReturned();
  }

  // Tells the observer whether a powered adapter is present, when that is
  // known and differs from what it was last told.
  void tellAdapterState() {
    if (observer_ == nullptr || !adapters_) return;
    const std::optional<bool> present = adapters_->table().poweredAdapterPresent();
    if (!present || present == told_) return;
    told_ = present;
    observer_->poweredAdapterPresent(*present);
  }

  // `description` with the RFCOMM channel it asks for if that is free on
  // every adapter bluetoothd has, or else the lowest one free on all of
  // them; nothing when none is (or the description has no channel).
  std::optional<ServiceDictionary> withGrantedChannel(const ServiceDictionary& description) const {
    const std::optional<std::uint8_t> preferred = rfcommChannelOf(description);
    if (!preferred) return std::nullopt;
    std::vector<BluetoothAddress> addresses;
    for (const AdapterTable::Adapter& adapter : adapters_->table().adapters()) {
      if (auto address = parseBluetoothAddress(adapter.address)) addresses.push_back(*address);
    }
    const std::optional<std::uint8_t> granted =
        chooseRfcommChannel(*preferred, addresses, probeRfcommChannel);
    if (!granted) return std::nullopt;
    return withRfcommChannel(description, *granted);
  }

  // Reads the adapters anew and logs them as they are now; nothing when they
  // cannot be read (no bluetoothd, or it did not answer).
  void readAdapters() {
    adapters_->read();
    loggedAdapters_ = adapters_->table().adapters();
    if (!adapters_->table().poweredAdapterPresent()) return;
    if (loggedAdapters_.empty()) {
      log_.write(Log::Level::notice, "bluetoothd has no adapter");
      return;
    }
    for (const AdapterTable::Adapter& adapter : loggedAdapters_) {
      log_.write(Log::Level::notice, "adapter " + describe(adapter));
    }
  }

  // Logs what changed among the adapters since they were last logged.
  void logAdapterChanges() {
    const std::vector<AdapterTable::Adapter>& now = adapters_->table().adapters();
    for (const AdapterTable::Adapter& adapter : now) {
      const auto before = std::find_if(
          loggedAdapters_.begin(), loggedAdapters_.end(),
          [&](const AdapterTable::Adapter& known) { return known.path == adapter.path; });
      if (before == loggedAdapters_.end()) {
        log_.write(Log::Level::notice, "adapter added: " + describe(adapter));
      } else if (before->powered != adapter.powered) {
        log_.write(Log::Level::notice, "adapter " + describe(adapter));
      }
    }
    for (const AdapterTable::Adapter& known : loggedAdapters_) {
      const bool gone = std::none_of(now.begin(), now.end(), [&](const AdapterTable::Adapter& a) {
        return a.path == known.path;
      });
      if (gone) log_.write(Log::Level::notice, "adapter removed: " + known.path);
    }
    loggedAdapters_ = now;
  }

  static std::string describe(const AdapterTable::Adapter& adapter) {
    return adapter.path + " " + (adapter.address.empty() ? "(no address)" : adapter.address) +
           (adapter.powered ? " powered on" : " powered off");
  }

  void logRegistration(const ServiceDictionary& description, PublishedRecord& record) {
    const auto asked = rfcommChannelOf(description);
    const auto granted = record.rfcommChannelID();
    log_.write(Log::Level::notice, "registered the service " +
                                       serviceUUIDOf(description).value_or("?") +
                                       " with bluetoothd: RFCOMM channel " +
                                       std::to_string(unsigned{asked.value_or(0)}) + " asked, " +
                                       std::to_string(granted ? unsigned{granted.value()} : 0U) +
                                       " granted; authentication and authorization required");
  }

  RunLoop& loop_;
  Log& log_;
  bool serviceLost_ = false;                   // from a loss until bluetoothd is back, for the log
  std::shared_ptr<BusConnection> connection_;  // opened by the first publication; null while lost
  std::unique_ptr<AdapterWatch> adapters_;     // with the connection
  std::shared_ptr<ProfileObject> profile_;     // the latest export, until the service is lost
  BluetoothServiceObserver* observer_ = nullptr;
  // What the observer was last told of the adapters; nothing since it was
  // set or the service was lost.
  std::optional<bool> told_;
  std::vector<AdapterTable::Adapter> loggedAdapters_;  // as the log last told them
  std::unique_ptr<RunLoop::Timer> reconnectTimer_;     // while the bus is lost
  std::chrono::steady_clock::time_point lostAt_{};
};

}  // namespace

std::unique_ptr<BluetoothPlatform> makeBluezPlatform(RunLoop& loop, Log& log) {
  return std::make_unique<BluezPlatform>(loop, log);
}

}  // namespace harlo::platform
