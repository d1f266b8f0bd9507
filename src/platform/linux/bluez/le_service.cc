#include "platform/linux/bluez/le_service.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/linux/bluez/bluez_names.h"
#include "platform/linux/bluez/bus_timeouts.h"
#include "platform/linux/bluez/device_path.h"
#include "platform/linux/bluez/device_trust.h"

namespace harlo::platform {
namespace {

// ATT's smallest MTU, taken when bluetoothd tells none.
constexpr std::uint16_t defaultMtu = 23;
// The most bluetoothd reads from a notification socket at once, and the
// longest value ATT carries.
constexpr std::size_t maxNotification = 512;

const char* const affectsNoRFCOMM = "; RFCOMM clients are not affected";

// A pair of connected packet sockets, both non-blocking: bluetoothd must
// never wait on its end either, whatever this program does with its own.
Result<std::pair<int, int>, int> packetSocketPair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) < 0) {
    return fail(errno);
  }
  return std::pair{fds[0], fds[1]};
}

std::uint16_t mtuOf(const GattAccess& access) {
  return access.mtu >= defaultMtu ? access.mtu : defaultMtu;
}

// Answers an AcquireWrite or AcquireNotify call with bluetoothd's end of a
// socket pair, which the answer carries away as a copy; ours is closed.
int answerWithSocket(sd_bus_message* call, int theirs, std::uint16_t mtu) {
  const int r = systemd().sd_bus_reply_method_return(call, "hq", theirs, mtu);
  ::close(theirs);
  return r;
}

int appendObjectAndNoOptions(sd_bus_message* call, const char* object) {
  return systemd().sd_bus_message_append(call, "oa{sv}", object, 0);
}

}  // namespace

struct LowEnergyService::Adapter {
  std::string path;
  std::string name;                                     // "hci0"
  std::unique_ptr<BusConnection::PendingCall> pending;  // a registration call in flight
  bool applicationRegistered = false;
  bool advertising = false;
  bool advertisementRefused = false;  // told once; not asked again
  bool renewWanted = false;           // see renewWhenIdle
};

// An AcquireNotify call, answered once the device's trust is known.
struct LowEnergyService::Subscription {
  BusMessagePtr call;
  GattAccess access;
  std::unique_ptr<BusConnection::PendingCall> query;
};

LowEnergyService::LowEnergyService(std::shared_ptr<BusConnection> connection, RunLoop& loop,
                                   Log& log, std::string serviceName, ChannelOpenObserver& observer,
                                   Unavailable unavailable)
    : connection_(std::move(connection)),
      loop_(loop),
      log_(log),
      serviceName_(std::move(serviceName)),
      observer_(&observer),
      unavailable_(std::move(unavailable)) {}

Result<std::shared_ptr<LowEnergyService>, std::string> LowEnergyService::offer(
    std::shared_ptr<BusConnection> connection, RunLoop& loop, Log& log,
    const ServiceDescription& description, ChannelOpenObserver& observer, Unavailable unavailable) {
  std::shared_ptr<LowEnergyService> service(new LowEnergyService(
      connection, loop, log, description.name, observer, std::move(unavailable)));
  auto application = GattApplication::exportOn(connection, log, description, *service);
  if (!application) {
    return fail(std::string("cannot export the GATT application at ") + gattApplicationPath + ": " +
                std::strerror(-application.error()));
  }
  service->application_ = std::move(application).value();
  auto advertisement = LowEnergyAdvertisement::exportOn(connection, log, description);
  if (!advertisement) {
    return fail(std::string("cannot export the advertisement at ") + advertisementPath + ": " +
                std::strerror(-advertisement.error()));
  }
  service->advertisement_ = std::move(advertisement).value();
  if (const Status watched = service->watchDevices(); watched < 0) {
    return fail(std::string("cannot follow bluetoothd's devices: ") + std::strerror(-watched));
  }
  return service;
}

LowEnergyService::~LowEnergyService() {
  for (sd_bus_slot* match : matches_) systemd().sd_bus_slot_unref(match);
}

