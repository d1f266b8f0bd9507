// Finding a service's RFCOMM channel through SDP, with BlueZ's SDP client
// library (libbluetooth).
#pragma once

#include <cstdint>
#include <string>

#include "base/result.h"
#include "client_options.h"

namespace harlo {

// Connects to the SDP server of `options.remote` (from `options.local` when
// given), waiting at most `options.connectTimeout` for the L2CAP link; asks
// for the protocol descriptor lists of the records of `options.service`;
// and returns the RFCOMM channel (1 to 30) of the first record that names
// one. The library waits at most 20 seconds for each response. Fails with a
// message that says which step failed: "SDP connect: Host is down", "SDP
// search: Connection timed out", "no service UUID on ADDRESS", "service UUID
// on ADDRESS has no RFCOMM channel".
Result<std::uint8_t, std::string> findRFCOMMChannel(const ClientOptions& options);

}  // namespace harlo
