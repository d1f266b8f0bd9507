// The profiles registered with the simulated ProfileManager1.
//
// The checks follow bluetoothd's RegisterProfile, in its order: a path the
// same owner already registered (AlreadyExists), then a UUID any profile
// already uses, compared as a raw string (NotPermitted), then a UUID that is
// not a 128-bit UUID (InvalidArguments), then the options, then the
// ServiceRecord text (InvalidArguments; bluetoothd would accept the
// registration and fail to publish the record later, which a test could not
// see). This simulator knows no 16-bit service names such as "spp", so only
// 128-bit UUIDs register.
//
// Not thread-safe: owned and used by the simulator's one thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "profile_settings.h"

namespace harlo::bluez_sim {

struct Registration {
  std::string owner;  // unique bus name of the registering connection
  std::string path;
  std::string uuid;                    // as given
  std::vector<ProfileOption> options;  // as received, in order
  ProfileSettings settings;

  // The UUID other registrations are compared with: the Service option when
  // given, else the UUID.
  const std::string& localUuid() const { return settings.service ? *settings.service : uuid; }
};

struct RegistrationFailure {
  enum class Kind { alreadyExists, notPermitted, invalidArguments };
  Kind kind;
  std::string message;  // the error message bluetoothd would send, or the record problem
};

class ProfileRegistry final {
 public:
  // Registers a profile. On success returns the warnings for options that
  // were ignored (the registration is made all the same).
  Result<std::vector<std::string>, RegistrationFailure> add(const std::string& owner,
                                                            const std::string& path,
                                                            const std::string& uuid,
                                                            std::vector<ProfileOption> options);

  // Removes the profile `owner` registered at `path`; nothing if there is
  // none (a different owner's profile at that path does not count).
  std::optional<Registration> remove(const std::string& owner, const std::string& path);

  // Removes every profile of `owner`, in registration order.
  std::vector<Registration> removeOwner(const std::string& owner);

  // Removes every profile, in registration order.
  std::vector<Registration> removeAll();

  // The profile an incoming RFCOMM client is handed to: the earliest
  // registered one with a listening channel; nullptr if none.
  const Registration* listeningProfile() const;

  // Current registrations, in registration order.
  const std::vector<Registration>& registrations() const { return registrations_; }

 private:
  std::vector<Registration> registrations_;
};

}  // namespace harlo::bluez_sim
