#include "gatt_manager.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "dbus_objects.h"
#include "log.h"

namespace harlo::bluez_sim {

// GattManager1 on one adapter's object.
struct GattManager::AdapterObject {
  AdapterObject(GattManager* m, std::string p) : manager(m), path(std::move(p)) {}
  ~AdapterObject() { sd_bus_slot_unref(slot); }
  AdapterObject(const AdapterObject&) = delete;
  AdapterObject& operator=(const AdapterObject&) = delete;

  GattManager* manager;
  std::string path;
  sd_bus_slot* slot = nullptr;
};

// A RegisterApplication taken: being read while `call` is set, served once
// `served` is.
struct GattManager::Registration {
  Registration(GattManager* m, std::string a, std::string o, std::string r)
      : manager(m), adapter(std::move(a)), owner(std::move(o)), root(std::move(r)) {}
  ~Registration() {
    sd_bus_slot_unref(read);
    sd_bus_message_unref(call);
  }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

  GattManager* manager;
  std::string adapter;
  std::string owner;
  std::string root;
  sd_bus_message* call = nullptr;  // the RegisterApplication awaiting its answer
  sd_bus_slot* read = nullptr;     // its GetManagedObjects
  std::unique_ptr<ServedApplication> served;

  std::string label() const { return root + " from " + owner + " on " + adapter; }
};

namespace {

RecordedGattApplication recordOf(const ServedApplication& served) {
  RecordedGattApplication app{served.root, served.adapter, served.owner, {}, {}, {}};
  for (const auto& s : served.application.services)
    app.services.push_back({s.path, s.uuid, s.primary});
  for (const auto& c : served.application.characteristics) {
    std::vector<std::string> has;
    if (c.hasWriteAcquired) has.emplace_back("WriteAcquired");
    if (c.hasNotifyAcquired) has.emplace_back("NotifyAcquired");
    if (c.hasNotifying) has.emplace_back("Notifying");
    app.characteristics.push_back({c.path, c.uuid, c.service, c.flags, std::move(has)});
  }
  for (const auto& d : served.application.descriptors)
    app.descriptors.push_back({d.path, d.uuid, d.characteristic, d.flags});
  return app;
}

// The bytes of Value among the changed properties of a PropertiesChanged,
// if it is there as an "ay".
std::optional<std::string> changedValue(sd_bus_message* m) {
  if (sd_bus_message_skip(m, "s") < 0 || sd_bus_message_enter_container(m, 'a', "{sv}") <= 0)
    return std::nullopt;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* name = nullptr;
    if (sd_bus_message_read_basic(m, 's', &name) < 0) return std::nullopt;
    if (std::strcmp(name, "Value") == 0) {
      const void* bytes = nullptr;
      std::size_t size = 0;
      if (sd_bus_message_enter_container(m, 'v', "ay") <= 0 ||
          sd_bus_message_read_array(m, 'y', &bytes, &size) < 0) {
        return std::nullopt;
      }
      return size == 0 ? std::string() : std::string(static_cast<const char*>(bytes), size);
    }
    if (sd_bus_message_skip(m, "v") < 0 || sd_bus_message_exit_container(m) < 0)
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

GattManager::GattManager(sd_event* event, sd_bus* bus, RecordWriter& record, bool exported)
    : event_(event), bus_(bus), record_(record), exported_(exported) {}

Result<std::unique_ptr<GattManager>, int> GattManager::create(sd_event* event, sd_bus* bus,
                                                              RecordWriter& record, bool exported) {
  std::unique_ptr<GattManager> manager(new GattManager(event, bus, record, exported));
  int r = sd_bus_match_signal(bus, &manager->ownerMatch_, "org.freedesktop.DBus",
                              "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                              &GattManager::onNameOwnerChanged, manager.get());
  if (r >= 0) {
    r = sd_bus_add_match(bus, &manager->valueMatch_,
                         "type='signal',interface='org.freedesktop.DBus.Properties',"
                         "member='PropertiesChanged',arg0='org.bluez.GattCharacteristic1'",
                         &GattManager::onValueChanged, manager.get());
  }
  if (r < 0) return fail(r);
  record.addSource([m = manager.get()](RecordFile& file) {
    for (const auto& registration : m->registrations_) {
      if (registration->served) file.gattApplications.push_back(recordOf(*registration->served));
    }
  });
  return manager;
}

GattManager::~GattManager() {
  registrations_.clear();
  objects_.clear();
  sd_bus_slot_unref(valueMatch_);
  sd_bus_slot_unref(ownerMatch_);
}

const sd_bus_vtable* GattManager::vtable() {
  static const sd_bus_vtable table[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD_WITH_NAMES("RegisterApplication", "oa{sv}",
                               SD_BUS_PARAM(application) SD_BUS_PARAM(options), "", ,
                               &GattManager::onRegister, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("UnregisterApplication", "o", SD_BUS_PARAM(application), "", ,
                               &GattManager::onUnregister, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
  return table;
}

AdapterWatch GattManager::watch() {
  AdapterWatch watch;
  watch.added = [this](const std::string& path) {
    if (!exported_) return;
    auto object = std::make_unique<AdapterObject>(this, path);
    int r = sd_bus_add_object_vtable(bus_, &object->slot, path.c_str(), "org.bluez.GattManager1",
                                     vtable(), object.get());
    if (r < 0) {
      logWarning("could not export GattManager1 on " + path + ": " + std::strerror(-r));
      return;
    }
    objects_[path] = std::move(object);
  };
  watch.removing = [this](const std::string& path) {
    drop([&](const Registration& r) { return r.adapter == path; },
         [&](const Registration& r) {
           return r.served ? "GATT application " + r.root + " of " + r.owner + " went with " + path
                           : "RegisterApplication " + r.label() + " left unanswered";
         });
  };
  watch.removed = [this](const std::string& path) { objects_.erase(path); };
  return watch;
}

int GattManager::onRegister(sd_bus_message* message, void* data, sd_bus_error*) {
  auto* object = static_cast<AdapterObject*>(data);
  return object->manager->registerApplication(message, object->path);
}

int GattManager::registerApplication(sd_bus_message* message, const std::string& adapter) {
  const char* root = nullptr;
  int r = sd_bus_message_read(message, "o", &root);
  if (r < 0) return r;
  const char* sender = sd_bus_message_get_sender(message);
  auto registration =
      std::make_unique<Registration>(this, adapter, sender != nullptr ? sender : "", root);
  for (const auto& other : registrations_) {
    if (other->adapter == adapter && other->owner == registration->owner && other->root == root) {
      logLine("RegisterApplication " + registration->label() +
              " refused: org.bluez.Error.AlreadyExists: Already Exists");
      return sd_bus_reply_method_errorf(message, "org.bluez.Error.AlreadyExists", "Already Exists");
    }
  }
  r = sd_bus_call_method_async(bus_, &registration->read, registration->owner.c_str(), root,
                               "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                               &GattManager::onObjects, registration.get(), "");
  if (r < 0) {
    logLine("RegisterApplication " + registration->label() +
            " refused: org.bluez.Error.Failed: Failed to register application");
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.Failed",
                                      "Failed to register application");
  }
  registration->call = sd_bus_message_ref(message);
  logLine("RegisterApplication " + registration->label() + ": GetManagedObjects sent");
  registrations_.push_back(std::move(registration));
  return 1;
}

int GattManager::onObjects(sd_bus_message* reply, void* data, sd_bus_error*) {
  auto* registration = static_cast<Registration*>(data);
  GattManager& self = *registration->manager;
  registration->read = sd_bus_slot_unref(registration->read);
  std::vector<DBusObject> objects;
  if (sd_bus_message_get_error(reply) == nullptr) {
    auto read = readManagedObjects(reply);
    if (read) objects = std::move(read.value());
  }
  auto application = readGattApplication(objects);
  if (application) {
    self.serve(*registration, std::move(application.value()));
    return 0;
  }
  sd_bus_message* call = std::exchange(registration->call, nullptr);
  logLine("RegisterApplication " + registration->label() + " refused: org.bluez.Error.Failed: " +
          application.error().message + " (" + application.error().reason + ")");
  self.registrations_.erase(std::find_if(self.registrations_.begin(), self.registrations_.end(),
                                         [&](const auto& r) { return r.get() == registration; }));
  sd_bus_reply_method_errorf(call, "org.bluez.Error.Failed", "%s",
                             application.error().message.c_str());
  sd_bus_message_unref(call);
  return 0;
}

void GattManager::serve(Registration& registration, GattApplication application) {
  auto served = std::make_unique<ServedApplication>(ServedApplication{
      registration.adapter, registration.owner, registration.root, std::move(application), {}});
  for (const auto& definition : served->application.characteristics) {
    served->characteristics.push_back(std::make_unique<ServedCharacteristic>(
        event_, bus_, registration.owner, definition,
        [this](ServedCharacteristic& c, std::string_view packet) {
          if (sink_) sink_(c, packet);
        }));
    served->characteristics.back()->setStalled(stalled_);
  }
  registration.served = std::move(served);
  record_.write();
  logLine("registered GATT application " + registration.root + " for " + registration.owner +
          " on " + registration.adapter + ": " +
          std::to_string(registration.served->application.services.size()) + " services, " +
          std::to_string(registration.served->application.characteristics.size()) +
          " characteristics");
  sd_bus_message* call = std::exchange(registration.call, nullptr);
  sd_bus_reply_method_return(call, "");
  sd_bus_message_unref(call);
}

int GattManager::onUnregister(sd_bus_message* message, void* data, sd_bus_error*) {
  auto* object = static_cast<AdapterObject*>(data);
  return object->manager->unregisterApplication(message, object->path);
}

int GattManager::unregisterApplication(sd_bus_message* message, const std::string& adapter) {
  const char* root = nullptr;
  int r = sd_bus_message_read(message, "o", &root);
  if (r < 0) return r;
  std::string owner = sd_bus_message_get_sender(message) ? sd_bus_message_get_sender(message) : "";
  auto matches = [&](const Registration& reg) {
    return reg.adapter == adapter && reg.owner == owner && reg.root == root;
  };
  if (std::none_of(registrations_.begin(), registrations_.end(),
                   [&](const auto& reg) { return matches(*reg); })) {
    logLine(std::string("UnregisterApplication ") + root + " from " + owner + " on " + adapter +
            " refused: no such application");
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.DoesNotExist", "Does Not Exist");
  }
  drop(matches, [&](const Registration& reg) {
    return reg.served
               ? "unregistered GATT application " + reg.root + " for " + owner + " on " + adapter
               : "RegisterApplication " + reg.label() + " left unanswered";
  });
  return sd_bus_reply_method_return(message, "");
}

int GattManager::onNameOwnerChanged(sd_bus_message* message, void* data, sd_bus_error*) {
  auto& self = *static_cast<GattManager*>(data);
  const char* name = nullptr;
  const char* oldOwner = nullptr;
  const char* newOwner = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
  if (name[0] != ':' || newOwner[0] != '\0') return 0;
  self.drop([&](const Registration& r) { return r.owner == name; },
            [&](const Registration& r) {
              return std::string(name) + " left the bus: dropped GATT application " + r.root +
                     " on " + r.adapter;
            });
  return 0;
}

void GattManager::drop(const std::function<bool(const Registration&)>& which,
                       const std::function<std::string(const Registration&)>& why) {
  std::vector<std::unique_ptr<Registration>> dropped;
  std::vector<std::unique_ptr<Registration>> kept;
  for (auto& registration : registrations_)
    (which(*registration) ? dropped : kept).push_back(std::move(registration));
  registrations_ = std::move(kept);
  bool anyServed = false;
  for (auto& registration : dropped) {
    if (registration->served) {
      anyServed = true;
      if (onRemoved_) onRemoved_(*registration->served);
    }
    std::string line = why(*registration);
    registration.reset();
    logLine(line);
  }
  if (anyServed) record_.write();
}

int GattManager::onValueChanged(sd_bus_message* message, void* data, sd_bus_error*) {
  auto& self = *static_cast<GattManager*>(data);
  const char* sender = sd_bus_message_get_sender(message);
  const char* path = sd_bus_message_get_path(message);
  if (sender == nullptr || path == nullptr) return 0;
  ServedCharacteristic* target = nullptr;
  for (const auto& registration : self.registrations_) {
    if (!registration->served || registration->owner != sender) continue;
    for (const auto& c : registration->served->characteristics) {
      const GattCharacteristic& d = c->definition();
      if (d.path == path && (d.notify || d.indicate)) target = c.get();
    }
  }
  if (target == nullptr) return 0;
  auto value = changedValue(message);
  if (value) target->valueChanged(*value);
  return 0;
}

std::vector<ServedApplication*> GattManager::applicationsOn(const std::string& adapter) const {
  std::vector<ServedApplication*> served;
  for (const auto& registration : registrations_) {
    if (registration->served && registration->adapter == adapter)
      served.push_back(registration->served.get());
  }
  return served;
}

void GattManager::setNotificationsStalled(bool stalled) {
  stalled_ = stalled;
  for (const auto& registration : registrations_) {
    if (!registration->served) continue;
    for (const auto& c : registration->served->characteristics) c->setStalled(stalled);
  }
}

}  // namespace harlo::bluez_sim
