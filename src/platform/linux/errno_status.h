// The one mapping from system and sd-bus failures to a platform Status.
//
// A failed system call leaves its reason in errno; the Status is that value
// negated. sd-bus and sd-event calls already return a negated errno, which is
// a Status as it stands and needs no mapping.
#pragma once

#include <cerrno>

#include "platform/status.h"

namespace harlo::platform {

// The status of a failed system call whose reason is `errnoValue`. A value
// that no failed call leaves (zero or negative) maps to -EIO, so that a
// failure is never reported as success.
inline Status statusFromErrno(int errnoValue) { return errnoValue > 0 ? -errnoValue : -EIO; }

}  // namespace harlo::platform
