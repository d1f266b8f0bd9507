#include "profile_registry.h"

#include <algorithm>
#include <utility>

#include "sdp_record_check.h"

namespace harlo::bluez_sim {

Result<std::vector<std::string>, RegistrationFailure> ProfileRegistry::add(
    const std::string& owner, const std::string& path, const std::string& uuid,
    std::vector<ProfileOption> options) {
  using Kind = RegistrationFailure::Kind;
  for (const auto& r : registrations_) {
    if (r.owner == owner && r.path == path)
      return fail(RegistrationFailure{Kind::alreadyExists, "Already Exists"});
  }
  for (const auto& r : registrations_) {
    if (r.localUuid() == uuid)
      return fail(RegistrationFailure{Kind::notPermitted, "UUID already registered"});
  }
  if (!hasUuid128Shape(uuid)) {
    return fail(RegistrationFailure{Kind::invalidArguments, "Invalid arguments in method call"});
  }
  auto interpreted = interpretOptions(options);
  if (interpreted.settings.serviceRecord) {
    auto checked = checkServiceRecord(*interpreted.settings.serviceRecord);
    if (!checked)
      return fail(RegistrationFailure{Kind::invalidArguments, "ServiceRecord: " + checked.error()});
  }
  registrations_.push_back(
      Registration{owner, path, uuid, std::move(options), std::move(interpreted.settings)});
  return std::move(interpreted.warnings);
}

std::optional<Registration> ProfileRegistry::remove(const std::string& owner,
                                                    const std::string& path) {
  auto it = std::find_if(registrations_.begin(), registrations_.end(),
                         [&](const Registration& r) { return r.owner == owner && r.path == path; });
  if (it == registrations_.end()) return std::nullopt;
  Registration removed = std::move(*it);
  registrations_.erase(it);
  return removed;
}

std::vector<Registration> ProfileRegistry::removeOwner(const std::string& owner) {
  std::vector<Registration> removed;
  std::vector<Registration> kept;
  for (auto& r : registrations_) (r.owner == owner ? removed : kept).push_back(std::move(r));
  registrations_ = std::move(kept);
  return removed;
}

std::vector<Registration> ProfileRegistry::removeAll() { return std::exchange(registrations_, {}); }

const Registration* ProfileRegistry::listeningProfile() const {
  for (const auto& r : registrations_) {
    if (listeningChannel(r.settings)) return &r;
  }
  return nullptr;
}

}  // namespace harlo::bluez_sim
