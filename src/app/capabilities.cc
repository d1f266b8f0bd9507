#include "app/capabilities.h"

#include "base/write_all.h"
#include "text/json_string.h"

namespace harlo {

std::string encodeCapabilities(const Capabilities& capabilities) {
  std::string json = "{\"detail\":";
  appendJSONString(json, capabilities.detail);
  json += ",\"ipc_protocol\":";
  json += std::to_string(capabilities.ipc_protocol);
  json += ",\"platform\":";
  appendJSONString(json, capabilities.platform);
  json += ",\"rfcomm_server\":";
  json += capabilities.rfcomm_server ? "true" : "false";
  json += ",\"stdio_bridge\":";
  json += capabilities.stdio_bridge ? "true" : "false";
  json += '}';
  return json;
}

int emitCapabilities(int fd) {
  const std::string line = encodeCapabilities(Capabilities{}) + '\n';
  return writeAll(fd, line) == 0 ? 0 : 1;
}

}  // namespace harlo
