// The few facts about a program file that the package tests check: whether
// it still carries symbols or debug information (its section names) and
// which shared libraries it needs.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harlo::test_support {

struct ElfFacts {
  std::vector<std::string> sectionNames;     // in section-table order
  std::vector<std::string> neededLibraries;  // DT_NEEDED entries, in order
};

// Reads the facts of a 64-bit ELF file held in `image`; nothing if it is not
// one or if any table it refers to lies outside it.
std::optional<ElfFacts> readElfFacts(std::string_view image);

}  // namespace harlo::test_support
