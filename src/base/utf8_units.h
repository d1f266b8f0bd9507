// UTF-8 at its smallest: one code point written, and the extent of the first
// unit of a byte string. The text layer builds its checks and repair on these;
// tools that handle UTF-8 of their own use them too.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace harlo {

// Appends the UTF-8 encoding of `code`, which must be a Unicode scalar value
// (at most U+10FFFF, not a surrogate).
inline void appendUTF8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The first unit of a byte string: either one well-formed character (1 to 4
// bytes) or one maximal ill-formed subpart (1 to 3 bytes), the bytes that one
// U+FFFD replaces under the Unicode standard's recommendation.
struct UTF8Unit {
  std::size_t length;
  bool wellFormed;
};

// The first unit of `bytes`, which must not be empty. Overlong forms,
// surrogates and values above U+10FFFF are ill-formed.
inline UTF8Unit scanUTF8Unit(std::string_view bytes) {
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

}  // namespace harlo