Status LowEnergyService::watchDevices() {
  const std::string changed = std::string("type='signal',sender='") + bluezService +
                              "',interface='" + propertiesInterface +
                              "',member='PropertiesChanged',arg0='" + deviceInterface + "'";
  const std::string removed = std::string("type='signal',sender='") + bluezService +
                              "',path='/',interface='org.freedesktop.DBus.ObjectManager',"
                              "member='InterfacesRemoved'";
  for (const auto& [rule, handler] :
       {std::pair{&changed, &LowEnergyService::onPropertiesChanged},
        std::pair{&removed, &LowEnergyService::onInterfacesRemoved}}) {
    sd_bus_slot* slot = nullptr;
    const int r =
        systemd().sd_bus_add_match(connection_->bus(), &slot, rule->c_str(), handler, this);
    if (r < 0) return r;
    matches_.push_back(slot);
  }
  return statusOK;
}

LowEnergyService::Adapter* LowEnergyService::findAdapter(const std::string& path) {
  const auto found = std::find_if(adapters_.begin(), adapters_.end(),
                                  [&](const auto& adapter) { return adapter->path == path; });
  return found == adapters_.end() ? nullptr : found->get();
}

void LowEnergyService::adaptersAre(const std::vector<std::string>& adapterPaths) {
  if (observer_ == nullptr) return;
  std::erase_if(adapters_, [&](const auto& adapter) {
    return std::find(adapterPaths.begin(), adapterPaths.end(), adapter->path) == adapterPaths.end();
  });
  for (const std::string& path : adapterPaths) {
    if (findAdapter(path) != nullptr) continue;
    adapters_.push_back(std::make_unique<Adapter>(
        Adapter{path, std::string(lastPathElement(path)), nullptr, false, false, false, false}));
    registerApplication(*adapters_.back());
  }
}

void LowEnergyService::registerApplication(Adapter& adapter) {
  auto call = connection_->callAsync(
      bluezService, adapter.path.c_str(), gattManagerInterface, "RegisterApplication",
      registrationTimeoutUsec,
      [this, path = adapter.path](Result<BusMessagePtr, BusConnection::CallFailure> answer) {
        Adapter* adapter = findAdapter(path);
        if (adapter == nullptr) return;
        adapter->pending.reset();
        if (!answer) {
          failOn("cannot offer the service over BLE on " + adapter->name + ": " +
                 answer.error().description);
          return;
        }
        adapter->applicationRegistered = true;
        if (adapter->advertising || adapter->advertisementRefused) {
          log_.write(Log::Level::info, "renewed the GATT service on " + adapter->name +
                                           ", so that bluetoothd forgets the last "
                                           "client's subscription");
          renewIfIdle(*adapter);
          return;
        }
        log_.write(Log::Level::notice, "registered the GATT service with bluetoothd on " +
                                           adapter->name + ", for clients over BLE");
        registerAdvertisement(*adapter);
      },
      [](sd_bus_message* call) { return appendObjectAndNoOptions(call, gattApplicationPath); });
  if (!call) {
    failOn("cannot offer the service over BLE on " + adapter.name + ": " +
           call.error().description);
    return;
  }
  adapter.pending = std::move(call).value();
}

void LowEnergyService::registerAdvertisement(Adapter& adapter) {
  auto call = connection_->callAsync(
      bluezService, adapter.path.c_str(), advertisingManagerInterface, "RegisterAdvertisement",
      registrationTimeoutUsec,
      [this, path = adapter.path](Result<BusMessagePtr, BusConnection::CallFailure> answer) {
        Adapter* adapter = findAdapter(path);
        if (adapter == nullptr) return;
        adapter->pending.reset();
        if (!answer) {
          adapter->advertisementRefused = true;
          failOn("cannot advertise over BLE on " + adapter->name + ": " +
                 answer.error().description);
          renewIfIdle(*adapter);
          return;
        }
        adapter->advertising = true;
        log_.write(Log::Level::notice, "advertising the service over BLE on " + adapter->name +
                                           " as \"" + serviceName_ + "\"");
        renewIfIdle(*adapter);
      },
      [](sd_bus_message* call) { return appendObjectAndNoOptions(call, advertisementPath); });
  if (!call) {
    adapter.advertisementRefused = true;
    failOn("cannot advertise over BLE on " + adapter.name + ": " + call.error().description);
    return;
  }
  adapter.pending = std::move(call).value();
}

void LowEnergyService::renewWhenIdle(const std::string& device) {
  if (observer_ == nullptr) return;
  Adapter* adapter = findAdapter(std::string(adapterPathOf(device)));
  if (adapter == nullptr) return;
  adapter->renewWanted = true;
  renewIfIdle(*adapter);
}

