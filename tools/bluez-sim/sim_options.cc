#include "sim_options.h"

namespace harlo::bluez_sim {

Result<SimOptions, std::string> parseSimOptions(const std::vector<std::string>& args) {
  SimOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help") {
      options.help = true;
    } else if (arg == "--fail-register") {
      options.failRegister = true;
    } else if (arg == "--never-answer-unregister") {
      options.neverAnswerUnregister = true;
    } else if (arg == "--no-le") {
      options.noLowEnergy = true;
    } else if (arg == "--no-advertising") {
      options.noAdvertising = true;
    } else if (arg == "--no-adapter" || arg == "--adapter-off") {
      auto chosen = arg == "--no-adapter" ? StartAdapter::none : StartAdapter::unpowered;
      if (options.adapter != StartAdapter::powered && options.adapter != chosen)
        return fail(std::string("--no-adapter and --adapter-off exclude each other"));
      options.adapter = chosen;
    } else if (arg == "--socket" || arg == "--record-file") {
      if (i + 1 == args.size() || args[i + 1].empty()) return fail(arg + " needs a path");
      (arg == "--socket" ? options.socketPath : options.recordFile) = args[++i];
    } else {
      return fail("unknown argument " + arg);
    }
  }
  return options;
}

}  // namespace harlo::bluez_sim
