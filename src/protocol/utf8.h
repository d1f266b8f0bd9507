// UTF-8 checks and repair for text crossing the helper's two boundaries.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace harlo {

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence).
bool isValidUTF8(std::string_view bytes);

// Appends `bytes` to `out`, replacing each maximal ill-formed subpart with
// U+FFFD (EF BF BD), as the Unicode standard recommends: a truncated sequence
// becomes one U+FFFD; a byte that can start no sequence (C0, C1, F5..FF, a
// stray continuation byte) becomes one U+FFFD each. Well-formed input is
// appended unchanged.
void appendRepairedUTF8(std::string& out, std::string_view bytes);

// The same, as a new string.
std::string repairUTF8(std::string_view bytes);

// The first unit of `bytes`, which must not be empty: either one well-formed
// character (1 to 4 bytes) or one maximal ill-formed subpart (1 to 3 bytes),
// the bytes that one U+FFFD replaces. Walking a text unit by unit is how the
// functions above and the JSON string writer see it.
struct UTF8Unit {
  std::size_t length;
  bool wellFormed;
};
UTF8Unit scanUTF8Unit(std::string_view bytes);

// The UTF-8 encoding of U+FFFD.
inline constexpr std::string_view replacementCharacterUTF8 = "\xEF\xBF\xBD";

}  // namespace harlo
