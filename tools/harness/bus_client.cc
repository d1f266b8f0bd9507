#include "bus_client.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "bluez-sim/dbus_options.h"

namespace harlo::harness {
namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t microseconds(std::chrono::milliseconds bound) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(bound).count());
}

template <typename T>
int appendNumber(sd_bus_message* m, char type, const std::string& text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return -EINVAL;
  return sd_bus_message_append_basic(m, type, &value);
}

// Appends `value` as one D-Bus value of the basic type `type`.
int appendValue(sd_bus_message* m, const std::string& type, const std::string& value) {
  if (type.size() != 1) return -EOPNOTSUPP;
  char t = type[0];
  switch (t) {
    case 's':
    case 'o':
    case 'g':
      return sd_bus_message_append_basic(m, t, value.c_str());
    case 'b': {
      int flag = value == "true";
      return value == "true" || value == "false" ? sd_bus_message_append_basic(m, t, &flag)
                                                 : -EINVAL;
    }
    case 'y':
      return appendNumber<std::uint8_t>(m, t, value);
    case 'n':
      return appendNumber<std::int16_t>(m, t, value);
    case 'q':
      return appendNumber<std::uint16_t>(m, t, value);
    case 'i':
      return appendNumber<std::int32_t>(m, t, value);
    case 'u':
      return appendNumber<std::uint32_t>(m, t, value);
    case 'x':
      return appendNumber<std::int64_t>(m, t, value);
    case 't':
      return appendNumber<std::uint64_t>(m, t, value);
    case 'd':
      return appendNumber<double>(m, t, value);
    default:
      return -EOPNOTSUPP;
  }
}

CallOutcome localFailure(const char* name, int r) { return {name, std::strerror(-r)}; }

// Sends `call` and waits for its reply; the reply (if wanted) is returned
// through `reply`.
CallOutcome send(sd_bus* bus, sd_bus_message* call, std::chrono::milliseconds bound,
                 sd_bus_message** reply = nullptr) {
  sd_bus_error error{};
  int r = sd_bus_call(bus, call, microseconds(bound), &error, reply);
  CallOutcome outcome;
  if (r < 0) {
    outcome = sd_bus_error_is_set(&error)
                  ? CallOutcome{error.name, error.message ? error.message : ""}
                  : localFailure("harness.CallFailed", r);
  }
  sd_bus_error_free(&error);
  return outcome;
}

// Reads the entries of an array of dict entries whose container the message
// has entered, each a key of type `key` ('s' or 'o') followed by what
// `readValue` reads, into `out`; then leaves the array.
template <typename Value>
int readDict(sd_bus_message* m, char key, const char* entry,
             Result<Value, int> (*readValue)(sd_bus_message*), std::map<std::string, Value>& out) {
  int r = 0;
  while ((r = sd_bus_message_enter_container(m, 'e', entry)) > 0) {
    const char* name = nullptr;
    if ((r = sd_bus_message_read_basic(m, key, &name)) < 0) return r;
    auto value = readValue(m);
    if (!value) return value.error();
    out.emplace(name, std::move(value.value()));
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  return r < 0 ? r : sd_bus_message_exit_container(m);
}

}  // namespace

Result<InterfaceMap, int> readInterfaceMap(sd_bus_message* m) {
  InterfaceMap interfaces;
  int r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}");
  if (r <= 0) return fail(r < 0 ? r : -EBADMSG);
  if ((r = readDict(m, 's', "sa{sv}", &bluez_sim::readProfileOptions, interfaces)) < 0)
    return fail(r);
  return interfaces;
}

Result<std::unique_ptr<BusClient>, std::string> BusClient::connect(const std::string& address) {
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r >= 0) r = sd_bus_set_address(bus, address.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
  if (r >= 0) r = sd_bus_negotiate_fds(bus, 1);
  if (r >= 0) r = sd_bus_start(bus);
  if (r < 0) {
    sd_bus_unref(bus);
    return fail("connecting to " + address + ": " + std::strerror(-r));
  }
  return std::unique_ptr<BusClient>(new BusClient(bus));
}

BusClient::~BusClient() { sd_bus_flush_close_unref(bus_); }

std::string BusClient::uniqueName() const {
  const char* name = nullptr;
  return sd_bus_get_unique_name(bus_, &name) >= 0 ? name : "";
}

