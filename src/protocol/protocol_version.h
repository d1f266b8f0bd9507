// The version of the parent's line protocol.
#pragma once

#include <cstdint>

namespace harlo {

// The `version` of every helper message the helper writes, the "ipc_protocol"
// of the capabilities report and the number in the self-test report.
inline constexpr std::int64_t helperProtocolVersion = 1;

}  // namespace harlo
