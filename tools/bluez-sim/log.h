// The simulator's standard-error lines, each "bluez-sim: <text>", so that a
// test reading the simulator's standard error can wait for what it expects.
// Standard output carries only the ready line.
#pragma once

#include <cstdio>
#include <string_view>

namespace harlo::bluez_sim {

inline void logLine(std::string_view text) {
  std::fprintf(stderr, "bluez-sim: %.*s\n", static_cast<int>(text.size()), text.data());
}

inline void logWarning(std::string_view text) {
  std::fprintf(stderr, "bluez-sim: warning: %.*s\n", static_cast<int>(text.size()), text.data());
}

}  // namespace harlo::bluez_sim