CallOutcome BusClient::registerProfile(const std::string& path, const std::string& uuid,
                                       const std::vector<bluez_sim::ProfileOption>& options,
                                       std::chrono::milliseconds bound) {
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &call, "org.bluez", "/org/bluez",
                                         "org.bluez.ProfileManager1", "RegisterProfile");
  if (r >= 0) r = sd_bus_message_append(call, "os", path.c_str(), uuid.c_str());
  if (r >= 0) r = sd_bus_message_open_container(call, 'a', "{sv}");
  for (const auto& option : options) {
    if (r >= 0) r = sd_bus_message_open_container(call, 'e', "sv");
    if (r >= 0) r = sd_bus_message_append_basic(call, 's', option.key.c_str());
    if (r >= 0) r = sd_bus_message_open_container(call, 'v', option.type.c_str());
    if (r >= 0) r = appendValue(call, option.type, option.value);
    if (r >= 0) r = sd_bus_message_close_container(call);
    if (r >= 0) r = sd_bus_message_close_container(call);
  }
  if (r >= 0) r = sd_bus_message_close_container(call);
  CallOutcome outcome =
      r < 0 ? localFailure("harness.UnsupportedType", r) : send(bus_, call, bound);
  sd_bus_message_unref(call);
  return outcome;
}

CallOutcome BusClient::unregisterProfile(const std::string& path, std::chrono::milliseconds bound) {
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &call, "org.bluez", "/org/bluez",
                                         "org.bluez.ProfileManager1", "UnregisterProfile");
  if (r >= 0) r = sd_bus_message_append(call, "o", path.c_str());
  CallOutcome outcome = r < 0 ? localFailure("harness.CallFailed", r) : send(bus_, call, bound);
  sd_bus_message_unref(call);
  return outcome;
}

Result<std::map<std::string, InterfaceMap>, CallOutcome> BusClient::managedObjects(
    const std::string& destination, std::chrono::milliseconds bound) {
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &call, destination.c_str(), "/",
                                         "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
  CallOutcome outcome =
      r < 0 ? localFailure("harness.CallFailed", r) : send(bus_, call, bound, &reply);
  std::map<std::string, InterfaceMap> objects;
  if (outcome.ok()) {
    r = sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}");
    if (r > 0) r = readDict(reply, 'o', "oa{sa{sv}}", &readInterfaceMap, objects);
    if (r <= 0) outcome = localFailure("harness.BadReply", r < 0 ? r : -EBADMSG);
  }
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  if (!outcome.ok()) return fail(outcome);
  return objects;
}

CallOutcome BusClient::setProperty(const std::string& destination, const std::string& path,
                                   const std::string& interface,
                                   const bluez_sim::ProfileOption& property,
                                   std::chrono::milliseconds bound) {
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &call, destination.c_str(), path.c_str(),
                                         "org.freedesktop.DBus.Properties", "Set");
  if (r >= 0) r = sd_bus_message_append(call, "ss", interface.c_str(), property.key.c_str());
  if (r >= 0) r = sd_bus_message_open_container(call, 'v', property.type.c_str());
  if (r >= 0) r = appendValue(call, property.type, property.value);
  if (r >= 0) r = sd_bus_message_close_container(call);
  CallOutcome outcome =
      r < 0 ? localFailure("harness.UnsupportedType", r) : send(bus_, call, bound);
  sd_bus_message_unref(call);
  return outcome;
}

CallOutcome BusClient::call(sd_bus_message* call, sd_bus_message** reply,
                            std::chrono::milliseconds bound) {
  return send(bus_, call, bound, reply);
}

std::optional<std::string> BusClient::nameOwner(const std::string& name,
                                                std::chrono::milliseconds bound) {
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  int r =
      sd_bus_message_new_method_call(bus_, &call, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "GetNameOwner");
  if (r >= 0) r = sd_bus_message_append(call, "s", name.c_str());
  std::optional<std::string> owner;
  if (r >= 0 && send(bus_, call, bound, &reply).ok()) {
    const char* text = nullptr;
    if (sd_bus_message_read(reply, "s", &text) >= 0) owner = text;
  }
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  return owner;
}

bool BusClient::processUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
  auto deadline = Clock::now() + bound;
  while (!done()) {
    int r = sd_bus_process(bus_, nullptr);
    if (r < 0) return done();
    if (r > 0) continue;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return done();
    sd_bus_wait(bus_, microseconds(left));
  }
  return true;
}

}  // namespace harlo::harness
