// The longest line the helper takes, from the parent or from the client.
#pragma once

#include <cstddef>

namespace harlo {

// Line feed excluded. A longer line is reported once and discarded through
// its next line feed, so neither side can make the helper buffer without
// bound.
inline constexpr std::size_t maxLineBytes = 1048576;

}  // namespace harlo
