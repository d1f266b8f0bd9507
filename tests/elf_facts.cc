#include "elf_facts.h"

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <utility>

namespace harlo::test_support {
namespace {

// The `T` stored at `offset`, or nothing if it does not fit in `image`.
template <typename T>
std::optional<T> readAt(std::string_view image, std::uint64_t offset) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) return std::nullopt;
  T value;
  std::memcpy(&value, image.data() + offset, sizeof value);
  return value;
}

// The NUL-terminated string at `offset` in the string table `table`.
std::optional<std::string> stringAt(std::string_view image, const Elf64_Shdr& table,
                                    std::uint64_t offset) {
  if (table.sh_offset > image.size() || table.sh_size > image.size() - table.sh_offset) {
    return std::nullopt;
  }
  const std::string_view strings = image.substr(table.sh_offset, table.sh_size);
  if (offset >= strings.size()) return std::nullopt;
  const std::size_t end = strings.find('\0', offset);
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(strings.substr(offset, end - offset));
}

// Appends the DT_NEEDED names of the dynamic section `dynamic`, whose
// strings are in `strings`. False if anything lies outside the image.
bool appendNeeded(std::string_view image, const Elf64_Shdr& dynamic, const Elf64_Shdr& strings,
                  std::vector<std::string>& needed) {
  for (std::uint64_t at = 0; at + sizeof(Elf64_Dyn) <= dynamic.sh_size; at += sizeof(Elf64_Dyn)) {
    const auto entry = readAt<Elf64_Dyn>(image, dynamic.sh_offset + at);
    if (!entry) return false;
    if (entry->d_tag == DT_NULL) break;
    if (entry->d_tag != DT_NEEDED) continue;
    auto name = stringAt(image, strings, entry->d_un.d_val);
    if (!name) return false;
    needed.push_back(std::move(*name));
  }
  return true;
}

}  // namespace

std::optional<ElfFacts> readElfFacts(std::string_view image) {
  const auto header = readAt<Elf64_Ehdr>(image, 0);
  if (!header || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
      header->e_ident[EI_CLASS] != ELFCLASS64) {
    return std::nullopt;
  }
  std::vector<Elf64_Shdr> sections;
  for (std::uint64_t i = 0; i < header->e_shnum; ++i) {
    const auto section = readAt<Elf64_Shdr>(image, header->e_shoff + i * sizeof(Elf64_Shdr));
    if (!section) return std::nullopt;
    sections.push_back(*section);
  }
  if (header->e_shstrndx >= sections.size()) return std::nullopt;

  ElfFacts facts;
  for (const Elf64_Shdr& section : sections) {
    auto name = stringAt(image, sections[header->e_shstrndx], section.sh_name);
    if (!name) return std::nullopt;
    facts.sectionNames.push_back(std::move(*name));
    if (section.sh_type != SHT_DYNAMIC) continue;
    if (section.sh_link >= sections.size() ||
        !appendNeeded(image, section, sections[section.sh_link], facts.neededLibraries)) {
      return std::nullopt;
    }
  }
  return facts;
}

}  // namespace harlo::test_support
