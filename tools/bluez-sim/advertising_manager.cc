#include "advertising_manager.h"

#include <algorithm>
#include <cstring>

#include "advertisement_check.h"
#include "bus_calls.h"
#include "dbus_objects.h"
#include "log.h"

namespace harlo::bluez_sim {

// LEAdvertisingManager1 on one adapter's object.
struct AdvertisingManager::AdapterObject {
  AdapterObject(AdvertisingManager* m, std::string p) : manager(m), path(std::move(p)) {}
  ~AdapterObject() { sd_bus_slot_unref(slot); }
  AdapterObject(const AdapterObject&) = delete;
  AdapterObject& operator=(const AdapterObject&) = delete;

  AdvertisingManager* manager;
  std::string path;
  sd_bus_slot* slot = nullptr;
};

// A RegisterAdvertisement taken: being read while `call` is set, registered
// once answered.
struct AdvertisingManager::Advertisement {
  Advertisement(AdvertisingManager* m, std::string a, std::string o, std::string p)
      : manager(m), adapter(std::move(a)), owner(std::move(o)), path(std::move(p)) {}
  ~Advertisement() {
    sd_bus_slot_unref(read);
    sd_bus_message_unref(call);
  }
  Advertisement(const Advertisement&) = delete;
  Advertisement& operator=(const Advertisement&) = delete;

  AdvertisingManager* manager;
  std::string adapter;
  std::string owner;
  std::string path;
  sd_bus_message* call = nullptr;  // the RegisterAdvertisement awaiting its answer
  sd_bus_slot* read = nullptr;     // its GetAll
  std::vector<DBusProperty> properties;

