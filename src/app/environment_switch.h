// On/off switches a parent sets in the helper's environment, such as
// HARLO_LOG_STDERR=1. Only bridge mode reads them; the fixed reports never do.
#pragma once

#include <string>

#include "base/result.h"

namespace harlo {

// The switch named `name`: on for "1", off for "0", an empty value or none.
// Any other value is refused, with the text that says so.
Result<bool, std::string> readEnvironmentSwitch(const char* name);

}  // namespace harlo
