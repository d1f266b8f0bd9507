// A second, deliberately plain reading of UTF-8 that the fuzz targets hold
// the program's own UTF-8 handling against. It follows the table of
// well-formed byte sequences directly, one lead byte at a time, and shares no
// code with src/protocol/utf8.
#pragma once

#include <string>
#include <string_view>

namespace harlo::fuzz {

// `bytes` with each maximal ill-formed subpart replaced by U+FFFD: a lead
// byte followed by the longest run of bytes that could still continue it
// becomes one U+FFFD, and so does any byte that starts no sequence.
std::string referenceRepairUTF8(std::string_view bytes);

// True when `bytes` is well-formed UTF-8, that is when repairing changes
// nothing.
bool referenceIsValidUTF8(std::string_view bytes);

}  // namespace harlo::fuzz
