// UTF-8 checks and repair for text crossing the helper's two boundaries,
// walking a text unit by unit (base/utf8_units.h) with an ASCII fast path.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/utf8_units.h"

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

// The UTF-8 encoding of U+FFFD.
inline constexpr std::string_view replacementCharacterUTF8 = "\xEF\xBF\xBD";

}  // namespace harlo