bool LowEnergyService::servesOn(const Adapter& adapter) const {
  const std::string prefix = adapter.path + "/";
  const auto onAdapter = [&](const std::string& device) { return device.starts_with(prefix); };
  for (const Client& client : clients_) {
    const auto channel = client.channel.lock();
    if (channel && !channel->closing() && onAdapter(client.device)) return true;
  }
  return std::any_of(subscriptions_.begin(), subscriptions_.end(),
                     [&](const auto& waiting) { return onAdapter(waiting->access.device); });
}

void LowEnergyService::renewIfIdle(Adapter& adapter) {
  if (!adapter.renewWanted || adapter.pending || !adapter.applicationRegistered ||
      servesOn(adapter)) {
    return;
  }
  adapter.renewWanted = false;
  auto call = connection_->callAsync(
      bluezService, adapter.path.c_str(), gattManagerInterface, "UnregisterApplication",
      registrationTimeoutUsec,
      [this, path = adapter.path](Result<BusMessagePtr, BusConnection::CallFailure> answer) {
        Adapter* adapter = findAdapter(path);
        if (adapter == nullptr) return;
        adapter->pending.reset();
        adapter->applicationRegistered = false;
        if (!answer) {
          log_.write(Log::Level::warning, "could not withdraw the GATT service on " +
                                              adapter->name +
                                              " to renew it: " + answer.error().description);
        }
        registerApplication(*adapter);
      },
      [](sd_bus_message* call) {
        return systemd().sd_bus_message_append(call, "o", gattApplicationPath);
      });
  if (!call) {
    log_.write(Log::Level::warning, "could not renew the GATT service on " + adapter.name + ": " +
                                        call.error().description);
    return;
  }
  adapter.pending = std::move(call).value();
}

void LowEnergyService::failOn(const std::string& why) {
  log_.write(Log::Level::error, why);
  if (unavailable_) unavailable_(why + affectsNoRFCOMM);
}

void LowEnergyService::unregister() {
  loop_.postAndWait([this] { withdraw(); });
}

void LowEnergyService::withdraw() {
  if (observer_ == nullptr) return;
  observer_ = nullptr;
  for (const auto& adapter : adapters_) {
    // Sent, not waited for: the answers would come to no one.
    if (adapter->advertising) {
      (void)connection_->callAsync(
          bluezService, adapter->path.c_str(), advertisingManagerInterface,
          "UnregisterAdvertisement", withdrawalTimeoutUsec, {}, [](sd_bus_message* call) {
            return systemd().sd_bus_message_append(call, "o", advertisementPath);
          });
    }
    if (adapter->applicationRegistered) {
      (void)connection_->callAsync(
          bluezService, adapter->path.c_str(), gattManagerInterface, "UnregisterApplication",
          withdrawalTimeoutUsec, {}, [](sd_bus_message* call) {
            return systemd().sd_bus_message_append(call, "o", gattApplicationPath);
          });
      log_.write(Log::Level::notice, "withdrew the GATT service on " + adapter->name);
    }
  }
  adapters_.clear();
  for (const auto& subscription : subscriptions_) {
    (void)systemd().sd_bus_reply_method_errorf(subscription->call.get(), failedError,
                                               "the helper is stopping");
  }
  subscriptions_.clear();
  application_.reset();
  advertisement_.reset();
}

int LowEnergyService::acquireNotify(sd_bus_message* call, const GattAccess& access) {
  if (observer_ == nullptr || access.device.empty()) {
    return systemd().sd_bus_reply_method_errorf(call, failedError, "no client is taken now");
  }
  auto subscription = std::make_unique<Subscription>(
      Subscription{BusMessagePtr(systemd().sd_bus_message_ref(call)), access, nullptr});
  auto query = connection_->callAsync(
      bluezService, access.device.c_str(), propertiesInterface, "GetAll", answerTimeoutUsec,
      [this,
       waiting = subscription.get()](Result<BusMessagePtr, BusConnection::CallFailure> answer) {
        authorized(*waiting, std::move(answer));
      },
      [](sd_bus_message* question) {
        return systemd().sd_bus_message_append(question, "s", deviceInterface);
      });
  if (!query) {
    log_.write(Log::Level::error, "cannot check BLE client " + deviceAddressOf(access.device) +
                                      ": " + query.error().description);
    return systemd().sd_bus_reply_method_errorf(call, failedError, "cannot check the device");
  }
  subscription->query = std::move(query).value();
  subscriptions_.push_back(std::move(subscription));
  return 1;
}

