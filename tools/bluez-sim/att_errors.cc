#include "att_errors.h"

#include <cstdlib>

namespace harlo::bluez_sim {

std::uint8_t attErrorOf(const std::string& name, const std::string& message,
                        std::uint8_t permissionError) {
  if (name == "org.bluez.Error.Failed") {
    char* end = nullptr;
    long code = std::strtol(message.c_str(), &end, 0);
    if (end == nullptr || *end != '\0') return 0x80;
    return code < 0x80 || code > 0x9f ? attUnlikely : static_cast<std::uint8_t>(code);
  }
  if (name == "org.bluez.Error.NotSupported") return 0x06;
  if (name == "org.bluez.Error.NotAuthorized") return 0x08;
  if (name == "org.bluez.Error.InvalidValueLength") return 0x0d;
  if (name == "org.bluez.Error.InvalidOffset") return 0x07;
  if (name == "org.bluez.Error.InProgress") return 0xfe;
  if (name == "org.bluez.Error.NotPermitted") return permissionError;
  return attUnlikely;
}

}  // namespace harlo::bluez_sim
