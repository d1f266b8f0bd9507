// The kernel's RFCOMM socket address (struct sockaddr_rc of <bluetooth/rfcomm.h>),
// written out here: the helper does not depend on libbluetooth's headers.
#pragma once

#include <sys/socket.h>

#include <cstdint>

namespace harlo::platform {

// The protocol number of RFCOMM sockets in the AF_BLUETOOTH family.
inline constexpr int rfcommProtocol = 3;  // BTPROTO_RFCOMM

struct RfcommSocketAddress {
  sa_family_t family;             // AF_BLUETOOTH
  std::uint8_t deviceAddress[6];  // bdaddr_t: the address's bytes, last first
  std::uint8_t channel;           // the RFCOMM server channel
};

}  // namespace harlo::platform
