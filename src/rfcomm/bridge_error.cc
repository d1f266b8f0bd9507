#include "rfcomm/bridge_error.h"

namespace harlo {

std::string BridgeError::printedForm() const {
  std::string out = "startup(\"";
  for (const char c : message) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out += "\")";
  return out;
}

}  // namespace harlo