void LowEnergyService::authorized(Subscription& waiting,
                                  Result<BusMessagePtr, BusConnection::CallFailure> answer) {
  const auto found = std::find_if(subscriptions_.begin(), subscriptions_.end(),
                                  [&](const auto& entry) { return entry.get() == &waiting; });
  if (found == subscriptions_.end()) return;
  const std::unique_ptr<Subscription> subscription = std::move(*found);
  subscriptions_.erase(found);

  const std::string address = deviceAddressOf(subscription->access.device);
  std::optional<std::string> refusal;
  if (!answer) {
    refusal = "its device could not be read: " + answer.error().description;
  } else if (auto trust = readDeviceTrust(answer.value().get()); !trust) {
    refusal =
        std::string("its device's properties could not be read: ") + std::strerror(-trust.error());
  } else {
    refusal = refusalOf(trust.value(), address);
  }
  sd_bus_message* call = subscription->call.get();
  if (refusal) {
    log_.write(Log::Level::warning, "refused a BLE subscription from " + address + ": " + *refusal);
    (void)systemd().sd_bus_reply_method_errorf(call, failedError, "%s", refusal->c_str());
    // Renewed once the device has gone: renewed at once, a device still
    // connected would be told its service changed, subscribe again, be
    // refused again, and so on.
    if (std::find(refusedSubscribers_.begin(), refusedSubscribers_.end(),
                  subscription->access.device) == refusedSubscribers_.end()) {
      refusedSubscribers_.push_back(subscription->access.device);
    }
    return;
  }
  if (observer_ == nullptr) {
    (void)systemd().sd_bus_reply_method_errorf(call, failedError, "no client is taken now");
    return;
  }
  accept(call, subscription->access);
}

void LowEnergyService::accept(sd_bus_message* call, const GattAccess& access) {
  const std::string address = deviceAddressOf(access.device);
  const auto sockets = packetSocketPair();
  if (!sockets) {
    log_.write(Log::Level::error, "cannot take BLE client " + address +
                                      ": socketpair failed: " + std::strerror(sockets.error()));
    (void)systemd().sd_bus_reply_method_errorf(call, failedError, "%s",
                                               std::strerror(sockets.error()));
    return;
  }
  const auto [ours, theirs] = sockets.value();
  const std::uint16_t mtu = mtuOf(access);
  auto channel = SocketChannel::createNamed(loop_, ours, lowEnergyChannelNames(),
                                            std::min<std::size_t>(mtu - 3, maxNotification), log_,
                                            address + " over BLE");
  channel->onEnded([weak = weak_from_this(), device = access.device,
                    ended = channel.get()](std::optional<CloseReason> helperReason) {
    const auto self = weak.lock();
    if (!self) return;
    if (helperReason == CloseReason::replaced) self->replaced(device, ended);
    self->renewWhenIdle(device);
  });
  if (answerWithSocket(call, theirs, mtu) < 0) {
    channel->closeBecause("the answer to bluetoothd could not be sent");
    return;
  }
  log_.write(Log::Level::info,
             "client " + address + " connected over BLE (ATT MTU " + std::to_string(mtu) + ")");
  std::erase_if(clients_, [](const Client& client) { return client.channel.expired(); });
  clients_.push_back(Client{access.device, channel});
  // Posted, so that the answer is on its way before the observer acts.
  loop_.post([weak = weak_from_this(), channel = std::move(channel)] {
    const auto self = weak.lock();
    if (self && self->observer_ != nullptr) {
      self->observer_->handleChannelOpen(*self, channel);
    } else {
      channel->closeBecause("the helper stopped taking clients");
    }
  });
}

std::shared_ptr<SocketChannel> LowEnergyService::channelOf(const std::string& device) {
  std::erase_if(clients_, [](const Client& client) { return client.channel.expired(); });
  for (const Client& client : clients_) {
    if (client.device != device) continue;
    if (auto channel = client.channel.lock(); channel && !channel->closing()) return channel;
  }
  return nullptr;
}

int LowEnergyService::refuseWrite(sd_bus_message* call, const std::string& device) {
  log_.write(Log::Level::warning, "refused a BLE write from " + deviceAddressOf(device) +
                                      ": it is no client of the helper (a client subscribes to "
                                      "the helper's notifications first)");
  const int r = systemd().sd_bus_reply_method_errorf(call, notAuthorizedError,
                                                     "subscribe to the notifications first");
  renewWhenIdle(device);
  return r;
}

