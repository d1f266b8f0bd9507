#include "app/environment_switch.h"

#include <cstdlib>
#include <string_view>

namespace harlo {

Result<bool, std::string> readEnvironmentSwitch(const char* name) {
  const char* set = std::getenv(name);
  const std::string_view value = set != nullptr ? set : "";
  if (value == "1") return true;
  if (value.empty() || value == "0") return false;
  return fail(std::string(name) + " must be 1 or 0, not \"" + std::string(value) + "\"");
}

}  // namespace harlo
