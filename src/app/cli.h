// Argument dispatch: which mode a command line selects.
#pragma once

#include <span>
#include <string_view>

namespace harlo {

enum class Mode { capabilities, selfTest, stdio, usage };

// The usage line, written to standard error for any other command line.
inline constexpr std::string_view usageLine =
    "Usage: HarloCompanionHelper [--capabilities|--self-test|--stdio]\n";

// The mode selected by `arguments` (the process arguments without the program
// path). Only the first argument is examined, as exact case-sensitive text;
// everything after it is ignored. No argument, or any other first argument,
// selects Mode::usage.
Mode selectMode(std::span<const char* const> arguments);

}  // namespace harlo
