#include "le_clients.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "log.h"

namespace harlo::bluez_sim {
namespace {

constexpr std::uint16_t minimumMtu = 23;   // ATT's default LE MTU
constexpr std::uint16_t maximumMtu = 517;  // a 512-byte value plus ATT's header

SimError simError(const char* name, std::string message) {
  return SimError{std::string("org.harlo.BluezSim.Error.") + name, std::move(message)};
}

// The security a device's link has: encrypted once bonded.
LinkSecurity securityOf(const LeDevice& device) {
  return device.bonded ? LinkSecurity::encrypted : LinkSecurity::none;
}

// The refusal of an access needing `needed` over `device`'s link, if it
// falls short; what the log says about it in `why`.
std::optional<SimError> insecure(const LeDevice& device, LinkSecurity needed, std::string& why) {
  if (needed <= securityOf(device)) return std::nullopt;
  bool encryption = needed == LinkSecurity::encrypted;
  why = encryption ? "insufficient encryption" : "insufficient authentication";
  return simError(encryption ? "InsufficientEncryption" : "InsufficientAuthentication",
                  device.path + "'s link is " + (device.bonded ? "encrypted" : "not encrypted"));
}

bool notifies(const GattCharacteristic& c) { return c.notify || c.indicate; }
bool takesWrites(const GattCharacteristic& c) { return c.write || c.writeWithoutResponse; }

}  // namespace

Result<std::string, SimError> LeClients::connect(std::uint16_t mtu, bool bonded, bool trusted) {
  if (mtu < minimumMtu || mtu > maximumMtu) {
    return fail(
        simError("InvalidArguments", "MTU " + std::to_string(mtu) + " is not within 23 to 517"));
  }
  for (const auto& adapter : adapters_.poweredAdapters()) {
    if (gatt_.applicationsOn(adapter).empty()) continue;
    auto device = devices_.connect(adapter, mtu, bonded, trusted);
    if (!device) return fail(simError("Failed", std::strerror(-device.error())));
    return device.value()->path;
  }
  return fail(simError("Failed", "no powered adapter has a registered GATT application"));
}

Result<void, SimError> LeClients::reconnect(const std::string& path) {
  const LeDevice* device = devices_.find(path);
  if (device == nullptr) return fail(simError("DoesNotExist", "no LE device at " + path));
  const auto powered = adapters_.poweredAdapters();
  if (std::find(powered.begin(), powered.end(), device->adapter) == powered.end()) {
    return fail(simError("Failed", device->adapter + " is not powered"));
  }
  if (!devices_.reconnect(path)) return fail(simError("Failed", path + " is connected"));
  return {};
}

Result<const LeDevice*, SimError> LeClients::connectedDevice(const std::string& path) const {
  const LeDevice* device = devices_.find(path);
  if (device == nullptr) return fail(simError("DoesNotExist", "no LE device at " + path));
  if (!device->connected) return fail(simError("NotConnected", path + " is not connected"));
  return device;
}

Result<void, SimError> LeClients::disconnect(const std::string& path) {
  auto device = connectedDevice(path);
  if (!device) return fail(device.error());
  devices_.disconnect(path, "DisconnectLowEnergy");
  return {};
}

ServedCharacteristic* LeClients::firstCharacteristic(
    const std::string& adapter, bool (*wanted)(const GattCharacteristic&)) const {
  for (const auto* application : gatt_.applicationsOn(adapter)) {
    for (const auto& c : application->characteristics) {
      if (wanted(c->definition())) return c.get();
    }
  }
  return nullptr;
}

Result<void, SimError> LeClients::subscribe(const std::string& device) {
  return writeCcc(device, true);
}

Result<void, SimError> LeClients::unsubscribe(const std::string& device) {
  return writeCcc(device, false);
}

Result<void, SimError> LeClients::writeCcc(const std::string& path, bool enable) {
  auto found = connectedDevice(path);
  if (!found) return fail(found.error());
  const LeDevice& device = *found.value();
  ServedCharacteristic* c = firstCharacteristic(device.adapter, &notifies);
  if (c == nullptr) {
    return fail(simError("NotSupported", "no characteristic with notifications or indications on " +
                                             device.adapter));
  }
  std::string why;
  if (auto refusal = insecure(device, c->definition().cccSecurity, why)) {
    logLine(device.label() + ": subscription to " + c->path() + " refused: " + why);
    return fail(*refusal);
  }
  std::uint16_t value = !enable ? 0 : c->definition().notify ? 1 : 2;
  std::uint16_t& ccc = remotes_[path].ccc[c];
  if (ccc == value) return {};
  ccc = value;
  if (enable) {
    logLine(device.label() + ": subscribed to " + c->path());
    c->enableNotifications({path, device.mtu});
  } else {
    logLine(device.label() + ": unsubscribed from " + c->path());
    c->disableNotifications();
  }
  return {};
}

void LeClients::write(const std::string& path, std::string value, bool withResponse,
                      std::function<void(Result<void, SimError>)> done) {
  auto found = connectedDevice(path);
  if (!found) return done(fail(found.error()));
  const LeDevice& device = *found.value();
  ServedCharacteristic* c = firstCharacteristic(device.adapter, &takesWrites);
  if (c == nullptr)
    return done(fail(simError("NotSupported", "no writable characteristic on " + device.adapter)));
  std::string what =
      device.label() + ": write of " + std::to_string(value.size()) + " bytes to " + c->path();
  std::string why;
  if (auto refusal = insecure(device, c->definition().writeSecurity, why)) {
    logLine(what + " refused: " + why);
    return done(fail(*refusal));
  }
  std::size_t limit = device.mtu - 3u;
  if (value.size() > limit) {
    logLine(what + " refused: longer than MTU - 3");
    return done(fail(simError(
        "InvalidValueLength",
        std::to_string(value.size()) + " bytes do not fit MTU " + std::to_string(device.mtu))));
  }
  std::string label = device.label();
  c->write({path, device.mtu}, std::move(value),
           [label, withResponse, done = std::move(done)](Result<void, SimError> outcome) {
             if (withResponse || outcome.ok()) return done(std::move(outcome));
             logLine(label + ": write without response failed: " + outcome.error().name + ": " +
                     outcome.error().message);
             done({});
           });
}

Result<std::vector<std::string>, SimError> LeClients::takeNotifications(const std::string& path) {
  if (devices_.find(path) == nullptr)
    return fail(simError("DoesNotExist", "no LE device at " + path));
  return std::exchange(remotes_[path].inbox, {});
}

void LeClients::deliver(ServedCharacteristic& c, std::string_view packet) {
  for (auto& [path, remote] : remotes_) {
    auto ccc = remote.ccc.find(&c);
    const LeDevice* device = devices_.find(path);
    if (ccc == remote.ccc.end() || ccc->second == 0 || device == nullptr || !device->connected)
      continue;
    std::size_t limit = device->mtu - 3u;
    std::string what = device->label() + ": notification of " + std::to_string(packet.size()) +
                       " bytes from " + c.path();
    if (packet.size() > limit) {
      logWarning(what + " truncated to " + std::to_string(limit) + " (MTU " +
                 std::to_string(device->mtu) + ")");
    }
    remote.inbox.emplace_back(packet.substr(0, limit));
    if (ccc->second == 2) c.confirmIndication();
  }
}

void LeClients::applicationRemoved(const ServedApplication& application) {
  for (auto& [path, remote] : remotes_) {
    for (const auto& c : application.characteristics) remote.ccc.erase(c.get());
  }
}

void LeClients::linkDropped(const LeDevice& device) {
  for (const auto* application : gatt_.applicationsOn(device.adapter)) {
    for (const auto& c : application->characteristics) c->forgetDevice(device.path);
  }
  auto remote = remotes_.find(device.path);
  if (remote == remotes_.end()) return;
  for (auto& [c, value] : remote->second.ccc) {
    if (value == 0) continue;
    if (device.bonded) {
      logLine(device.label() + ": subscription to " + c->path() +
              " kept over the link drop (bonded)");
      continue;
    }
    value = 0;
    logLine(device.label() + ": subscription to " + c->path() + " ended with the link");
    c->disableNotifications();
  }
}

}  // namespace harlo::bluez_sim
