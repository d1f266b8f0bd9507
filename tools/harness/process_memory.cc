#include "process_memory.h"

#include <exception>
#include <fstream>
#include <string>

namespace harlo::harness {
namespace {

// "VmRSS:\t    5120 kB" -> 5120 * 1024, if `line` starts with `key`.
std::optional<std::size_t> kilobytesField(const std::string& line, const std::string& key) {
  if (line.rfind(key, 0) != 0) return std::nullopt;
  try {
    return std::stoull(line.substr(key.size())) * 1024;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<ResidentMemory> residentMemory(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::optional<std::size_t> current;
  std::optional<std::size_t> peak;
  for (std::string line; std::getline(status, line);) {
    if (auto value = kilobytesField(line, "VmRSS:")) current = value;
    if (auto value = kilobytesField(line, "VmHWM:")) peak = value;
  }
  if (!current || !peak) return std::nullopt;
  return ResidentMemory{*current, *peak};
}

}  // namespace harlo::harness
