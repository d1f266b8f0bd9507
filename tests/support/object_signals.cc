#include "object_signals.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "bluez-sim/dbus_options.h"

namespace harlo::test_support {
namespace {

// Reads the body of `member` into `signal`; false if it does not hold what
// that signal carries.
bool readBody(sd_bus_message* m, std::string_view member, ObjectSignal& signal) {
  const char* text = nullptr;
  if (member == "PropertiesChanged") {
    if (sd_bus_message_read(m, "s", &text) < 0) return false;
    auto changed = bluez_sim::readProfileOptions(m);
    if (!changed) return false;
    signal.interfaces.emplace(text, std::move(changed.value()));
    return true;
  }
  if (sd_bus_message_read(m, "o", &text) < 0) return false;
  signal.path = text;
  if (member == "InterfacesAdded") {
    auto added = readInterfaceMap(m);
    if (!added) return false;
    signal.interfaces = std::move(added.value());
    return true;
  }
  char** removed = nullptr;
  if (sd_bus_message_read_strv(m, &removed) < 0) return false;
  for (char** name = removed; *name != nullptr; ++name) {
    signal.interfaces.emplace(*name, PropertyList{});
    std::free(*name);
  }
  std::free(removed);
  return true;
}

}  // namespace

Result<std::unique_ptr<ObjectSignals>, std::string> ObjectSignals::watch(
    BusClient& bus, const std::string& sender) {
  std::unique_ptr<ObjectSignals> signals(new ObjectSignals());
  const std::pair<const char*, const char*> watched[] = {
      {"org.freedesktop.DBus.ObjectManager", "InterfacesAdded"},
      {"org.freedesktop.DBus.ObjectManager", "InterfacesRemoved"},
      {"org.freedesktop.DBus.Properties", "PropertiesChanged"},
  };
  for (const auto& [interface, member] : watched) {
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_match_signal(bus.native(), &slot, sender.c_str(), nullptr, interface, member,
                                &ObjectSignals::onSignal, signals.get());
    if (r < 0) return fail(std::string("watching ") + member + ": " + std::strerror(-r));
    signals->slots_.push_back(slot);
  }
  return signals;
}

ObjectSignals::~ObjectSignals() {
  for (sd_bus_slot* slot : slots_) sd_bus_slot_unref(slot);
}

int ObjectSignals::onSignal(sd_bus_message* message, void* self, sd_bus_error*) {
  ObjectSignal signal{sd_bus_message_get_member(message), sd_bus_message_get_path(message), {}};
  if (!readBody(message, signal.member, signal)) signal.interfaces.clear();
  static_cast<ObjectSignals*>(self)->received_.push_back(std::move(signal));
  return 0;
}

}  // namespace harlo::test_support