int LowEnergyService::acquireWrite(sd_bus_message* call, const GattAccess& access) {
  const auto channel = channelOf(access.device);
  if (!channel) return refuseWrite(call, access.device);
  const auto sockets = packetSocketPair();
  if (!sockets) {
    return systemd().sd_bus_reply_method_errorf(call, failedError, "%s",
                                                std::strerror(sockets.error()));
  }
  const auto [ours, theirs] = sockets.value();
  if (answerWithSocket(call, theirs, mtuOf(access)) < 0) {
    ::close(ours);
    return 1;
  }
  channel->takeInputFrom(ours);
  return 1;
}

int LowEnergyService::writeValue(sd_bus_message* call, std::span<const std::uint8_t> value,
                                 const GattAccess& access) {
  const auto channel = channelOf(access.device);
  if (!channel) return refuseWrite(call, access.device);
  if (!channel->deliverInput(value)) {
    return systemd().sd_bus_reply_method_errorf(call, failedError,
                                                "the helper cannot take more now");
  }
  return systemd().sd_bus_reply_method_return(call, "");
}

void LowEnergyService::replaced(const std::string& device, const SocketChannel* closed) {
  // The same device subscribed again meanwhile: its link is the new
  // client's.
  for (const Client& client : clients_) {
    const auto channel = client.channel.lock();
    if (client.device == device && channel && channel.get() != closed && !channel->closing()) {
      return;
    }
  }
  const std::string address = deviceAddressOf(device);
  const std::uint64_t serial = ++disconnectSerial_;
  auto call = connection_->callAsync(
      bluezService, device.c_str(), deviceInterface, "Disconnect", answerTimeoutUsec,
      [this, address, serial](Result<BusMessagePtr, BusConnection::CallFailure> answer) {
        if (answer) {
          log_.write(Log::Level::info,
                     "disconnected BLE client " + address + ", which a newer client replaced");
        } else {
          log_.write(Log::Level::warning, "could not disconnect the replaced BLE client " +
                                              address + ": " + answer.error().description);
        }
        disconnects_.erase(serial);
      });
  if (!call) {
    log_.write(Log::Level::warning, "could not disconnect the replaced BLE client " + address +
                                        ": " + call.error().description);
    return;
  }
  disconnects_.emplace(serial, std::move(call).value());
}

void LowEnergyService::deviceGone(const std::string& device, const char* cause) {
  for (const Client& client : clients_) {
    if (client.device != device) continue;
    if (const auto channel = client.channel.lock()) channel->closeBecause(cause);
  }
  if (std::erase(refusedSubscribers_, device) > 0) renewWhenIdle(device);
}

int LowEnergyService::onPropertiesChanged(sd_bus_message* signal, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<LowEnergyService*>(userdata);
  if (!self.connection_->isBluezOwner(systemd().sd_bus_message_get_sender(signal))) return 0;
  const char* path = systemd().sd_bus_message_get_path(signal);
  const char* interface = nullptr;
  if (path == nullptr || systemd().sd_bus_message_read(signal, "s", &interface) < 0) return 0;
  if (systemd().sd_bus_message_enter_container(signal, 'a', "{sv}") < 0) return 0;
  while (systemd().sd_bus_message_enter_container(signal, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (systemd().sd_bus_message_read(signal, "s", &key) < 0) return 0;
    if (std::string_view(key) == "Connected") {
      int connected = 1;
      if (systemd().sd_bus_message_read(signal, "v", "b", &connected) < 0) return 0;
      if (!connected) self.deviceGone(path, "the device disconnected");
      return 0;
    }
    if (systemd().sd_bus_message_skip(signal, "v") < 0 ||
        systemd().sd_bus_message_exit_container(signal) < 0) {
      return 0;
    }
  }
  return 0;
}

int LowEnergyService::onInterfacesRemoved(sd_bus_message* signal, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<LowEnergyService*>(userdata);
  if (!self.connection_->isBluezOwner(systemd().sd_bus_message_get_sender(signal))) return 0;
  const char* path = nullptr;
  if (systemd().sd_bus_message_read(signal, "o", &path) < 0) return 0;
  if (systemd().sd_bus_message_enter_container(signal, 'a', "s") < 0) return 0;
  const char* interface = nullptr;
  while (systemd().sd_bus_message_read(signal, "s", &interface) > 0) {
    if (std::string_view(interface) == deviceInterface) {
      self.deviceGone(path, "the device was removed");
      break;
    }
  }
  return 0;
}

}  // namespace harlo::platform
