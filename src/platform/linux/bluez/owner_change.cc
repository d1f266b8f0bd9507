#include "platform/linux/bluez/owner_change.h"

#include "platform/linux/bluez/bluez_names.h"

namespace harlo::platform {

std::optional<std::string> bluezOwnerAfter(std::string_view known, std::string_view name,
                                           std::string_view oldOwner, std::string_view newOwner) {
  if (name != bluezService || oldOwner != known) return std::nullopt;
  return std::string(newOwner);
}

}  // namespace harlo::platform
