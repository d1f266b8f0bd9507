#include "app/cli.h"

namespace harlo {

Mode selectMode(std::span<const char* const> arguments) {
  if (arguments.empty()) return Mode::usage;
  const std::string_view option = arguments.front();
  if (option == "--capabilities") return Mode::capabilities;
  if (option == "--self-test") return Mode::selfTest;
  if (option == "--stdio") return Mode::stdio;
  return Mode::usage;
}

}  // namespace harlo
