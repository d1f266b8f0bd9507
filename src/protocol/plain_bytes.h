// Skipping runs of plain bytes in JSON string contents a word at a time:
// most text crossing the helper is ASCII with nothing to escape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace harlo {

// The offset, at or after `from`, of the first eight-byte word of `text`
// that may hold a byte needing attention: a control character (below 0x20),
// '"', '\\', a non-ASCII byte, or '/' when `slashNeedsAttention`. Returns
// where fewer than eight bytes remain when no such word comes first. A word
// it stops at may hold no such byte after all (the test is quick, not exact),
// but no such byte is ever skipped: callers decide byte by byte from there.
inline std::size_t skipPlainWords(std::string_view text, std::size_t from,
                                  bool slashNeedsAttention) {
  constexpr std::uint64_t ones = 0x0101010101010101ULL;
  constexpr std::uint64_t highBits = 0x8080808080808080ULL;
  const auto hasZeroByte = [](std::uint64_t v) { return ((v - ones) & ~v & highBits) != 0; };
  while (from + sizeof(std::uint64_t) <= text.size()) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + from, sizeof word);
    const bool hasControl = ((word - ones * 0x20) & ~word & highBits) != 0;
    if ((word & highBits) != 0 || hasControl || hasZeroByte(word ^ (ones * '"')) ||
        hasZeroByte(word ^ (ones * '\\')) ||
        (slashNeedsAttention && hasZeroByte(word ^ (ones * '/')))) {
      break;
    }
    from += sizeof word;
  }
  return from;
}

}  // namespace harlo