  bool registered() const { return call == nullptr; }
  std::string label() const { return path + " from " + owner + " on " + adapter; }
};

namespace {

constexpr const char* managerInterface = "org.bluez.LEAdvertisingManager1";

}  // namespace

AdvertisingManager::AdvertisingManager(sd_bus* bus, RecordWriter& record, Config config)
    : bus_(bus), record_(record), config_(config) {}

Result<std::unique_ptr<AdvertisingManager>, int> AdvertisingManager::create(sd_bus* bus,
                                                                            RecordWriter& record,
                                                                            Config config) {
  std::unique_ptr<AdvertisingManager> manager(new AdvertisingManager(bus, record, config));
  int r = sd_bus_match_signal(bus, &manager->ownerMatch_, "org.freedesktop.DBus",
                              "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                              &AdvertisingManager::onNameOwnerChanged, manager.get());
  if (r < 0) return fail(r);
  record.addSource([m = manager.get()](RecordFile& file) {
    for (const auto& a : m->advertisements_) {
      if (!a->registered()) continue;
      RecordedAdvertisement recorded{a->path, a->adapter, a->owner, {}};
      for (const auto& p : a->properties) recorded.properties.push_back({p.name, p.type, p.value});
      file.advertisements.push_back(std::move(recorded));
    }
  });
  return manager;
}

AdvertisingManager::~AdvertisingManager() {
  advertisements_.clear();
  objects_.clear();
  sd_bus_slot_unref(ownerMatch_);
}

const sd_bus_vtable* AdvertisingManager::vtable() {
  static const sd_bus_vtable table[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD_WITH_NAMES("RegisterAdvertisement", "oa{sv}",
                               SD_BUS_PARAM(advertisement) SD_BUS_PARAM(options), "", ,
                               &AdvertisingManager::onRegister, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("UnregisterAdvertisement", "o", SD_BUS_PARAM(service), "", ,
                               &AdvertisingManager::onUnregister, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_PROPERTY("ActiveInstances", "y", &AdvertisingManager::onGetInstances, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("SupportedInstances", "y", &AdvertisingManager::onGetInstances, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_VTABLE_END};
  return table;
}

AdapterWatch AdvertisingManager::watch() {
  AdapterWatch watch;
  watch.added = [this](const std::string& path) {
    if (!config_.exported) return;
    auto object = std::make_unique<AdapterObject>(this, path);
    int r = sd_bus_add_object_vtable(bus_, &object->slot, path.c_str(), managerInterface, vtable(),
                                     object.get());
    if (r < 0) {
      logWarning("could not export LEAdvertisingManager1 on " + path + ": " + std::strerror(-r));
      return;
    }
    objects_[path] = std::move(object);
  };
  watch.removing = [this](const std::string& path) {
    drop([&](const Advertisement& a) { return a.adapter == path; }, true,
         [&](const Advertisement& a) {
           return a.registered() ? "sent Release() to " + a.owner + " " + a.path
                                 : "RegisterAdvertisement " + a.label() + " left unanswered";
         });
  };
  watch.removed = [this](const std::string& path) { objects_.erase(path); };
  return watch;
}

int AdvertisingManager::onGetInstances(sd_bus*, const char*, const char*, const char* property,
                                       sd_bus_message* reply, void* data, sd_bus_error*) {
  auto* object = static_cast<AdapterObject*>(data);
  const AdvertisingManager& self = *object->manager;
  unsigned taken = self.taken(object->path);
  auto value = static_cast<std::uint8_t>(
      std::strcmp(property, "ActiveInstances") == 0 ? taken : self.config_.instances - taken);
  return sd_bus_message_append(reply, "y", value);
}

unsigned AdvertisingManager::taken(const std::string& adapter) const {
  return static_cast<unsigned>(std::count_if(advertisements_.begin(), advertisements_.end(),
                                             [&](const auto& a) { return a->adapter == adapter; }));
}

void AdvertisingManager::announceInstances(const std::string& adapter) {
  if (!objects_.contains(adapter)) return;
  int r = sd_bus_emit_properties_changed(bus_, adapter.c_str(), managerInterface,
                                         "SupportedInstances", "ActiveInstances", nullptr);
  if (r < 0)
    logWarning("could not announce the instances of " + adapter + ": " + std::strerror(-r));
}

int AdvertisingManager::onRegister(sd_bus_message* message, void* data, sd_bus_error*) {
  auto* object = static_cast<AdapterObject*>(data);
  return object->manager->registerAdvertisement(message, object->path);
}

int AdvertisingManager::registerAdvertisement(sd_bus_message* message, const std::string& adapter) {
  const char* path = nullptr;
  int r = sd_bus_message_read(message, "o", &path);
  if (r < 0) return r;
  const char* sender = sd_bus_message_get_sender(message);
  auto advertisement =
      std::make_unique<Advertisement>(this, adapter, sender != nullptr ? sender : "", path);
  auto refuse = [&](const char* name, const char* text) {
    logLine("RegisterAdvertisement " + advertisement->label() + " refused: " + name + ": " + text);
    return sd_bus_reply_method_errorf(message, name, "%s", text);
  };
  for (const auto& other : advertisements_) {
    if (other->adapter == adapter && other->owner == advertisement->owner && other->path == path)
      return refuse("org.bluez.Error.AlreadyExists", "Already Exists");
  }
  if (taken(adapter) >= config_.instances)
    return refuse("org.bluez.Error.NotPermitted", "Maximum advertisements reached");
  r = sd_bus_call_method_async(bus_, &advertisement->read, advertisement->owner.c_str(), path,
                               "org.freedesktop.DBus.Properties", "GetAll",
                               &AdvertisingManager::onProperties, advertisement.get(), "s",
                               "org.bluez.LEAdvertisement1");
  if (r < 0) return refuse("org.bluez.Error.Failed", "Failed to register advertisement");
  advertisement->call = sd_bus_message_ref(message);
  logLine("RegisterAdvertisement " + advertisement->label() + ": GetAll sent");
  advertisements_.push_back(std::move(advertisement));
  return 1;
}

int AdvertisingManager::onProperties(sd_bus_message* reply, void* data, sd_bus_error*) {
  auto* advertisement = static_cast<Advertisement*>(data);
  AdvertisingManager& self = *advertisement->manager;
  advertisement->read = sd_bus_slot_unref(advertisement->read);
  if (sd_bus_message_get_error(reply) == nullptr) {
    auto read = readPropertyDict(reply);
    if (read) advertisement->properties = std::move(read.value());
  }
  sd_bus_message* call = std::exchange(advertisement->call, nullptr);
  auto checked = checkAdvertisement(advertisement->properties);
  if (!checked) {
    logLine("RegisterAdvertisement " + advertisement->label() +
            " refused: org.bluez.Error.Failed: " + advertisementRefusal + " (" + checked.error() +
            ")");
    self.advertisements_.erase(
        std::find_if(self.advertisements_.begin(), self.advertisements_.end(),
                     [&](const auto& a) { return a.get() == advertisement; }));
    sd_bus_reply_method_errorf(call, "org.bluez.Error.Failed", "%s", advertisementRefusal);
    sd_bus_message_unref(call);
    return 0;
  }
  self.record_.write();
  logLine("registered advertisement " + advertisement->path + " for " + advertisement->owner +
          " on " + advertisement->adapter);
  sd_bus_reply_method_return(call, "");
  sd_bus_message_unref(call);
  self.announceInstances(advertisement->adapter);
  return 0;
}

int AdvertisingManager::onUnregister(sd_bus_message* message, void* data, sd_bus_error*) {
  auto* object = static_cast<AdapterObject*>(data);
  return object->manager->unregisterAdvertisement(message, object->path);
}

int AdvertisingManager::unregisterAdvertisement(sd_bus_message* message,
                                                const std::string& adapter) {
  const char* path = nullptr;
  int r = sd_bus_message_read(message, "o", &path);
  if (r < 0) return r;
  std::string owner = sd_bus_message_get_sender(message) ? sd_bus_message_get_sender(message) : "";
  auto matches = [&](const Advertisement& a) {
    return a.adapter == adapter && a.owner == owner && a.path == path;
  };
  if (std::none_of(advertisements_.begin(), advertisements_.end(),
                   [&](const auto& a) { return matches(*a); })) {
    logLine(std::string("UnregisterAdvertisement ") + path + " from " + owner + " on " + adapter +
            " refused: no such advertisement");
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.DoesNotExist", "Does Not Exist");
  }
  drop(matches, false, [&](const Advertisement& a) {
    return a.registered()
               ? "unregistered advertisement " + a.path + " for " + owner + " on " + adapter
               : "RegisterAdvertisement " + a.label() + " left unanswered";
  });
  return sd_bus_reply_method_return(message, "");
}

int AdvertisingManager::onNameOwnerChanged(sd_bus_message* message, void* data, sd_bus_error*) {
  auto& self = *static_cast<AdvertisingManager*>(data);
  const char* name = nullptr;
  const char* oldOwner = nullptr;
  const char* newOwner = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
  if (name[0] != ':' || newOwner[0] != '\0') return 0;
  self.drop([&](const Advertisement& a) { return a.owner == name; }, false,
            [&](const Advertisement& a) {
              return std::string(name) + " left the bus: dropped advertisement " + a.path + " on " +
                     a.adapter;
            });
  return 0;
}

void AdvertisingManager::releaseAll() {
  drop([](const Advertisement&) { return true; }, true,
       [](const Advertisement& a) {
         return a.registered() ? "sent Release() to " + a.owner + " " + a.path
                               : "RegisterAdvertisement " + a.label() + " left unanswered";
       });
}

void AdvertisingManager::drop(const std::function<bool(const Advertisement&)>& which, bool release,
                              const std::function<std::string(const Advertisement&)>& why) {
  std::vector<std::unique_ptr<Advertisement>> dropped;
  std::vector<std::unique_ptr<Advertisement>> kept;
  for (auto& a : advertisements_) (which(*a) ? dropped : kept).push_back(std::move(a));
  advertisements_ = std::move(kept);
  std::vector<std::string> adapters;
  for (const auto& a : dropped) {
    if (!a->registered()) {
      logLine(why(*a));
      continue;
    }
    int r = release
                ? sendWithoutReply(bus_, a->owner, a->path, "org.bluez.LEAdvertisement1", "Release")
                : 0;
    if (r < 0) {
      logWarning("could not send Release() to " + a->owner + " " + a->path);
    } else {
      logLine(why(*a));
    }
    if (std::find(adapters.begin(), adapters.end(), a->adapter) == adapters.end())
      adapters.push_back(a->adapter);
  }
  if (adapters.empty()) return;
  record_.write();
  for (const auto& adapter : adapters) announceInstances(adapter);
}

}  // namespace harlo::bluez_sim
