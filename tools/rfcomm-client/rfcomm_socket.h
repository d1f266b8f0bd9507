// Opening an RFCOMM connection with the kernel's Bluetooth sockets.
#pragma once

#include <cstdint>
#include <string>

#include "base/result.h"
#include "client_options.h"

namespace harlo {

// Creates an AF_BLUETOOTH/BTPROTO_RFCOMM stream socket, binds it to
// `options.local` when given (so the connection leaves from that
// controller), and connects it to `options.remote` on `channel` (1 to 30),
// waiting at most `options.connectTimeout`. Returns the connected socket in
// blocking mode, owned by the caller; or a message naming the step that
// failed and its errno text (a kernel without Bluetooth fails at the first
// step with "Address family not supported by protocol").
Result<int, std::string> connectRFCOMM(const ClientOptions& options, std::uint8_t channel);

}  // namespace harlo
