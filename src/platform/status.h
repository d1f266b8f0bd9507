// Status: the outcome of a Bluetooth platform call.
#pragma once

#include <cstdint>

namespace harlo::platform {

// 0 for success. On Linux a failure is the negated errno value (a broken pipe
// is -32, a write that made no progress for too long is -110).
using Status = std::int32_t;

inline constexpr Status statusOK = 0;

// A write the channel's close ended before the peer took it (a broken pipe).
inline constexpr Status statusClosed = -32;

}  // namespace harlo::platform
