// Skipping runs of plain bytes in JSON string contents a word at a time:
// most text crossing the helper is ASCII with nothing to escape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace harlo {

// True when one of the eight bytes of `word` may need attention: a control
// character (below 0x20), '"', '\\', a non-ASCII byte, or '/' when
// `slashNeedsAttention`. It may also say so for a plain byte next to one
// that does (the test is quick, not exact), but never misses one.
inline bool mayNeedAttention(std::uint64_t word, bool slashNeedsAttention) {
  constexpr std::uint64_t ones = 0x0101010101010101ULL;
  constexpr std::uint64_t highBits = 0x8080808080808080ULL;
  const auto hasZeroByte = [](std::uint64_t v) { return ((v - ones) & ~v & highBits) != 0; };
  const bool hasControl = ((word - ones * 0x20) & ~word & highBits) != 0;
  return (word & highBits) != 0 || hasControl || hasZeroByte(word ^ (ones * '"')) ||
         hasZeroByte(word ^ (ones * '\\')) ||
         (slashNeedsAttention && hasZeroByte(word ^ (ones * '/')));
}

// The offset, at or after `from`, of the first eight-byte word of `text`
// that may hold a byte needing attention (above), or text.size() when none
// does. The last word may be shorter: it is tested padded with plain bytes.
// Callers decide byte by byte from the offset returned.
inline std::size_t skipPlainWords(std::string_view text, std::size_t from,
                                  bool slashNeedsAttention) {
  std::uint64_t word;
  while (from + sizeof word <= text.size()) {
    std::memcpy(&word, text.data() + from, sizeof word);
    if (mayNeedAttention(word, slashNeedsAttention)) return from;
    from += sizeof word;
  }
  if (from == text.size()) return from;
  word = 0x6161616161616161ULL;  // "aaaaaaaa"
  std::memcpy(&word, text.data() + from, text.size() - from);
  return mayNeedAttention(word, slashNeedsAttention) ? from : text.size();
}

}  // namespace harlo
