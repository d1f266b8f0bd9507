#include "protocol/utf8.h"

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

UTF8Unit scanUTF8Unit(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80) return {1, true};

  // Continuation bytes needed, and the range allowed for the first of them;
  // the narrowed ranges exclude overlong forms, surrogates and values above
  // U+10FFFF. Every later continuation byte is 80..BF.
  std::size_t needed = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
  } else if (lead == 0xE0) {
    needed = 2;
    low = 0xA0;
  } else if (lead == 0xED) {
    needed = 2;
    high = 0x9F;
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    needed = 2;
  } else if (lead == 0xF0) {
    needed = 3;
    low = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    needed = 3;
  } else if (lead == 0xF4) {
    needed = 3;
    high = 0x8F;
  } else {
    return {1, false};  // 80..C1 or F5..FF: starts no sequence
  }

  for (std::size_t i = 1; i <= needed; ++i) {
    if (i == bytes.size()) return {i, false};
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte < low || byte > high) return {i, false};
    low = 0x80;
    high = 0xBF;
  }
  return {needed + 1, true};
}

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
