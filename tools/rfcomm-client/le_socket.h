// Opening the ATT fixed channel of an LE link with the kernel's Bluetooth
// sockets.
#pragma once

#include <string>

#include "base/result.h"
#include "client_options.h"

namespace harlo {

// Creates an AF_BLUETOOTH/BTPROTO_L2CAP packet socket on the ATT channel
// (CID 4), binds it to `options.local` (or any controller), asks for an
// encrypted link (BT_SECURITY medium: the kernel encrypts with the stored
// bond, or pairs first), and connects it to `options.remote` as an LE
// device of `options.addressType`, waiting at most `options.connectTimeout`
// for the link, its encryption included (asked again on the connected
// socket when the kernel let the first request pass unmet). Returns the connected socket in
// blocking mode, owned by the caller; or a message naming the call that
// failed, its arguments and its errno text, e.g. "socket(AF_BLUETOOTH,
// SOCK_SEQPACKET, BTPROTO_L2CAP): Address family not supported by protocol"
// on a kernel without Bluetooth.
Result<int, std::string> connectLEAttribute(const ClientOptions& options);

// "public address" or "random address", as the status line names it.
const char* describeAddressType(LeAddressType type);

}  // namespace harlo
