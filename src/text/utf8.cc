#include "text/utf8.h"

#include <cstdint>
#include <cstring>

namespace harlo {
namespace {

// Length of the run of ASCII bytes at the start of `bytes`, eight at a time
// while possible: most text crossing the helper is ASCII.
std::size_t asciiPrefixLength(std::string_view bytes) {
  constexpr std::uint64_t highBits = 0x8080808080808080ULL;
  std::size_t i = 0;
  while (i + 8 <= bytes.size()) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, sizeof word);
    if ((word & highBits) != 0) break;
    i += 8;
  }
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  return i;
}

}  // namespace

bool isValidUTF8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    i += asciiPrefixLength(bytes.substr(i));
    if (i == bytes.size()) break;
    const UTF8Unit unit = scanUTF8Unit(bytes.substr(i));
    if (!unit.wellFormed) return false;
    i += unit.length;
  }
  return true;
}

void appendRepairedUTF8(std::string& out, std::string_view bytes) {
  // Well-formed runs are appended whole; only ill-formed subparts break them.
  std::size_t runStart = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    i += asciiPrefixLength(bytes.substr(i));
    if (i == bytes.size()) break;
    const UTF8Unit unit = scanUTF8Unit(bytes.substr(i));
    if (!unit.wellFormed) {
      out.append(bytes.substr(runStart, i - runStart));
      out.append(replacementCharacterUTF8);
      runStart = i + unit.length;
    }
    i += unit.length;
  }
  out.append(bytes.substr(runStart));
}

std::string repairUTF8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  appendRepairedUTF8(out, bytes);
  return out;
}

}  // namespace harlo
