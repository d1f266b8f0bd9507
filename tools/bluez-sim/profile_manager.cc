#include "profile_manager.h"

#include <systemd/sd-bus.h>

#include "dbus_options.h"
#include "log.h"

namespace harlo::bluez_sim {
namespace {

const char* errorName(RegistrationFailure::Kind kind) {
  switch (kind) {
    case RegistrationFailure::Kind::alreadyExists:
      return "org.bluez.Error.AlreadyExists";
    case RegistrationFailure::Kind::notPermitted:
      return "org.bluez.Error.NotPermitted";
    case RegistrationFailure::Kind::invalidArguments:
      return "org.bluez.Error.InvalidArguments";
  }
  return "org.bluez.Error.Failed";
}

}  // namespace

Result<std::unique_ptr<ProfileManager>, int> ProfileManager::create(sd_bus* bus,
                                                                    RecordWriter& record,
                                                                    Config config) {
  std::unique_ptr<ProfileManager> manager(new ProfileManager(bus, record, config));
  int r = sd_bus_add_object_vtable(bus, &manager->objectSlot_, "/org/bluez",
                                   "org.bluez.ProfileManager1", vtable(), manager.get());
  if (r < 0) return fail(r);
  r = sd_bus_match_signal(bus, &manager->ownerMatchSlot_, "org.freedesktop.DBus",
                          "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                          &ProfileManager::onNameOwnerChanged, manager.get());
  if (r < 0) return fail(r);
  record.addSource([m = manager.get()](RecordFile& file) {
    for (const auto& registration : m->registry_.registrations())
      file.profiles.push_back(recordOf(registration));
    file.unregisterCalls = m->unregisterCalls_;
  });
  record.write();
  return manager;
}

const sd_bus_vtable* ProfileManager::vtable() {
  static const sd_bus_vtable table[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD_WITH_NAMES("RegisterProfile", "osa{sv}",
                               SD_BUS_PARAM(profile) SD_BUS_PARAM(UUID) SD_BUS_PARAM(options), "", ,
                               &ProfileManager::onRegisterProfile, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("UnregisterProfile", "o", SD_BUS_PARAM(profile), "", ,
                               &ProfileManager::onUnregisterProfile, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
  return table;
}

ProfileManager::~ProfileManager() {
  sd_bus_slot_unref(ownerMatchSlot_);
  sd_bus_slot_unref(objectSlot_);
}

int ProfileManager::onRegisterProfile(sd_bus_message* message, void* self, sd_bus_error*) {
  return static_cast<ProfileManager*>(self)->registerProfile(message);
}

int ProfileManager::registerProfile(sd_bus_message* message) {
  const char* path = nullptr;
  const char* uuid = nullptr;
  std::string owner = sd_bus_message_get_sender(message) ? sd_bus_message_get_sender(message) : "";
  int r = sd_bus_message_read(message, "os", &path, &uuid);
  if (r < 0) return r;
  auto refuse = [&](const char* name, const std::string& text) {
    logLine(std::string("RegisterProfile ") + path + " from " + owner + " refused: " + name + ": " +
            text);
    return sd_bus_reply_method_errorf(message, name, "%s", text.c_str());
  };
  if (config_.failRegister) return refuse("org.bluez.Error.Failed", "simulated failure");
  auto options = readProfileOptions(message);
  if (!options)
    return refuse("org.bluez.Error.InvalidArguments", "Invalid arguments in method call");
  auto added = registry_.add(owner, path, uuid, std::move(options.value()));
  if (!added) return refuse(errorName(added.error().kind), added.error().message);
  for (const auto& warning : added.value()) logWarning(warning);
  record_.write();
  const Registration& registration = registry_.registrations().back();
  logLine("registered " + registration.path + " " + registration.uuid + " for " + owner +
          ", listening " + recordOf(registration).listening);
  return sd_bus_reply_method_return(message, "");
}

int ProfileManager::onUnregisterProfile(sd_bus_message* message, void* self, sd_bus_error*) {
  return static_cast<ProfileManager*>(self)->unregisterProfile(message);
}

int ProfileManager::unregisterProfile(sd_bus_message* message) {
  using Outcome = UnregisterCall::Outcome;
  const char* path = nullptr;
  int r = sd_bus_message_read(message, "o", &path);
  if (r < 0) return r;
  std::string owner = sd_bus_message_get_sender(message) ? sd_bus_message_get_sender(message) : "";
  if (config_.neverAnswerUnregister) {
    unregisterCalls_.push_back({path, owner, Outcome::unanswered});
    record_.write();
    logLine(std::string("UnregisterProfile ") + path + " from " + owner + " left unanswered");
    // Handled without a reply: sd-bus sends none of its own for a handler
    // that returns without error.
    return 1;
  }
  auto registration = registry_.remove(owner, path);
  unregisterCalls_.push_back({path, owner, registration ? Outcome::removed : Outcome::refused});
  record_.write();
  if (!registration) {
    logLine(std::string("UnregisterProfile ") + path + " from " + owner +
            " refused: no such profile");
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.DoesNotExist", "Does Not Exist");
  }
  logLine("unregistered " + registration->path + " for " + owner);
  removed(*registration);
  return sd_bus_reply_method_return(message, "");
}

int ProfileManager::onNameOwnerChanged(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* manager = static_cast<ProfileManager*>(self);
  const char* name = nullptr;
  const char* oldOwner = nullptr;
  const char* newOwner = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
  if (name[0] != ':' || newOwner[0] != '\0') return 0;
  auto dropped = manager->registry_.removeOwner(name);
  if (dropped.empty()) return 0;
  manager->record_.write();
  for (const auto& registration : dropped) {
    logLine(std::string(name) + " left the bus: dropped " + registration.path);
    manager->removed(registration);
  }
  return 0;
}

void ProfileManager::releaseAll() {
  auto all = registry_.removeAll();
  record_.write();
  for (const auto& registration : all) {
    removed(registration);
    sd_bus_message* call = nullptr;
    int r =
        sd_bus_message_new_method_call(bus_, &call, registration.owner.c_str(),
                                       registration.path.c_str(), "org.bluez.Profile1", "Release");
    if (r >= 0) r = sd_bus_message_set_expect_reply(call, 0);
    if (r >= 0) r = sd_bus_send(bus_, call, nullptr);
    sd_bus_message_unref(call);
    if (r < 0) {
      logWarning("could not send Release() to " + registration.owner + " " + registration.path);
    } else {
      logLine("sent Release() to " + registration.owner + " " + registration.path);
    }
  }
}

void ProfileManager::removed(const Registration& registration) {
  if (onRemoved_) onRemoved_(registration);
}

}  // namespace harlo::bluez_sim
