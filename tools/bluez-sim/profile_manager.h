// The simulated org.bluez.ProfileManager1 object at /org/bluez.
//
// RegisterProfile(o profile, s uuid, a{sv} options) and
// UnregisterProfile(o profile) answer as bluetoothd does (see
// profile_registry.h for the checks and errors; a call with another
// signature is refused by sd-bus with org.freedesktop.DBus.Error.InvalidArgs).
// A registration lives as long as the bus connection that made it: when its
// owner leaves the bus (NameOwnerChanged) its profiles are dropped.
//
// Every change, and every UnregisterProfile call, is logged on standard error
// and written to the record file before the reply goes out. With
// neverAnswerUnregister an UnregisterProfile call is recorded and logged but
// neither carried out nor answered, as by a bluetoothd that hangs: the caller
// sees no reply until its own timeout (or the simulator's exit), and the
// profile stays registered until its owner leaves the bus. Lines a test may
// wait for:
//   "registered <path> <uuid> for <owner>, listening <channel|auto|none>"
//   "unregistered <path> for <owner>"
//   "UnregisterProfile <path> from <owner> refused: no such profile"
//   "UnregisterProfile <path> from <owner> left unanswered"
//   "<owner> left the bus: dropped <path>"
//   "RegisterProfile <path> from <owner> refused: <error name>: <message>"
//   "warning: <why an option was ignored>"
//   "sent Release() to <owner> <path>"
//
// Single-threaded: everything runs on the thread of the sd-event loop the
// bus is attached to. The bus must outlive the manager.
#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/result.h"
#include "profile_registry.h"
#include "record_file.h"
#include "record_writer.h"

namespace harlo::bluez_sim {

class ProfileManager final {
 public:
  struct Config {
    bool failRegister = false;  // RegisterProfile fails with org.bluez.Error.Failed
    bool neverAnswerUnregister = false;
  };

  // Exports the object on `bus`, watches for owners leaving, adds its
  // sections (profiles, unregister calls) to `record` and writes it. Fails
  // with a negative errno. `record` must outlive the manager.
  static Result<std::unique_ptr<ProfileManager>, int> create(sd_bus* bus, RecordWriter& record,
                                                             Config config);

  ~ProfileManager();
  ProfileManager(const ProfileManager&) = delete;
  ProfileManager& operator=(const ProfileManager&) = delete;

  // Called with each profile after it has been removed, for whatever reason.
  void setOnRemoved(std::function<void(const Registration&)> onRemoved) {
    onRemoved_ = std::move(onRemoved);
  }

  // See ProfileRegistry::listeningProfile. The pointer is valid until the
  // next bus message is processed.
  const Registration* listeningProfile() const { return registry_.listeningProfile(); }

  // Removes every profile and sends each one's owner Release() (no reply
  // expected), as bluetoothd does when it shuts down. Queued, not flushed.
  void releaseAll();

 private:
  ProfileManager(sd_bus* bus, RecordWriter& record, Config config)
      : bus_(bus), record_(record), config_(config) {}

  static const sd_bus_vtable* vtable();
  static int onRegisterProfile(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onUnregisterProfile(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onNameOwnerChanged(sd_bus_message* message, void* self, sd_bus_error* error);

  int registerProfile(sd_bus_message* message);
  int unregisterProfile(sd_bus_message* message);
  void removed(const Registration& registration);

  sd_bus* bus_;
  RecordWriter& record_;
  Config config_;
  ProfileRegistry registry_;
  std::vector<UnregisterCall> unregisterCalls_;
  std::function<void(const Registration&)> onRemoved_;
  sd_bus_slot* objectSlot_ = nullptr;
  sd_bus_slot* ownerMatchSlot_ = nullptr;
};

}  // namespace harlo::bluez_sim
